// Whole runs over hostile folders, UIDs, file names and a ZIP that tries to
// leave its folder, on SQLite and PostgreSQL: each study in its own row only,
// nothing outside the staging tree, every name on the disc fitting, every log
// line one line.
#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <unistd.h>
#include <zlib.h>

#include <set>

#include "app/program/program.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/run_driver.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ArchiveKind;
using test::ReadAll;
using test::WriteAll;

// A small MR image whose Study Instance UID is any text, as a hostile writer
// may store it.
void WriteDicomWithUids(const fs::path& file, const std::string& studyUid, const std::string& instanceUid) {
    const fs::path plain = file.parent_path() / ".plain.dcm";
    archive::WriteImage(plain, archive::Modality::MR, archive::Syntax::ExplicitLittle, 4096,
                        std::hash<std::string>{}(instanceUid));
    DcmFileFormat format;
    ASSERT_TRUE(format.loadFile(OFFilename(plain.c_str())).good() && format.loadAllDataIntoMemory().good()) << plain;
    const OFBool correcting = dcmEnableAutomaticInputDataCorrection.get();
    dcmEnableAutomaticInputDataCorrection.set(OFFalse);   // DCMTK would correct the UIDs
    format.getDataset()->putAndInsertString(DCM_StudyInstanceUID, studyUid.c_str());
    format.getDataset()->putAndInsertString(DCM_SOPInstanceUID, instanceUid.c_str());
    dcmEnableAutomaticInputDataCorrection.set(correcting);
    EXPECT_TRUE(format
                    .saveFile(OFFilename(file.c_str()), EXS_LittleEndianExplicit, EET_ExplicitLength, EGL_recalcGL,
                              EPD_noChange, 0, 0, EWM_updateMeta)
                    .good()) << file;
    fs::remove(plain);
}

// `v` as `bytes` bytes, least significant first.
std::string Le(std::uint64_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
    return s;
}

// A ZIP entry as stored: any name, and its Unix mode (0120777: a link to its content).
struct ZipEntry {
    std::string name, content;
    std::uint32_t unixMode = 0100644;
};

// A ZIP archive of stored entries, written byte by byte so that names no
// archiver would write stay as given.
void WriteRawZip(const fs::path& file, const std::vector<ZipEntry>& entries) {
    std::string local, central;
    for (const ZipEntry& e : entries) {
        const auto crc =
            ::crc32(0L, reinterpret_cast<const Bytef*>(e.content.data()), static_cast<uInt>(e.content.size()));
        // Version 2.0, no flags, stored, 1980-01-01 00:00, CRC, both sizes, name length, no extra field.
        const std::string common = Le(20, 2) + Le(0, 6) + Le(0x21, 2) + Le(crc, 4) + Le(e.content.size(), 4) +
                                   Le(e.content.size(), 4) + Le(e.name.size(), 2) + Le(0, 2);
        // Made on Unix, no comment, disk 0, no internal attributes.
        central += Le(0x02014b50, 4) + Le(0x0314, 2) + common + Le(0, 6) + Le(std::uint64_t{e.unixMode} << 16, 4) +
                   Le(local.size(), 4) + e.name;
        local += Le(0x04034b50, 4) + common + e.name + e.content;
    }
    WriteAll(file, local + central + Le(0x06054b50, 4) + Le(0, 4) + Le(entries.size(), 2) + Le(entries.size(), 2) +
                       Le(central.size(), 4) + Le(local.size(), 4) + Le(0, 2));
}

// The lines of a log file, which must each end in CR LF and hold no CR or LF of their own.
std::vector<std::string> LogLines(const fs::path& file) {
    const std::string text = ReadAll(file);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; start < text.size(); start = end + 2) {
        end = std::min(text.find("\r\n", start), text.size());
        lines.push_back(text.substr(start, end - start));
        EXPECT_EQ(lines.back().find_first_of("\r\n"), std::string::npos) << file << ": " << lines.back();
        EXPECT_LT(end, text.size()) << file << " does not end in CR LF";
    }
    return lines;
}

// Names and Study UIDs of the files in one folder of an image, as xorriso
// extracts them (Rock Ridge) and DCMTK reads them.
std::map<std::string, std::string> FilesOnImage(const fs::path& iso, const std::string& folder,
                                                const fs::path& scratch) {
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    const auto x = test::RunProcess(
        {.argv = {"xorriso", "-osirrox", "on", "-indev", iso.string(), "-extract", "/" + folder, scratch.string()}});
    EXPECT_EQ(x.status, 0) << x.output;
    EXPECT_EQ(test::RunProcess({.argv = {"chmod", "-R", "u+w", scratch.string()}}).status, 0);
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(scratch)) {
        DcmFileFormat format;
        OFString uid;
        if (format.loadFile(OFFilename(e.path().c_str())).good())
            format.getDataset()->findAndGetOFString(DCM_StudyInstanceUID, uid);
        files[e.path().filename().string()] = uid.c_str();
    }
    return files;
}

