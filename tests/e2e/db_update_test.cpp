// The database update on a real SQLite archive: values written per list,
// parameters bound, media number advanced and stored, staging emptied; and
// the record journal on SQLite and PostgreSQL: updates the database refuses
// stay in it and a later run records them, an update that changes no row is
// a failure that is not retried, a damaged journal is refused and kept.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/error.hpp"
#include "bookkeeping/bookkeeping.hpp"
#include "tests/support/db_update_env.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ArchiveKind;
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
    for (const char* f : {"DVD/Dicomdir", "DVD/1/a", "DVD/2/b", "Unzip/c", "DVDTemp/d"})
        EXPECT_FALSE(std::filesystem::exists(dir / "stage" / f)) << f;
    EXPECT_TRUE(std::filesystem::exists(dir / "stage" / "DVD" / "2" / "sub" / "keep"));
    EXPECT_TRUE(state.summary.discWritten);
    // A UID that no row has is a failed update, logged without a box, and
    // nothing is kept to retry: the journal is gone.
    EXPECT_EQ(state.summary.failedUpdates, 1);
    EXPECT_TRUE(prompter.shown.empty());
    EXPECT_NE(ReadAll(dir / "Logs" / "Error.log")
                  .find("DVD 7, folder 2: no study has the Study UID [not.in.db], nothing recorded for it"),
              std::string::npos);
    EXPECT_FALSE(state.summary.journalKept);
    EXPECT_FALSE(std::filesystem::exists(dir / "RecordJournal"));
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
    EXPECT_EQ(state.summary.failedUpdates, 3);   // each changed no row
    EXPECT_FALSE(std::filesystem::exists(dir / "RecordJournal"));
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
    // The disc left with the operator: all three updates wait in the journal.
    EXPECT_TRUE(state.summary.journalKept);
    EXPECT_EQ(ParseRecordJournal(ReadAll(dir / "RecordJournal")),
              (std::vector<JournalEntry>{{5, 1, "1.1"}, {5, 2, "2.1"}, {5, 2, "2.2"}}));
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
    EXPECT_FALSE(std::filesystem::exists(dir / "RecordJournal"));   // the next run records the image itself
}

TEST_F(DBUpdateFixture, UnwritableJournalAndLastMediaNrAreShownTheUpdatesStillRunAndTheNumberIsUsedUp) {
    WriteAll(dir / "LastMediaNr", " 6 \r\n");
    std::filesystem::create_directory(dir / "LastMediaNr.tmp");    // the temporary names are taken
    std::filesystem::create_directory(dir / "RecordJournal.tmp");
    state.MediaNumber = 6;
    state.DiscStudies2 = {"2.1"};
    EXPECT_TRUE(DBUpdate(run));
    EXPECT_FALSE(state.summary.numberStored);
    EXPECT_EQ(state.MediaNumber, 7);
    EXPECT_EQ(ReadAll(dir / "LastMediaNr"), " 6 \r\n");
    EXPECT_EQ(ValueOf("2.1"), "DVD 7");
    EXPECT_EQ(state.summary.recordedStudies, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "RecordJournal"));
    ASSERT_EQ(prompter.shown.size(), 2u);
    EXPECT_NE(prompter.shown[0].text.find("The record journal " + (dir / "RecordJournal").string() +
                                          " cannot be written (RecordJournal cannot be written: Is a directory); "
                                          "DVD 7 is recorded without it"),
              std::string::npos)
        << prompter.shown[0].text;
    EXPECT_NE(prompter.shown[1].text.find("LastMediaNr cannot be written"), std::string::npos);
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

TEST_F(DBUpdateFixture, ADamagedJournalIsRefusedNamedAndKeptByTheReplayAndTheUpdate) {
    const std::string damaged = "Velunor record journal 1\nDVD 7\n2 \"2.1\" trailing\nend 1\n";
    WriteAll(dir / "RecordJournal", damaged);
    EXPECT_FALSE(ReplayRecordJournal(run));
    EXPECT_EQ(ReadAll(dir / "RecordJournal"), damaged);
    EXPECT_EQ(ValueOf("2.1"), "");
    EXPECT_TRUE(state.summary.journalKept);
    ASSERT_EQ(prompter.shown.size(), 1u);
    EXPECT_NE(prompter.shown[0].text.find("The record journal " + (dir / "RecordJournal").string() +
                                          " is damaged (line 3: "),
              std::string::npos)
        << prompter.shown[0].text;
    EXPECT_NE(prompter.shown[0].text.find("The run stops before selecting studies"), std::string::npos);
    EXPECT_NE(ReadAll(dir / "Logs" / "Error.log").find("ReplayRecordJournal"), std::string::npos);

    // A disc recorded meanwhile does not overwrite it either.
    state.MediaNumber = 7;
    state.DiscStudies2 = {"2.2"};
    EXPECT_TRUE(DBUpdate(run));
    EXPECT_EQ(ValueOf("2.2"), "DVD 8");
    EXPECT_EQ(ReadAll(dir / "RecordJournal"), damaged);
}

