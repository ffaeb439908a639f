// Discs in both media profiles, written by whole runs on a generated archive
// and read back as a reader of the disc would: xorriso extracts the image,
// DCMTK reads what it holds, DCMTK's and dicom3tools' programs judge it.
#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/dcmdata/dcdirrec.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>

#include <QApplication>
#include <QByteArray>
#include <QComboBox>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "app/program/qt_window.hpp"
#include "dicom/toolkit.hpp"
#include "tests/support/archive_fixture.hpp"
#include "tests/support/recorded_events.hpp"
#include "tests/support/run_driver.hpp"
#include "tools/archive_generator.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::WriteAll;

// What a record names, or what a file holds: its SOP instance and syntax.
struct Instance {
    std::string sop, syntax;
    bool operator==(const Instance&) const = default;
};

std::string Text(DcmItem& item, const DcmTagKey& tag) {
    OFString value;
    item.findAndGetOFStringArray(tag, value);
    return value.c_str();
}

// A file ID as the path of its file: ISO 8859-1 (how names that fit it are
// stored) made UTF-8 unless the bytes are UTF-8 already; "\" made "/".
std::string FileIdPath(const std::string& id) {
    const QByteArray bytes = QByteArray::fromStdString(id);
    std::string path = QString::fromUtf8(bytes).toUtf8() == bytes ? id : QString::fromLatin1(bytes).toStdString();
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// Every record of the DICOMDIR that refers to a file, by that file's path.
void Records(DcmDirectoryRecord& parent, std::map<std::string, Instance>& out) {
    for (unsigned long i = 0; i < parent.cardSub(); ++i) {
        DcmDirectoryRecord& r = *parent.getSub(i);
        const std::string id = Text(r, DCM_ReferencedFileID);
        if (!id.empty()) {
            const Instance named{Text(r, DCM_ReferencedSOPInstanceUIDInFile),
                                 Text(r, DCM_ReferencedTransferSyntaxUIDInFile)};
            EXPECT_TRUE(out.emplace(FileIdPath(id), named).second) << "two records for " << id;
        }
        Records(r, out);
    }
}

// Every file of the disc's folders 1/ and 2/, by its path below the root.
std::map<std::string, Instance> Files(const fs::path& root) {
    std::map<std::string, Instance> files;
    for (const char* folder : {"1", "2"})
        for (const auto& e : fs::directory_iterator(root / folder)) {
            DcmFileFormat f;
            EXPECT_TRUE(f.loadFile(e.path().c_str(), EXS_Unknown, EGL_noChange, 256).good()) << e.path();
            files[std::string(folder) + "/" + e.path().filename().string()] = {
                Text(*f.getDataset(), DCM_SOPInstanceUID), Text(*f.getMetaInfo(), DCM_TransferSyntaxUID)};
        }
    return files;
}

// An outside program's output (errors merged), with its exit status.
test::ProcessResult Tool(std::vector<std::string> argv, const fs::path& cwd) {
    return test::RunProcess({.argv = std::move(argv), .cwd = cwd});
}

// A generated archive (every syntax of the generator, ZIP studies, names
// that clash or hold umlauts) in SQLite: 3 studies on disc 3 alone, the rest
// on no disc.
struct ProfileRun : test::ArchiveFixture {
    explicit ProfileRun(const std::string& iniLines) : ArchiveFixture(test::ArchiveKind::Sqlite, Options()) {
        WriteAll(prog / "LastMediaNr", "3\r\n");
        WriteIni("AuthBurn=1\nArchive=1\n" + iniLines);
    }
    static archive::Options Options() {
        archive::Options o;
        o.studies = 9;
        o.filesPerStudy = 3;
        o.fileBytes = 8192;
        o.zipPercent = 25;
        o.seed = 7;         // every JPEG syntax the profile keeps, and among the unreadable
        o.unreadable = 5;   // files a JPEG lossless stream damaged inside
        o.carryOver = 3;
        o.lastDisc = 3;
        // Colour cine loops (JPEG baseline is for 8 bits) and 12-bit slices.
        o.modalities = {archive::Modality::US, archive::Modality::CT};
        return o;
    }
};

class MediaProfileRun : public ::testing::TestWithParam<MediaProfile> {};

// A first run is declined (its staging stays), the second writes disc 4:
// the disc holds what its profile says, every record of its DICOMDIR
// resolves to the file of its instance and syntax, every object on it has a
// record, and exactly what the disc holds is recorded.
TEST_P(MediaProfileRun, TheDiscHoldsWhatItsProfileSaysAndIsRecordedAsEver) {
    const bool general = GetParam() == MediaProfile::GeneralPurpose;
    // The archive profile by default: no MediaProfile key at all.
    ProfileRun a(general ? "MediaProfile=General-Purpose\n" : "");
    test::RunDriver r(a.prog, a.dir / "Velunor.ready", "");
    r.events.answers = {Answer::No};
    r.RunOnce();
    ASSERT_FALSE(r.events.Last().discWritten);
    r.events.answers = {Answer::Yes};
    const RunOutcome outcome = r.RunOnce();
    ASSERT_TRUE(outcome.discRecorded) << outcome.why << ReadAll(a.prog / "Logs" / "Error.log");

    const fs::path root = a.dir / "disc";
    const std::string iso = a.Iso(4).string();
    ASSERT_EQ(Tool({"xorriso", "-osirrox", "on", "-indev", iso, "-extract", "/", root.string()}, a.dir.path()).status, 0);
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add);
    const std::string dicomdirName = general ? "DICOMDIR" : "Dicomdir";
    ASSERT_TRUE(fs::is_regular_file(root / dicomdirName));

    DcmDicomDir dir((root / dicomdirName).c_str());
    ASSERT_TRUE(dir.error().good()) << dir.error().text();
    std::map<std::string, Instance> records;
    Records(dir.getRootRecord(), records);
    const std::map<std::string, Instance> files = Files(root);
    for (const auto& [path, named] : records) {
        ASSERT_TRUE(files.count(path)) << "the record for " << path << " finds no file";
        EXPECT_EQ(files.at(path), named) << path;
    }
    EXPECT_EQ(files.size(), records.size()) << "an object on the disc has no record";

    // Names and syntaxes: source names in Implicit VR; or IM000001 ...
    // numbered over 1/ and then 2/ without gaps (nothing the declined run
    // staged is there twice), Explicit VR, JPEG baseline, extended and
    // lossless kept, each file with the bytes DCMTK's own programs write for
    // its source (JPEG 2000 aside, which DCMTK cannot decode).
    const std::map<std::string, std::vector<std::string>> dcmtk = {
        {"explicit-le", {"dcmconv", "+te"}}, {"implicit-le", {"dcmconv", "+te"}},
        {"explicit-be", {"dcmconv", "+te"}}, {"deflated", {"dcmconv", "+te"}},
        {"jpeg-ls", {"dcmdjpls", "+te"}},    {"jpeg-ls-near", {"dcmdjpls", "+te"}},
        {"rle", {"dcmdrle", "+te"}},         {"jpeg-baseline", {"dcmconv", "+t=", "+e"}},
        {"jpeg-extended", {"dcmconv", "+t=", "+e"}}, {"jpeg-lossless", {"dcmconv", "+t=", "+e"}}};
    // Every readable source object (a DICOM file, or a ZIP holding one), with its study.
    std::map<std::string, std::pair<const archive::File*, std::string>> sources;
    for (const auto& s : a.generated.studies)
        for (const auto& f : s.files)
            if (f.kind == archive::File::Kind::Dicom || f.kind == archive::File::Kind::Zip)
                sources[f.sopInstanceUid] = {&f, s.studyUid};
    std::set<std::string> kept;
    int number = 0;
    for (const auto& [path, instance] : files) {
        ASSERT_TRUE(sources.count(instance.sop)) << path << " is no readable object of the archive";
        const archive::File& file = *sources.at(instance.sop).first;
        const std::string source = archive::Info(*archive::SyntaxByName(file.syntax)).uid;
        if (!general) {
            EXPECT_EQ(instance.syntax, kImplicitVRLittleEndian) << path;
            EXPECT_TRUE(QString::fromStdString(path).endsWith(".dcm", Qt::CaseInsensitive)) << path;
            continue;
        }
        char expected[16];
        std::snprintf(expected, sizeof expected, "IM%06d", ++number);
        EXPECT_EQ(fs::path(path).filename(), expected);
        const bool keep = std::count(kGeneralPurposeDvdJpegSyntaxes.begin(), kGeneralPurposeDvdJpegSyntaxes.end(),
                                     source) != 0;
        EXPECT_EQ(instance.syntax, keep ? source : kExplicitVRLittleEndian) << path << " from " << source;
        if (keep) kept.insert(source);
        if (file.kind == archive::File::Kind::Dicom && dcmtk.count(file.syntax)) {
            std::vector<std::string> argv = dcmtk.at(file.syntax);
            argv.insert(argv.end(), {file.path.string(), (a.dir / "reference").string()});
            ASSERT_EQ(Tool(argv, a.dir.path()).status, 0) << file.path;
            EXPECT_TRUE(ReadAll(a.dir / "reference") == ReadAll(root / path)) << path << " from " << file.path;
        }
    }
    // Recorded as ever: 1/ holds the carry-over studies, 2/ the new ones.
    std::set<std::string> in1, in2;
    for (const auto& [path, instance] : files) (path[0] == '1' ? in1 : in2).insert(sources.at(instance.sop).second);
    EXPECT_EQ(in1.size(), 3u);
    for (const auto& s : a.generated.studies) {
        const auto value = a.db.StudyDirectory2(s.studyId);
        if (in1.count(s.studyUid)) EXPECT_EQ(value, "DVD 3|DVD 4") << s.studyId;
        else if (in2.count(s.studyUid)) EXPECT_EQ(value, "DVD 4") << s.studyId;
        else EXPECT_NE(value.value_or(""), "DVD 4") << s.studyId;
    }
    if (!general) return;
    EXPECT_EQ(kept.size(), 3u) << "the archive lacks a JPEG syntax the profile keeps";

    // Outside readers of the general-purpose disc: dcmdump reads the whole
    // DICOMDIR, dcmmkdir builds one in the profile without a complaint, and
    // dicom3tools find no error.
    const auto dump = Tool({"dcmdump", dicomdirName}, root);
    EXPECT_EQ(dump.status, 0) << dump.output.substr(dump.output.size() - std::min<std::size_t>(400, dump.output.size()));
    for (const auto& [path, instance] : records) {
        std::string id = path;
        std::replace(id.begin(), id.end(), '/', '\\');
        EXPECT_NE(dump.output.find("[" + id + "]"), std::string::npos) << id << " missing from the dump";
    }
    const auto rebuilt = Tool({"dcmmkdir", "--general-dvd-jpeg", "+D", (a.dir / "DICOMDIR").string(), "+r", "1", "2"}, root);
    EXPECT_EQ(rebuilt.status, 0);
    EXPECT_EQ(rebuilt.output, "");
    for (const std::string tool : {"dciodvfy DICOMDIR", "dcentvfy DICOMDIR 1/* 2/* || echo \"Error: exit $?\""})
        EXPECT_EQ(test::Capture("cd " + test::Quote(root) + " && { " + tool + "; } 2>&1 | grep -E '^(Error|E:)'"), "")
            << tool;
}