std::set<std::string> Studies(const std::map<std::string, std::string>& files) {
    std::set<std::string> uids;
    for (const auto& [name, uid] : files) uids.insert(uid);
    return uids;
}

// (DCMTK drops blanks inside a UID when it reads one, so the hostile UIDs
// make do without them.)
const std::string kUid1 = "1.2.826.0.1.1';DELETE/**/FROM/**/tblStudies;--";
const std::string kUid2 = "1.2.826.0.1.2'OR'1'='1'--";
const std::string kUid3 = "1.2.826.0.1.3." + std::string(300, '9');
const std::string kUid4 = "1.2.826.0.1.4/*'*/;";
const std::string kUid5 = "1.2.826.0.1.5";
const std::string kDir1 = "O'Brien; DROP TABLE tblStudies; --";
const std::string kDir2 = "semi;colon /*x*/ 'quoted' -- tail";
const std::string kDir5 = "bad'; UPDATE tblStudies SET StudyDirectory2 = 'not readable'; --";
const std::string kNewline = "line\nbreak.dcm";
const std::string kControl = "ctrl\x01\x1b[31m\x7f.dcm";
const std::string kLatin1 = "M\xFCller's.dcm";
const std::string kLong = std::string(251, 'N') + ".dcm";                          // 255 bytes
const std::string kUmlauts = std::string(246, 'u') + "\xC3\xBC" + "\xC3\xBC.dcm";  // 254, ending in two-byte characters

class HostileRun : public ::testing::TestWithParam<ArchiveKind> {
protected:
    test::TempDir dir;
    std::unique_ptr<test::TestArchive> db;
    fs::path root = dir / "archive root";
    fs::path prog = dir / "prog";

    void SetUp() override {
        db = std::make_unique<test::TestArchive>(GetParam(), dir.path());
        fs::create_directories(prog);
        fs::create_directories(dir / "iso");
        db->AddArchive(1, std::nullopt, root.string());
        WriteAll(prog / "velunor.ini", "[CONFIG]\nServerType=" + db->serverType() + "\nServer=" + db->server() +
                                           "\nTempPath=" + (dir / "staging").string() +
                                           "\nImageFolder=" + (dir / "iso").string() + "\nAuthBurn=1\n");
    }

    // A study folder under the archive root with DICOM files of `uid`. (The
    // folder is joined as text: a value starting with "/" must not replace
    // the root.)
    void Study(int id, const std::string& uid, const std::string& dir1, const std::vector<std::string>& files) {
        const fs::path folder = root.string() + "/" + dir1;
        fs::create_directories(folder);
        int n = 0;
        for (const auto& name : files)
            WriteDicomWithUids(folder / name, uid, "1.2.826.0.2." + std::to_string(id) + "." + std::to_string(++n));
        db->AddStudy(id, uid, dir1, std::nullopt, 1);
    }

    std::string Value(int id) { return db->StudyDirectory2(id).value_or("<NULL>"); }

    int Rows() {
        auto rs = db->db().Query("SELECT COUNT(*) AS n FROM tblStudies");
        rs->Next();
        return std::stoi(rs->Field("n").value_or("0"));
    }

    void RunOnce(int disc) {
        test::RunDriver r(prog, dir / "Velunor.ready", "debug");
        r.events.answers = {Answer::Yes};   // the burn authorisation
        r.RunOnce();
        EXPECT_EQ(ReadAll(prog / "LastMediaNr"), " " + std::to_string(disc) + " \r\n")
            << ReadAll(prog / "Logs" / "Error.log");
        EXPECT_EQ(r.events.Last().failedUpdates, 0);
    }
};

