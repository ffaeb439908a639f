// Whole archive runs over hostile input, on SQLite and PostgreSQL: study
// folders and Study UIDs that hold apostrophes, semicolons, SQL comments and
// very long text, file names with line breaks, control characters, invalid
// UTF-8 and 255 bytes, and a ZIP archive that tries to leave its folder.
// Every study must end up recorded in its own row and nowhere else, nothing
// may be written outside the staging tree, and every log line must stay one
// line.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>
#include <thread>

#include "app/program/program.hpp"
#include "dicom/toolkit.hpp"
#include "tests/hostile/hostile_support.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/run_driver.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ArchiveKind;
using test::ReadAll;
using test::WriteAll;

// The Study UIDs an independent reader finds in one folder of an image:
// xorriso extracts it, DCMTK reads every file.
std::set<std::string> StudiesOnImage(const fs::path& iso, const std::string& folder, const fs::path& scratch) {
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    const auto x = test::RunProcess({.argv = {"xorriso", "-osirrox", "on", "-indev", iso.string(), "-extract",
                                              "/" + folder, scratch.string()}});
    EXPECT_EQ(x.status, 0) << x.output;
    EXPECT_EQ(test::RunProcess({.argv = {"chmod", "-R", "u+w", scratch.string()}}).status, 0);
    std::set<std::string> uids;
    for (const auto& e : fs::directory_iterator(scratch)) uids.insert(test::StudyUidOf(e.path()));
    return uids;
}

// Names of the files in one folder of an image, read by xorriso (Rock Ridge).
std::set<std::string> NamesOnImage(const fs::path& iso, const std::string& folder, const fs::path& scratch) {
    StudiesOnImage(iso, folder, scratch);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(scratch)) names.insert(e.path().filename().string());
    return names;
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
const std::string kLong = std::string(251, 'N') + ".dcm";   // 255 bytes
const std::string kBrokenName = "broken\r\nname.dcm";

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

    // A study folder under the archive root with DICOM files of `uid`.
    // (The folder is joined as text: a value starting with "/" must not
    // replace the root.)
    void Study(int id, const std::string& uid, const std::string& dir1, const std::vector<std::string>& files) {
        const fs::path folder = root.string() + "/" + dir1;
        fs::create_directories(folder);
        int n = 0;
        for (const auto& name : files)
            test::WriteDicomWithUids(folder / name, uid, "1.2.826.0.2." + std::to_string(id) + "." + std::to_string(++n));
        db->AddStudy(id, uid, dir1, std::nullopt, 1);
    }

    std::string Value(int id) { return db->StudyDirectory2(id).value_or("<NULL>"); }

    int Rows() {
        auto rs = db->db().Query("SELECT COUNT(*) AS n FROM tblStudies");
        rs->Next();
        return std::stoi(rs->Field("n").value_or("0"));
    }
};

