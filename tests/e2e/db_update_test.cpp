// The database update on a real SQLite archive: values written per list,
// parameters bound, failures counted and kept; and the record journal on SQLite and PostgreSQL: updates the database refuses
// stay in it and a later run records them, an update that changes no row is
// a failure that is not retried, a damaged journal is refused and kept.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "app/error.hpp"
#include "app/media_number.hpp"
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

// The database update on a real SQLite archive.
struct DBUpdateFixture : ::testing::Test, protected test::DbUpdateEnv {
    fs::path prog;

    DBUpdateFixture() {
        Open(ArchiveKind::Sqlite, "/a");
        prog = dir / "prog";
        const char* rows[][2] = {{"1.1", "DVD 6"}, {"1.2", "DVD 6"}, {"2.1", ""}, {"2.2", ""}, {"9.9", "DVD 3|DVD 4"}};
        int id = 0;
        for (auto& r : rows) ++id, db->AddStudy(id, std::string(r[0]), "s" + std::to_string(id), std::string(r[1]), 1);
    }

    std::vector<std::string> Values() {
        std::vector<std::string> values;
        for (int id = 1; id <= 5; ++id) values.push_back(db->StudyDirectory2(id).value_or("<NULL>"));
        return values;
    }
    Recorded Update(std::vector<std::string> s1, std::vector<std::string> s2, bool imageStays = false) {
        velunor::Run run = MakeRun();
        return DBUpdate(run, Verified(6, std::move(s1), std::move(s2), imageStays));
    }
};