TEST(RecordJournalFormat, ReadableAndUnambiguousForAnyUid) {
    std::string everyByte;
    for (int c = 0; c < 256; ++c) everyByte += static_cast<char>(c);
    const std::vector<JournalEntry> entries = {
        {7, 1, "1.2.840.10008.1"}, {7, 2, "1.2.3 "}, {7, 2, ""},       {7, 2, "a\"b\\x41\r\nend 3"},
        {8, 1, "1.2.3 "},          {8, 2, everyByte}, {-2147483647, 1, "x"}};
    EXPECT_EQ(ParseRecordJournal(FormatRecordJournal(entries)), entries);
    EXPECT_EQ(FormatRecordJournal({entries[0], entries[1], entries[2], entries[3], entries[4]}),
              "Velunor record journal 1\n"
              "DVD 7\n"
              "1 \"1.2.840.10008.1\"\n"
              "2 \"1.2.3\\x20\"\n"
              "2 \"\"\n"
              "2 \"a\\x22b\\x5cx41\\x0d\\x0aend\\x203\"\n"
              "DVD 8\n"
              "1 \"1.2.3\\x20\"\n"
              "end 5\n");
    EXPECT_EQ(entries[0].Value(), "DVD 6|DVD 7");
    EXPECT_EQ(entries[1].Value(), "DVD 7");
    // CR LF line ends and upper-case hex digits are read as well.
    EXPECT_EQ(ParseRecordJournal("Velunor record journal 1\r\nDVD 1\r\n2 \"\\x4A\"\r\nend 1\r\n"),
              (std::vector<JournalEntry>{{1, 2, "J"}}));
    for (const char* bad : {"", "Velunor record journal 2\nend 0\n", "Velunor record journal 1\nDVD 1\n",
                            "Velunor record journal 1\nDVD 1\n2 \"x\"\nend 2\n",
                            "Velunor record journal 1\n2 \"x\"\nend 1\n",
                            "Velunor record journal 1\nDVD 1\n3 \"x\"\nend 1\n",
                            "Velunor record journal 1\nDVD 1\n2 \"a b\"\nend 1\n",
                            "Velunor record journal 1\nDVD 1\n2 \"\\x4\"\nend 1\n",
                            "Velunor record journal 1\nDVD x\nend 0\n",
                            "Velunor record journal 1\nend 0\n\n"})
        EXPECT_THROW(ParseRecordJournal(bad), Error) << bad;
}

// The record journal against a database that refuses the update, on both
// products. (The trigger is a stand-in for a database that can be read but
// not written: a read-only replica, a full disk, a missing grant.)
class RecordJournal : public ::testing::TestWithParam<ArchiveKind>, protected test::DbUpdateEnv {
protected:
    const std::string odd = "2.3 \"odd\"\\\x01\xC3\xBC";   // blank, quotes, backslash, a control byte, UTF-8

    void SetUp() override {
        Open(GetParam(), "/a");
        int id = 0;
        for (const auto& [uid, value] : std::vector<std::pair<std::string, SqlParam>>{
                 {"1.1", "DVD 6"}, {"1.2", "DVD 6"}, {"2.1", ""}, {"2.2", std::nullopt}, {odd, std::nullopt},
                 {"2.5 ", std::nullopt}, {"9.9", "DVD 3|DVD 4"}}) {
            ++id;
            db->AddStudy(id, uid, "s" + std::to_string(id), value, 1);
        }
    }

    void RefuseUpdates(bool refuse) {
        const bool pg = GetParam() == ArchiveKind::Postgres;
        if (refuse && pg) {
            db->db().Execute("CREATE FUNCTION refuse_update() RETURNS trigger LANGUAGE plpgsql AS "
                             "$$ BEGIN RAISE EXCEPTION 'read-only'; END $$");
            db->db().Execute("CREATE TRIGGER refuse BEFORE UPDATE ON tblStudies FOR EACH ROW "
                             "EXECUTE FUNCTION refuse_update()");
        } else if (refuse) {
            db->db().Execute(
                "CREATE TRIGGER refuse BEFORE UPDATE ON tblStudies BEGIN SELECT RAISE(ABORT,'read-only'); END");
        } else {
            db->db().Execute(pg ? "DROP TRIGGER refuse ON tblStudies" : "DROP TRIGGER refuse");
        }
    }

