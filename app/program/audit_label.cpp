// velunor-cli label: a written disc's label, drawn from the DICOMDIR the
// disc (or its image) holds, read through the reader of `check`.
#include <algorithm>
#include <cctype>
#include <ostream>
#include <stdexcept>

#include "app/error.hpp"
#include "app/program/audit.hpp"
#include "app/program/audit_support.hpp"
#include "app/program/label.hpp"
#include "disc/disc.hpp"

namespace velunor {

namespace {

constexpr const char* kUsage =
    "usage: velunor-cli label [--image FILE | --device PATH] DVD n (--pdf FILE | --png FILE)...\n";

void Help(std::ostream& out) {
    out << kUsage
        << "\n"
           "Draws the printable label of a written disc from the DICOMDIR it holds: \"DVD n\",\n"
           "the date it was written, the number of its studies and, for each study, the\n"
           "patient's name and ID, the study date, the modalities and the description.\n"
           "The first page is the disc face (120 x 120 mm); a disc with more than " +
               std::to_string(kStudiesOnDiscFace) +
               " studies\n"
               "also gets a DVD case insert (183 x 273 mm pages) listing every study.\n"
               "\n"
        << audit::kMediumOptionsHelp
        << "  --pdf FILE     write the label as PDF\n"
           "  --png FILE     write the label as a PNG picture (the pages one below the other)\n"
           "\n"
        << audit::kDefaultMediumHelp
        << "\n"
               "Exit status: 0 the label was written; 1 the disc holds no readable DICOMDIR,\n"
               "or a file could not be written; 2 the disc could not be read, is another\n"
               "disc, or the command line was wrong.\n";
}

int UsageError(CommandEnv& env, const std::string& what) {
    env.err << "velunor-cli label: " << what << "\n" << kUsage;
    return kExitCannotRun;
}

// The bytes of the medium's DICOMDIR, checked against its MD5 record.
std::vector<std::uint8_t> ReadDicomDir(const WrittenMedium& medium) {
    for (const MediumEntry& entry : medium.Files()) {
        if (entry.path.size() != 8 || !std::equal(entry.path.begin(), entry.path.end(), "DICOMDIR", [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) == b;
            }))
            continue;
        const auto file = medium.Open(entry.path);
        std::vector<std::uint8_t> bytes(entry.size);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const std::size_t got = file->Read(bytes.data() + done, bytes.size() - done);
            if (got == 0) break;
            done += got;
        }
        std::uint8_t more = 0;
        if (done != bytes.size() || file->Read(&more, 1) != 0)
            throw Error(0, "its " + entry.path + " is not as long as recorded");
        if (file->Verdict() == Md5Verdict::Mismatch)
            throw Error(0, "its " + entry.path + " differs from what was written (MD5 mismatch)");
        return bytes;
    }
    throw Error(0, "it holds no DICOMDIR");
}

}  // namespace

int LabelCommand(const std::vector<std::string>& args, CommandEnv& env) {
    std::optional<std::filesystem::path> pdf, png;
    audit::MediumChoice source;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (audit::IsHelp(a)) {
            Help(env.out);
            return kExitGood;
        }
        try {
            if (a == "--pdf" || a == "--png") {
                if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
                (a == "--pdf" ? pdf : png) = args[++i];
            } else if (!source.Take(args, i)) {
                return UsageError(env, "unknown option \"" + a + "\"");
            }
        } catch (const std::invalid_argument& e) {
            return UsageError(env, e.what());
        }
    }
    const std::string wanted = source.wanted;
    if (wanted.empty()) return UsageError(env, "name the disc (DVD n)");
    if (!pdf && !png) return UsageError(env, "name the file to write: --pdf FILE or --png FILE");

    std::optional<std::filesystem::path> image = source.image;
    if (!source.Named()) {
        Settings settings;
        LoadConfiguration(settings, env.programDir);
        if (!settings.ImageFolder.empty()) image = std::filesystem::path(settings.ImageFolder) / (wanted + ".iso");
    }
    DiscLabelContent content{wanted, "", {}};
    std::unique_ptr<WrittenMedium> medium;
    try {
        medium = image ? WrittenMedium::OpenImage(*image) : WrittenMedium::OpenDrive(source.device.value_or(""));
    } catch (const std::exception& e) {
        env.err << "velunor-cli label: " << wanted << " cannot be read: " << e.what() << "\n";
        return kExitCannotRun;
    }
    if (medium->VolumeId() != wanted) {
        env.err << "velunor-cli label: " << medium->Name() << " is \"" << medium->VolumeId() << "\", not " << wanted
                << "\n";
        return kExitCannotRun;
    }
    try {
        content.written = medium->CreationDate();
        content.studies = StudiesOfDicomDir(ReadDicomDir(*medium), wanted + " DICOMDIR");
    } catch (const std::exception& e) {
        env.err << "velunor-cli label: " << wanted << " (" << medium->Name() << "): " << e.what() << "\n";
        return kExitAttention;
    }
    try {
        if (pdf) WriteLabelPdf(content, *pdf);
        if (png) WriteLabelPng(content, *png);
    } catch (const std::exception& e) {
        env.err << "velunor-cli label: " << e.what() << "\n";
        return kExitAttention;
    }
    env.out << "The label of " << wanted << " (" << content.studies.size() << " studies) is in"
            << (pdf ? " " + pdf->string() : "") << (pdf && png ? " and" : "") << (png ? " " + png->string() : "")
            << "\n";
    return kExitGood;
}

}  // namespace velunor