TEST_P(HostileRun, HostileNamesAndValuesReachOnlyTheirOwnRowsStayInTheirFoldersFitAndLogOneLineEach) {
    Study(1, kUid1, kDir1, {"IM00001.dcm"});
    Study(2, kUid2, kDir2, {kNewline, kControl, kLatin1, kLong, kUmlauts});
    // The same names again: the copies need a suffix, and no name may grow
    // beyond 255 bytes; a backslash separates the parts of a DICOMDIR file ID.
    Study(3, kUid3, "plain", {"IM00001.dcm", kLong, kUmlauts, "back\\slash.dcm"});
    // A study stored as a ZIP archive whose other entries try to leave the
    // folder, or to plant a link.
    fs::create_directories(root / "zipped");
    WriteDicomWithUids(dir / "evil.dcm", kUid4, "1.2.826.0.2.4.1");
    const std::string dicom = ReadAll(dir / "evil.dcm");
    const std::string marker = "velunor-hostile-" + std::to_string(::getpid());
    WriteRawZip(root / "zipped" / "evil.zip", {{"../../../../" + marker + "-up.dcm", dicom},
                                               {"/tmp/" + marker + "-absolute.dcm", dicom},
                                               {"..\\..\\" + marker + "-back.dcm", dicom},
                                               {"evil.dcm", "/etc/passwd", 0120777},
                                               {"study/1/evil.dcm", dicom}});
    fs::remove(dir / "evil.dcm");
    db->AddStudy(4, kUid4, "zipped", std::nullopt, 1);
    // A study with an unreadable file under a name with a line break.
    Study(5, kUid5, kDir5, {"good.dcm"});
    WriteAll(fs::path(root.string() + "/" + kDir5) / "broken\r\nname.dcm", "no DICOM file");
    // Rows that the hostile values must not touch: prefixes of the hostile
    // values, a migrated study, a folder name of 10,000 characters.
    db->AddStudy(6, "1.2.826.0.1.1", "O'Brien", std::string("DVD 7"), 1);
    db->AddStudy(7, "x' OR '1'='1", "migrated'; --", std::nullopt, 1);
    db->AddStudy(8, "1.2.826.0.1.2", std::string(10000, 'L'), std::nullopt, 1);

    RunOnce(1);
    EXPECT_EQ(Rows(), 8);
    for (int id : {1, 2, 3, 4, 5}) EXPECT_EQ(Value(id), "DVD 1") << id;   // 5 with its readable file
    EXPECT_EQ(Value(6), "DVD 7");
    EXPECT_EQ(Value(7), "<NULL>");
    EXPECT_EQ(Value(8), "<NULL>");

    // The image holds exactly the five studies, every file under a name that fits.
    const std::set<std::string> five = {kUid1, kUid2, kUid3, kUid4, kUid5};
    const auto files = FilesOnImage(dir / "iso" / "DVD 1.iso", "2", dir / "read");
    EXPECT_EQ(Studies(files), five);
    EXPECT_EQ(files.size(), 12u) << ::testing::PrintToString(files);   // every readable file, the ZIP's one DICOM file
    for (const auto& name : {kNewline, kControl, kLatin1, kLong, kUmlauts, std::string("evil.dcm")})
        EXPECT_EQ(files.count(name), 1u) << ::testing::PrintToString(name);
    for (const auto& [name, uid] : files) {
        EXPECT_LE(name.size(), 255u) << name;
        EXPECT_EQ(name.find('\\'), std::string::npos) << name;
        EXPECT_NE(uid, "") << name;
    }

    // Nothing of the ZIP archive left its folder.
    EXPECT_FALSE(fs::exists("/tmp/" + marker + "-absolute.dcm"));
    const auto options = fs::directory_options::skip_permission_denied;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(fs::temp_directory_path(), options, ec), end; !ec && it != end; it.increment(ec))
        EXPECT_EQ(it->path().filename().string().find(marker), std::string::npos) << it->path();

    // The unreadable file, and no other, is logged on one line, its name escaped.
    const auto fileLog = LogLines(prog / "Logs" / "FileLog.log");
    ASSERT_EQ(fileLog.size(), 1u) << ::testing::PrintToString(fileLog);
    EXPECT_NE(fileLog[0].find("broken\\r\\nname.dcm"), std::string::npos) << fileLog[0];
    LogLines(prog / "Logs" / "Error.log");

    // A second disc: the five studies come again from disc 1 (the carry-over
    // pass writes every file name into the debug log) with one new study.
    Study(9, "1.2.826.0.1.9", "new", {"IM00001.dcm"});
    RunOnce(2);
    for (int id : {1, 2, 3, 4, 5}) EXPECT_EQ(Value(id), "DVD 1|DVD 2") << id;
    EXPECT_EQ(Value(9), "DVD 2");
    EXPECT_EQ(Value(6), "DVD 7");
    EXPECT_EQ(Rows(), 9);
    EXPECT_EQ(Studies(FilesOnImage(dir / "iso" / "DVD 2.iso", "1", dir / "read")), five);

    const auto debugLog = LogLines(prog / "Logs" / "Debug.log");
    std::set<std::string> read;
    for (const auto& line : debugLog)
        for (const std::string escaped : {"line\\nbreak.dcm", "ctrl\\x01\\x1b[31m\\x7f.dcm", "M\\xfcller's.dcm"})
            if (line.find("Reading: ") != std::string::npos && line.find(escaped) != std::string::npos) read.insert(escaped);
    EXPECT_EQ(read.size(), 3u) << ::testing::PrintToString(debugLog);
    for (const char* log : {"FileLog.log", "Error.log"}) LogLines(prog / "Logs" / log);
    LogLines(dir / "Velunor.ready");
}

INSTANTIATE_TEST_SUITE_P(Backends, HostileRun, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

}  // namespace
}  // namespace velunor
