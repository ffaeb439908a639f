// The database update on a real SQLite archive: values written per list,
// parameters bound, media number advanced and stored, staging emptied.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/error.hpp"
#include "bookkeeping/bookkeeping.hpp"
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

using test::ReadAll;
using test::WriteAll;

struct DBUpdateFixture : ::testing::Test {
    test::TempDir dir;
    test::ScriptedPrompter prompter;
    HeadlessWindow window{prompter, test::FakeSleep{}};
    Shell shell{dir.path(), window};
    test::ScriptedDrive drive;
    RunState state;
    velunor::Run run{shell, state, drive};
    std::filesystem::path dbFile = dir / "archive.db";

    DBUpdateFixture() {
        shell.log.markerPath = dir / "Velunor.ready";
        CreateSqliteArchive(dbFile);
        test::WriteAll(dir / "velunor.ini", "[CONFIG]\nServerType=SQLite3\nServer=" + dbFile.string() +
                                                "\nTempPath=" + (dir / "stage").string() + "\n");
        LoadConfiguration(shell.settings, dir.path());
        auto db = Db();
        db->Execute("INSERT INTO tblArchives (ArchiveID, ArchiveUNC, ArchivePath) VALUES (1, NULL, '/a')");
        const char* rows[][2] = {{"1.1", "DVD 6"}, {"1.2", "DVD 6"}, {"2.1", ""}, {"2.2", ""}, {"9.9", "DVD 3|DVD 4"}};
        int id = 1;
        for (auto& r : rows)
            db->Execute("INSERT INTO tblStudies (StudyID, StudyUID, StudyDirectory1, StudyDirectory2, ArchiveID) "
                        "VALUES (?, ?, ?, ?, 1)",
                        {std::to_string(id++), std::string(r[0]), "s" + std::string(r[0]), std::string(r[1])});
    }

    std::unique_ptr<Database> Db() { return OpenDatabase("SQLite3", dbFile.string(), "", 30); }

    std::string ValueOf(const std::string& uid) {
        auto rs = Db()->Query("SELECT StudyDirectory2 FROM tblStudies WHERE StudyUID = ?", {uid});
        EXPECT_TRUE(rs->Next()) << uid;
        return rs->Field("StudyDirectory2").value_or("<NULL>");
    }
};

TEST_F(DBUpdateFixture, RecordsBothListsAdvancesTheNumberEjectsAndEmptiesStaging) {
    state.MediaNumber = 6;
    state.DiscStudies1 = {"1.1", "1.2"};
    state.DiscStudies2 = {"2.1", "2.2", "not.in.db"};
    for (const char* f : {"DVD/Dicomdir", "DVD/1/a", "DVD/2/b", "Unzip/c", "DVDTemp/d"})
        WriteAll(dir / "stage" / f, "x");
    std::filesystem::create_directories(dir / "stage" / "DVD" / "2" / "sub");
    WriteAll(dir / "stage" / "DVD" / "2" / "sub" / "keep", "x");

    EXPECT_TRUE(DBUpdate(run));

    EXPECT_EQ(ValueOf("1.1"), "DVD 6|DVD 7");
    EXPECT_EQ(ValueOf("1.2"), "DVD 6|DVD 7");
    EXPECT_EQ(ValueOf("2.1"), "DVD 7");
    EXPECT_EQ(ValueOf("2.2"), "DVD 7");
    EXPECT_EQ(ValueOf("9.9"), "DVD 3|DVD 4");
    EXPECT_EQ(state.MediaNumber, 7);
    EXPECT_EQ(ReadAll(dir / "LastMediaNr"), " 7 \r\n");
    EXPECT_EQ(drive.Count("Eject"), 1);
    EXPECT_EQ(window.Value(Control::pbDB), 10000);
    EXPECT_EQ(state.summary.recordedStudies, 4);
    EXPECT_EQ(state.summary.failedUpdates, 0);
    for (const char* f : {"DVD/Dicomdir", "DVD/1/a", "DVD/2/b", "Unzip/c", "DVDTemp/d"})
        EXPECT_FALSE(std::filesystem::exists(dir / "stage" / f)) << f;
    EXPECT_TRUE(std::filesystem::exists(dir / "stage" / "DVD" / "2" / "sub" / "keep"));
    EXPECT_TRUE(prompter.shown.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "Logs" / "Error.log"));
}

TEST_F(DBUpdateFixture, FirstDiscWithEmptyListsStillAdvancesAndStoresTheNumber) {
    state.MediaNumber = 0;
    EXPECT_TRUE(DBUpdate(run));
    EXPECT_EQ(state.MediaNumber, 1);
    EXPECT_EQ(ReadAll(dir / "LastMediaNr"), " 1 \r\n");
    EXPECT_EQ(window.Value(Control::pbDB), 5000);
    EXPECT_EQ(drive.Count("Eject"), 1);
}