TEST_P(HostileRun, HostileNamesAndValuesReachOnlyTheirOwnRowsStayInTheirFoldersAndLogOneLineEach) {
    Study(1, kUid1, kDir1, {"IM00001.dcm"});
    Study(2, kUid2, kDir2, {kNewline, kControl, kLatin1, kLong});
    Study(3, kUid3, "plain", {"IM00001.dcm"});
    // A study stored as a ZIP archive whose other entries try to leave the
    // folder, or to plant a link.
    fs::create_directories(root / "zipped");
    test::WriteDicomWithUids(dir / "evil.dcm", kUid4, "1.2.826.0.2.4.1");
    const std::string dicom = ReadAll(dir / "evil.dcm");
    const std::string marker = "velunor-hostile-" + std::to_string(::getpid());
    test::WriteRawZip(root / "zipped" / "evil.zip",
                      {{"../../../../" + marker + "-up.dcm", dicom},
                       {"/tmp/" + marker + "-absolute.dcm", dicom},
                       {"..\\..\\" + marker + "-back.dcm", dicom},
                       {"evil.dcm", "/etc/passwd", 0120777},
                       {"study/1/evil.dcm", dicom}});
    fs::remove(dir / "evil.dcm");
    db->AddStudy(4, kUid4, "zipped", std::nullopt, 1);
    // A study with an unreadable file under a name with a line break.
    Study(5, kUid5, kDir5, {"good.dcm"});
    WriteAll(fs::path(root.string() + "/" + kDir5) / kBrokenName, "no DICOM file");
    // Rows that the hostile values must not touch: prefixes of the hostile
    // values, a migrated study, a folder name of 10,000 characters.
    db->AddStudy(6, "1.2.826.0.1.1", "O'Brien", std::string("DVD 7"), 1);
    db->AddStudy(7, "x' OR '1'='1", "migrated'; --", std::nullopt, 1);
    db->AddStudy(8, "1.2.826.0.1.2", std::string(10000, 'L'), std::nullopt, 1);

    {
        test::RunDriver r(prog, dir / "Velunor.ready", "debug");
        r.events.answers = {Answer::Yes};   // the burn authorisation
        r.RunOnce();
        EXPECT_EQ(ReadAll(prog / "LastMediaNr"), " 1 \r\n") << ReadAll(prog / "Logs" / "Error.log");
        EXPECT_EQ(r.events.Last().failedUpdates, 0);
    }
    EXPECT_EQ(Rows(), 8);
    // Study 5 goes with its readable file.
    for (int id : {1, 2, 3, 4, 5}) EXPECT_EQ(Value(id), "DVD 1") << id;
    EXPECT_EQ(Value(6), "DVD 7");
    EXPECT_EQ(Value(7), "<NULL>");
    EXPECT_EQ(Value(8), "<NULL>");

    // The image holds exactly the five studies, under their names.
    const fs::path iso1 = dir / "iso" / "DVD 1.iso";
    EXPECT_EQ(StudiesOnImage(iso1, "2", dir / "read"), (std::set<std::string>{kUid1, kUid2, kUid3, kUid4, kUid5}));
    const auto names = NamesOnImage(iso1, "2", dir / "read");
    for (const auto& name : {kNewline, kControl, kLatin1, kLong, std::string("evil.dcm")})
        EXPECT_EQ(names.count(name), 1u) << ::testing::PrintToString(name) << " in " << ::testing::PrintToString(names);

    // Nothing of the ZIP archive left its folder.
    EXPECT_TRUE(test::FindNamed(dir.path(), marker).empty());
    EXPECT_FALSE(fs::exists("/tmp/" + marker + "-absolute.dcm"));
    EXPECT_TRUE(test::FindNamed(fs::temp_directory_path(), marker).empty());

    // The unreadable file is logged on one line, its name escaped.
    const auto fileLog = test::LogLines(prog / "Logs" / "FileLog.log");
    bool logged = false;
    for (const auto& line : fileLog) logged = logged || line.find("broken\\r\\nname.dcm") != std::string::npos;
    EXPECT_TRUE(logged) << ::testing::PrintToString(fileLog);
    test::LogLines(prog / "Logs" / "Error.log");

    // A second disc: the four studies come again from disc 1 (the carry-over
    // pass writes every file name into the debug log) with one new study.
    Study(9, "1.2.826.0.1.9", "new", {"IM00001.dcm"});
    {
        test::RunDriver r(prog, dir / "Velunor.ready", "debug");
        r.events.answers = {Answer::Yes};   // the burn authorisation
        r.RunOnce();
        EXPECT_EQ(ReadAll(prog / "LastMediaNr"), " 2 \r\n") << ReadAll(prog / "Logs" / "Error.log");
    }
    for (int id : {1, 2, 3, 4, 5}) EXPECT_EQ(Value(id), "DVD 1|DVD 2") << id;
    EXPECT_EQ(Value(9), "DVD 2");
    EXPECT_EQ(Value(6), "DVD 7");
    EXPECT_EQ(Rows(), 9);
    EXPECT_EQ(StudiesOnImage(dir / "iso" / "DVD 2.iso", "1", dir / "read"),
              (std::set<std::string>{kUid1, kUid2, kUid3, kUid4, kUid5}));

    const auto debugLog = test::LogLines(prog / "Logs" / "Debug.log");
    std::set<std::string> read;
    for (const auto& line : debugLog)
        for (const std::string escaped : {"line\\nbreak.dcm", "ctrl\\x01\\x1b[31m\\x7f.dcm", "M\\xfcller's.dcm"})
            if (line.find("Reading: ") != std::string::npos && line.find(escaped) != std::string::npos) read.insert(escaped);
    EXPECT_EQ(read.size(), 3u) << ::testing::PrintToString(debugLog);
    test::LogLines(prog / "Logs" / "FileLog.log");
    test::LogLines(prog / "Logs" / "Error.log");
    test::LogLines(dir / "Velunor.ready");
}

TEST_P(HostileRun, NamesThatCannotStayAsTheyAreGetNamesThatFitAndTheirStudiesAreArchived) {
    // Two studies with the same names of 255 and 254 bytes (the second
    // copies need a suffix, and no name may grow beyond 255 bytes; the
    // second name ends in multi-byte characters), and a name holding a
    // backslash, which separates the parts of a DICOMDIR file ID.
    const std::string umlauts = std::string(246, 'u') + "\xC3\xBC" + "\xC3\xBC.dcm";
    Study(1, "1.2.826.0.3.1", "first", {kLong, umlauts});
    Study(2, "1.2.826.0.3.2", "second", {kLong, umlauts});
    Study(3, "1.2.826.0.3.3", "third", {"back\\slash.dcm"});
    {
        test::RunDriver r(prog, dir / "Velunor.ready", "");
        r.events.answers = {Answer::Yes};   // the burn authorisation
        r.RunOnce();
        EXPECT_EQ(ReadAll(prog / "LastMediaNr"), " 1 \r\n") << ReadAll(prog / "Logs" / "Error.log");
    }
    EXPECT_EQ(ReadAll(prog / "Logs" / "FileLog.log"), "");
    for (int id : {1, 2, 3}) EXPECT_EQ(Value(id), "DVD 1") << id;
    const fs::path iso = dir / "iso" / "DVD 1.iso";
    EXPECT_EQ(StudiesOnImage(iso, "2", dir / "read"),
              (std::set<std::string>{"1.2.826.0.3.1", "1.2.826.0.3.2", "1.2.826.0.3.3"}));
    const auto names = NamesOnImage(iso, "2", dir / "read");
    EXPECT_EQ(names.size(), 5u) << ::testing::PrintToString(names);
    EXPECT_EQ(names.count(kLong), 1u);
    EXPECT_EQ(names.count(umlauts), 1u);
    for (const auto& name : names) {
        EXPECT_LE(name.size(), 255u) << name;
        EXPECT_EQ(name.find('\\'), std::string::npos) << name;
        EXPECT_EQ(test::ReadAll(dir / "read" / name).empty(), false) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, HostileRun, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

}  // namespace
}  // namespace velunor