// Each verified study gets its folder's value, bound as a parameter: a UID
// that no row has, or one written to break out of the statement, changes
// no row, is counted as failed, is named in the log and is not retried.
TEST_F(DBUpdateFixture, RecordsEachFolderBoundAsAParameterAndAMissingRowIsAFailure) {
    const Recorded r = Update({"1.1", "1.2"}, {"2.1", "not.in.db", "x' OR '1'='1", "2.2'; DELETE FROM tblStudies; --"});
    EXPECT_EQ(Values(), (std::vector<std::string>{"DVD 6|DVD 7", "DVD 6|DVD 7", "DVD 7", "", "DVD 3|DVD 4"}));
    EXPECT_TRUE(r.numberUsed);
    EXPECT_EQ(r.recordedStudies, 3);
    EXPECT_EQ(r.failedUpdates, 3);
    EXPECT_FALSE(r.journalKept);
    EXPECT_TRUE(events.asked.empty());
    EXPECT_EQ(events.Progress(RunPhase::Record), 10000);
    EXPECT_NE(ReadAll(prog / "Logs" / "Error.log")
                  .find("DVD 7, folder 2: no study has the Study UID [not.in.db], nothing recorded for it"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(prog / "RecordJournal"));
}

// No database: a disc that left with the operator keeps every update in the
// journal; an image that stays is left for the next run to take over.
TEST_F(DBUpdateFixture, AnUnreachableDatabaseKeepsTheUpdatesOrLeavesTheImageForTheNextRun) {
    shell->settings.Server = (dir / "missing.db").string();
    Recorded r = Update({"1.1"}, {"2.1", "2.2"});
    EXPECT_TRUE(r.numberUsed && r.journalKept);
    EXPECT_EQ(r.failedUpdates, 3);
    const std::string log = ReadAll(prog / "Logs" / "Error.log");
    EXPECT_NE(log.find("1 Update tblStudies Set StudyDirectory2 = 'DVD 6|DVD 7' Where StudyUID"), std::string::npos);
    EXPECT_EQ(events.asked.size(), 3u);   // the connection, then the first failure of each list
    EXPECT_EQ(ParseRecordJournal(ReadAll(prog / "RecordJournal")),
              (std::vector<JournalEntry>{{7, 1, "1.1"}, {7, 2, "2.1"}, {7, 2, "2.2"}}));

    fs::remove(prog / "RecordJournal");
    r = Update({"1.1"}, {"2.1"}, true);
    EXPECT_FALSE(r.numberUsed);
    EXPECT_NE(ReadAll(prog / "Logs" / "Error.log")
                  .find("DVD 7 is not recorded: the database cannot be reached. Its image stays in the image folder; "
                        "the next run verifies and records itDBUpdate"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(prog / "RecordJournal"));
}

// A journal that cannot be written is said, and the updates run all the
// same; a damaged one is refused, named, and kept by the replay and by a
// disc recorded meanwhile.
TEST_F(DBUpdateFixture, AnUnwritableOrDamagedJournalIsSaidAndNeverOverwritten) {
    fs::create_directory(prog / "RecordJournal.tmp");
    Recorded r = Update({}, {"2.1"});
    EXPECT_EQ(r.recordedStudies, 1);
    ASSERT_EQ(events.asked.size(), 1u);
    EXPECT_NE(events.asked[0].text.find("cannot be written (RecordJournal cannot be written: Is a directory); "
                                        "DVD 7 is recorded without it"),
              std::string::npos)
        << events.asked[0].text;
    fs::remove(prog / "RecordJournal.tmp");

    const std::string damaged = "Velunor record journal 1\nDVD 7\n2 \"2.1\" trailing\nend 1\n";
    WriteAll(prog / "RecordJournal", damaged);
    velunor::Run run = MakeRun();
    const Replayed replayed = ReplayRecordJournal(run);
    EXPECT_FALSE(replayed.clear);
    EXPECT_TRUE(replayed.journalKept);
    EXPECT_NE(events.asked.back().text.find("is damaged (line 3: "), std::string::npos) << events.asked.back().text;
    EXPECT_NE(events.asked.back().text.find("The run stops before selecting studies"), std::string::npos);
    r = Update({}, {"2.2"});
    EXPECT_EQ(Values()[3], "DVD 7");
    EXPECT_EQ(ReadAll(prog / "RecordJournal"), damaged);
}

// A write cut short (here by a file size limit, as by a full volume) leaves
// the number that was there: LastMediaNr is never rewritten in place.
TEST(LastMediaNr, FormatAndAWriteCutShortKeepsTheOldNumber) {
    test::TempDir dir;
    WriteLastMediaNr(dir.path(), 17);
    EXPECT_EQ(ReadAll(dir / "LastMediaNr"), " 17 \r\n");
    EXPECT_THROW(WriteLastMediaNr(dir / "missing", 1), Error);

    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = before;
    tiny.rlim_cur = 2;
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    bool threw = false;
    try {
        WriteLastMediaNr(dir.path(), 123456);
    } catch (const Error&) {
        threw = true;
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(threw);
    EXPECT_EQ(ReadLastMediaNr(dir.path()), 17);
    EXPECT_EQ(std::vector<std::string>{"LastMediaNr"}, [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
        return names;
    }());
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
    // "2.1" was found in both folders (its folder-2 value is the one that
    // stands); the row of "2.5" holds "2.5 ".
    velunor::Run run = MakeRun();
    const Recorded r = DBUpdate(run, Verified(6, {"1.1", "1.2", "2.1"}, {"2.1", "2.2", odd, "2.5"}));
    // The disc exists: its number is used up, and its updates wait.
    EXPECT_EQ(Values(), before);
    EXPECT_TRUE(r.numberUsed && r.journalKept);
    EXPECT_EQ(r.recordedStudies, 0);
    EXPECT_EQ(r.failedUpdates, 7);
    const std::vector<JournalEntry> waiting = {{7, 1, "1.1"}, {7, 1, "1.2"}, {7, 2, "2.1"}, {7, 2, "2.2"}, {7, 2, odd}};
    EXPECT_EQ(ParseRecordJournal(ReadAll(dir / "prog" / "RecordJournal")), waiting);
    // "2.5" changed no row: failed, named in the log, not kept for a retry.
    const std::string log = ReadAll(dir / "prog" / "Logs" / "Error.log");
    EXPECT_NE(log.find("DVD 7, folder 2: no study has the Study UID [2.5], nothing recorded for it"), std::string::npos)
        << log;

    // While the database still refuses, a replay keeps the journal and stops the run.
    events.asked.clear();
    EXPECT_FALSE(ReplayRecordJournal(run).clear);
    EXPECT_EQ(ParseRecordJournal(ReadAll(dir / "prog" / "RecordJournal")), waiting);
    ASSERT_FALSE(events.asked.empty());
    EXPECT_NE(events.asked.back().text.find("DVD 7 is verified but not recorded: 5 updates failed again"),
              std::string::npos)
        << events.asked.back().text;
    EXPECT_EQ(Values(), before);

    // Writes allowed again: the replay records exactly the journal's values.
    RefuseUpdates(false);
    EXPECT_TRUE(ReplayRecordJournal(run).clear);
    EXPECT_EQ(Values(), (std::vector<std::string>{"DVD 6|DVD 7", "DVD 6|DVD 7", "DVD 7", "DVD 7", "DVD 7", "<NULL>",
                                                  "DVD 3|DVD 4"}));
    EXPECT_FALSE(fs::exists(dir / "prog" / "RecordJournal"));
    EXPECT_NE(ReadAll(dir / "prog" / "Logs" / "Error.log")
                  .find("Recording DVD 7 from the record journal of an earlier run: 5 studies"),
              std::string::npos);
    // Nothing left: the next replay does nothing.
    EXPECT_TRUE(ReplayRecordJournal(run).clear);
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordJournal, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

}  // namespace
}  // namespace velunor