INSTANTIATE_TEST_SUITE_P(Profiles, MediaProfileRun,
                         ::testing::Values(MediaProfile::Archive, MediaProfile::GeneralPurpose),
                         [](const auto& info) {
                             return info.param == MediaProfile::Archive ? "Archive" : "GeneralPurpose";
                         });

// A MediaProfile that names no profile stops every run before anything is
// staged, naming it; the dialog shows and saves it as it is rather than as a
// profile nobody chose.
TEST(MediaProfileSetting, AnUnknownValueStopsTheRunAndTheDialogKeepsIt) {
    for (const auto& [text, profile] : std::vector<std::pair<std::string, std::optional<MediaProfile>>>{
             {"", MediaProfile::Archive}, {" ARCHIVE ", MediaProfile::Archive},
             {"general-purpose", MediaProfile::GeneralPurpose}, {"general purpose", std::nullopt}, {"gp", std::nullopt}})
        EXPECT_EQ(ParseMediaProfile(text), profile) << text;

    ProfileRun a("MediaProfile=general_purpose\n");
    test::RunDriver r(a.prog, a.dir / "Velunor.ready", "");
    r.events.answers = {Answer::Yes};
    const RunOutcome outcome = r.RunOnce();
    EXPECT_TRUE(outcome.couldNotStart);
    EXPECT_NE(outcome.why.find("MediaProfile=general_purpose"), std::string::npos) << outcome.why;
    EXPECT_NE(ReadAll(a.prog / "Logs" / "Error.log").find("MediaProfile=general_purpose"), std::string::npos);
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), "3\r\n");
    for (const char* folder : {"DVD", "DVDTemp", "Unzip"})
        for (const auto& e : fs::recursive_directory_iterator(a.dir / "staging" / folder)) EXPECT_FALSE(e.is_regular_file());
    EXPECT_TRUE(fs::is_empty(a.dir / "iso"));

    int argc = 1;
    char name[] = "velunor", *argv[] = {name, nullptr};
    QApplication application(argc, argv);
    test::RecordedEvents asked;        // Archive=1: "Please restart the application."
    test::EventsPrompter prompter{asked};
    fConfig dialog(r.shell.settings, a.prog, prompter, {});
    auto* box = dialog.findChild<QComboBox*>("cboMediaProfile");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->currentText(), "general_purpose");
    dialog.OkClicked();
    const fs::path ini = a.prog / "velunor.ini";
    EXPECT_EQ(ReadIniValue("CONFIG", "MediaProfile", "", ini, 256), "general_purpose");
    box->setCurrentText(MediaProfileName(MediaProfile::GeneralPurpose));
    dialog.OkClicked();
    LoadConfiguration(r.shell.settings, a.prog);
    EXPECT_EQ(r.shell.settings.Profile, MediaProfile::GeneralPurpose);
    EXPECT_EQ(r.shell.settings.ProfileProblem, "");
}

}  // namespace
}  // namespace velunor