    std::vector<std::string> Values() {
        std::vector<std::string> values;
        for (int id = 1; id <= 7; ++id) values.push_back(db->StudyDirectory2(id).value_or("<NULL>"));
        return values;
    }
};

TEST_P(RecordJournal, RefusedUpdatesWaitInTheJournalAndAReplayRecordsExactlyThemNoRowIsNotRetried) {
    const std::vector<std::string> before = Values();
    RefuseUpdates(true);
    state.MediaNumber = 6;
    // "2.1" was found in both folders (its folder-2 value is the one that
    // stands); the row of "2.5" holds "2.5 ".
    state.DiscStudies1 = {"1.1", "1.2", "2.1"};
    state.DiscStudies2 = {"2.1", "2.2", odd, "2.5"};
    {
        velunor::Run run{*shell, state, drive};
        EXPECT_TRUE(DBUpdate(run));
    }
    // The disc exists: its number is used up, and its updates wait.
    EXPECT_EQ(Values(), before);
    EXPECT_EQ(state.MediaNumber, 7);
    EXPECT_EQ(ReadAll(dir / "prog" / "LastMediaNr"), " 7 \r\n");
    EXPECT_TRUE(state.summary.discWritten);
    EXPECT_TRUE(state.summary.journalKept);
    EXPECT_EQ(state.summary.recordedStudies, 0);
    EXPECT_EQ(state.summary.failedUpdates, 7);
    const std::vector<JournalEntry> waiting = {{7, 1, "1.1"}, {7, 1, "1.2"}, {7, 2, "2.1"}, {7, 2, "2.2"}, {7, 2, odd}};
    EXPECT_EQ(ParseRecordJournal(ReadAll(dir / "prog" / "RecordJournal")), waiting);
    // "2.5" changed no row: failed, named in the log, not kept for a retry.
    const std::string log = ReadAll(dir / "prog" / "Logs" / "Error.log");
    EXPECT_NE(log.find("DVD 7, folder 2: no study has the Study UID [2.5], nothing recorded for it"), std::string::npos)
        << log;

    // While the database still refuses, a replay keeps the journal and stops the run.
    prompter.shown.clear();
    state.summary = {};
    {
        velunor::Run run{*shell, state, drive};
        EXPECT_FALSE(ReplayRecordJournal(run));
    }
    EXPECT_EQ(ParseRecordJournal(ReadAll(dir / "prog" / "RecordJournal")), waiting);
    EXPECT_TRUE(state.summary.journalKept);
    ASSERT_FALSE(prompter.shown.empty());
    EXPECT_NE(prompter.shown.back().text.find("DVD 7 is verified but not recorded: 5 updates failed again"),
              std::string::npos)
        << prompter.shown.back().text;
    EXPECT_EQ(Values(), before);

    // Writes allowed again: the replay records exactly the journal's values.
    RefuseUpdates(false);
    state.summary = {};
    {
        velunor::Run run{*shell, state, drive};
        EXPECT_TRUE(ReplayRecordJournal(run));
    }
    EXPECT_EQ(Values(), (std::vector<std::string>{"DVD 6|DVD 7", "DVD 6|DVD 7", "DVD 7", "DVD 7", "DVD 7", "<NULL>",
                                                  "DVD 3|DVD 4"}));
    EXPECT_FALSE(fs::exists(dir / "prog" / "RecordJournal"));
    EXPECT_EQ(state.summary.recordedStudies, 0);   // the counts are the next disc's
    EXPECT_EQ(state.summary.failedUpdates, 0);
    EXPECT_FALSE(state.summary.journalKept);
    EXPECT_NE(ReadAll(dir / "prog" / "Logs" / "Error.log")
                  .find("Recording DVD 7 from the record journal of an earlier run: 5 studies"),
              std::string::npos);
    EXPECT_EQ(state.MediaNumber, 7);
    EXPECT_EQ(ReadAll(dir / "prog" / "LastMediaNr"), " 7 \r\n");
    // Nothing left: the next replay does nothing.
    velunor::Run run{*shell, state, drive};
    EXPECT_TRUE(ReplayRecordJournal(run));
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordJournal, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

}  // namespace
}  // namespace velunor