TEST_F(DBUpdateFixture, HostileStudyUidChangesNoOtherRow) {
    state.MediaNumber = 1;
    state.DiscStudies2 = {"x' OR '1'='1", "2.1'; DELETE FROM tblStudies; --", std::string(5000, '\'')};
    EXPECT_TRUE(DBUpdate(run));
    EXPECT_EQ(ValueOf("2.1"), "");
    EXPECT_EQ(ValueOf("1.1"), "DVD 6");
    EXPECT_EQ(state.summary.recordedStudies, 0);
    EXPECT_EQ(state.summary.failedUpdates, 0);
}

TEST_F(DBUpdateFixture, UnreachableDatabaseIsLoggedCountedAndTheNumberStillAdvances) {
    shell.settings.Server = (dir / "missing.db").string();
    state.MediaNumber = 4;
    state.DiscStudies1 = {"1.1"};
    state.DiscStudies2 = {"2.1", "2.2"};
    EXPECT_TRUE(DBUpdate(run));
    EXPECT_EQ(state.summary.failedUpdates, 3);
    EXPECT_EQ(state.MediaNumber, 5);
    EXPECT_EQ(ReadAll(dir / "LastMediaNr"), " 5 \r\n");
    std::string log = ReadAll(dir / "Logs" / "Error.log");
    EXPECT_NE(log.find("DBUpdate"), std::string::npos);
    EXPECT_NE(log.find("1 Update tblStudies Set StudyDirectory2 = 'DVD 4|DVD 5' Where StudyUID"), std::string::npos);
    EXPECT_NE(log.find("2 Update tblStudies Set StudyDirectory2 = 'DVD 5' Where StudyUID"), std::string::npos);
    EXPECT_EQ(log.find("MoNpLq482"), std::string::npos);
    // The connection failure and the first failure of each list are shown; the rest only logged.
    EXPECT_EQ(prompter.shown.size(), 3u);
}

TEST_F(DBUpdateFixture, UnreachableDatabaseKeepsTheNumberWhenTheImageStaysForTheNextRun) {
    shell.settings.Server = (dir / "missing.db").string();
    drive.imageStays = true;
    WriteAll(dir / "LastMediaNr", " 4 \r\n");
    std::filesystem::create_directories(dir / "stage" / "DVD" / "1");
    WriteAll(dir / "stage" / "DVD" / "1" / "a.dcm", "staged");
    state.MediaNumber = 4;
    state.DiscStudies1 = {"1.1"};
    state.DiscStudies2 = {"2.1"};
    EXPECT_FALSE(DBUpdate(run));
    EXPECT_EQ(state.MediaNumber, 4);
    EXPECT_EQ(ReadAll(dir / "LastMediaNr"), " 4 \r\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "stage" / "DVD" / "1" / "a.dcm"));
    const std::string log = ReadAll(dir / "Logs" / "Error.log");
    EXPECT_NE(log.find("DVD 5 is not recorded: the database cannot be reached. Its image stays in the image folder; "
                       "the next run verifies and records itDBUpdate"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Update tblStudies"), std::string::npos) << log;
}

TEST_F(DBUpdateFixture, UnwritableLastMediaNrIsAnErrorAndTheOldFileStays) {
    WriteAll(dir / "LastMediaNr", " 6 \r\n");
    std::filesystem::create_directory(dir / "LastMediaNr.tmp");  // the temporary name is taken
    state.MediaNumber = 6;
    state.DiscStudies2 = {"2.1"};
    EXPECT_FALSE(DBUpdate(run));
    EXPECT_EQ(ReadAll(dir / "LastMediaNr"), " 6 \r\n");
    EXPECT_EQ(ValueOf("2.1"), "DVD 7");
    ASSERT_FALSE(prompter.shown.empty());
    EXPECT_NE(prompter.shown.back().text.find("LastMediaNr"), std::string::npos);
}

TEST(LastMediaNr, FormatAndAtomicReplacement) {
    test::TempDir dir;
    WriteLastMediaNr(dir.path(), 17);
    EXPECT_EQ(ReadAll(dir / "LastMediaNr"), " 17 \r\n");
    WriteLastMediaNr(dir.path(), -3);
    EXPECT_EQ(ReadAll(dir / "LastMediaNr"), "-3 \r\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "LastMediaNr.tmp"));
    EXPECT_THROW(WriteLastMediaNr(dir / "missing", 1), Error);
}

}  // namespace
}  // namespace velunor
