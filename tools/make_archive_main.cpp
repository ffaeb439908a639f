// velunor-make-archive: writes a generated sample archive and, on request,
// its database rows. Run with --help for the options.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/archive_generator.hpp"

namespace {

using namespace velunor::archive;

const char* kUsage =
    "Usage: velunor-make-archive --out DIR [options]\n"
    "Writes a sample DICOM archive below DIR (roots DIR/archive1, DIR/archive2).\n"
    "  --seed N              seed; the same options give the same archive (default 1)\n"
    "  --studies N           number of studies (default 12)\n"
    "  --files-per-study N   DICOM objects per study (default 6)\n"
    "  --file-size SIZE      pixel data per image file, e.g. 200K, 5M (K = 1000);\n"
    "                        default: typical sizes, 100 KB (MR) to 50 MB (US)\n"
    "  --roots 1|2           archive roots (default 2)\n"
    "  --zip-percent P       share of studies stored as ZIP archives (default 15)\n"
    "  --unreadable N        unreadable files, one per study (default 2)\n"
    "  --syntaxes LIST       comma-separated transfer syntaxes (default all):\n"
    "                        explicit-le implicit-le explicit-be deflated jpeg-baseline\n"
    "                        jpeg-extended jpeg-lossless jpeg-ls jpeg-ls-near rle j2k-lossless j2k\n"
    "  --modalities LIST     image modalities of the studies: CT,MR,CR,US (default all)\n"
    "  --no-reports          no SR reports and PDF documents\n"
    "  --no-extras           no non-DICOM files and subfolders in study folders\n"
    "  --offline-unc         root 2 gets an ArchiveUNC that does not exist\n"
    "  --carry-over N        the first N studies are on disc --last-disc only\n"
    "  --last-disc N         the media number for --carry-over (default 0)\n"
    "  --migrated N          N more studies whose StudyDirectory1 begins with \"migrated\"\n"
    "  --sqlite FILE         create a new SQLite archive database holding the rows\n"
    "  --postgres-sql FILE   write the rows as INSERT statements for PostgreSQL\n"
    "  --quiet               print nothing but errors\n";

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "velunor-make-archive: " << problem << "\n\n" << kUsage;
    std::exit(2);
}

long long Number(const std::string& option, const std::string& text) {
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || !end || *end != '\0' || value < 0) Usage(option + " needs a whole number, not \"" + text + "\"");
    return value;
}

std::uint64_t Size(const std::string& text) {
    std::string digits = text;
    std::uint64_t factor = 1;
    if (!digits.empty()) {
        const char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(digits.back())));
        if (unit == 'K') factor = 1000;
        if (unit == 'M') factor = 1000 * 1000;
        if (unit == 'G') factor = 1000 * 1000 * 1000;
        if (factor != 1) digits.pop_back();
    }
    return static_cast<std::uint64_t>(Number("--file-size", digits)) * factor;
}

std::vector<std::string> List(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream s(text);
    std::string item;
    while (std::getline(s, item, ','))
        if (!item.empty()) items.push_back(item);
    return items;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.out.clear();
    std::string sqlite, postgres;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--out") {
            options.out = value();
        } else if (arg == "--seed") {
            options.seed = static_cast<std::uint64_t>(Number(arg, value()));
        } else if (arg == "--studies") {
            options.studies = static_cast<int>(Number(arg, value()));
        } else if (arg == "--files-per-study") {
            options.filesPerStudy = static_cast<int>(Number(arg, value()));
        } else if (arg == "--file-size") {
            options.fileBytes = Size(value());
        } else if (arg == "--roots") {
            options.roots = static_cast<int>(Number(arg, value()));
        } else if (arg == "--zip-percent") {
            options.zipPercent = static_cast<int>(Number(arg, value()));
        } else if (arg == "--unreadable") {
            options.unreadable = static_cast<int>(Number(arg, value()));
        } else if (arg == "--syntaxes") {
            for (const std::string& name : List(value())) {
                const auto syntax = SyntaxByName(name);
                if (!syntax) Usage("unknown transfer syntax \"" + name + "\"");
                options.syntaxes.push_back(*syntax);
            }
        } else if (arg == "--modalities") {
            for (const std::string& name : List(value())) {
                const auto modality = ModalityByName(name);
                if (!modality || *modality == Modality::SR || *modality == Modality::PDF)
                    Usage("unknown image modality \"" + name + "\" (CT, MR, CR, US)");
                options.modalities.push_back(*modality);
            }
        } else if (arg == "--no-reports") {
            options.reports = false;
        } else if (arg == "--no-extras") {
            options.extras = false;
        } else if (arg == "--offline-unc") {
            options.offlineUnc = true;
        } else if (arg == "--carry-over") {
            options.carryOver = static_cast<int>(Number(arg, value()));
        } else if (arg == "--last-disc") {
            options.lastDisc = static_cast<int>(Number(arg, value()));
        } else if (arg == "--migrated") {
            options.migrated = static_cast<int>(Number(arg, value()));
        } else if (arg == "--sqlite") {
            sqlite = value();
        } else if (arg == "--postgres-sql") {
            postgres = value();
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            Usage("unknown option \"" + arg + "\"");
        }
    }
    if (options.out.empty()) Usage("--out is required");

    try {
        const Archive archive = GenerateArchive(options);
        if (!sqlite.empty()) WriteSqliteDatabase(archive, sqlite);
        if (!postgres.empty()) WritePostgresInserts(archive, postgres);
        if (!quiet) {
            std::cout << Describe(archive);
            if (!sqlite.empty()) std::cout << "SQLite database: " << sqlite << "\n";
            if (!postgres.empty()) std::cout << "PostgreSQL rows: " << postgres << "\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "velunor-make-archive: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
