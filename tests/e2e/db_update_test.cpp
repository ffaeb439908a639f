// The database update on SQLite and PostgreSQL: values written per folder,
// parameters bound, failures counted; the record journal keeps the updates
// the database refuses for a later run, never retries one that changes no
// row, and is refused and kept when damaged. LastMediaNr is never written
// in place.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include "app/error.hpp"
#include "app/media_number.hpp"
#include "app/settings.hpp"
#include "bookkeeping/bookkeeping.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/db_update_env.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ArchiveKind;
using test::ReadAll;
using test::WriteAll;

class DbUpdate : public ::testing::TestWithParam<ArchiveKind>, protected test::DbUpdateEnv {
protected:
    const std::string odd = "2.3 \"odd\"\\\x01\xC3\xBC";   // blank, quotes, backslash, a control byte, UTF-8
    fs::path prog = dir / "prog";

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

    std::vector<std::string> Values() {
        std::vector<std::string> values;
        for (int id = 1; id <= 7; ++id) values.push_back(db->StudyDirectory2(id).value_or("<NULL>"));
        return values;
    }
    Recorded Update(std::vector<std::string> s1, std::vector<std::string> s2) {
        velunor::Run run = MakeRun();
        return DBUpdate(run, Verified(6, std::move(s1), std::move(s2)));
    }

    // A stand-in for a database that can be read but not written (a
    // read-only replica, a full disk, a missing grant).
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
};

// A UID that no row has, or one written to break out of the statement,
// changes no row, is counted as failed, is named in the log and is not kept.
TEST_P(DbUpdate, RecordsEachFolderBoundAsAParameterAndAMissingRowIsAFailure) {
    const Recorded r = Update({"1.1", "1.2"}, {"2.1", "not.in.db", "x' OR '1'='1", "2.2'; DELETE FROM tblStudies; --"});
    EXPECT_EQ(Values(), (std::vector<std::string>{"DVD 6|DVD 7", "DVD 6|DVD 7", "DVD 7", "<NULL>", "<NULL>", "<NULL>",
                                                  "DVD 3|DVD 4"}));
    EXPECT_TRUE(r.numberUsed);
    EXPECT_EQ(r.recordedStudies, 3);
    EXPECT_EQ(r.failedUpdates, 3);
    EXPECT_FALSE(r.journalKept);
    EXPECT_TRUE(events.asked.empty());
    EXPECT_NE(ReadAll(prog / "Logs" / "Error.log")
                  .find("DVD 7, folder 2: no study has the Study UID [not.in.db], nothing recorded for it"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(prog / "RecordJournal"));
}

// No database, and the disc has left with the operator: every update waits
// in the journal.
TEST_P(DbUpdate, AnUnreachableDatabaseKeepsEveryUpdateInTheJournal) {
    Settings& s = shell->settings;
    s.Server = GetParam() == ArchiveKind::Sqlite ? (dir / "missing.db").string() : "127.0.0.1;port=1";
    s.ConnectionString = BuildConnectionString(s.ServerType, s.Server);
    const Recorded r = Update({"1.1"}, {"2.1", "2.2"});
    EXPECT_TRUE(r.numberUsed && r.journalKept);
    EXPECT_EQ(r.failedUpdates, 3);
    EXPECT_NE(ReadAll(prog / "Logs" / "Error.log")
                  .find("1 Update tblStudies Set StudyDirectory2 = 'DVD 6|DVD 7' Where StudyUID"),
              std::string::npos);
    EXPECT_EQ(events.asked.size(), 3u);   // the connection, then the first failure of each folder
    EXPECT_EQ(ParseRecordJournal(ReadAll(prog / "RecordJournal")),
              (std::vector<JournalEntry>{{7, 1, "1.1"}, {7, 2, "2.1"}, {7, 2, "2.2"}}));
}

// A journal that cannot be written is said, and the updates run all the
// same; a damaged one is refused, named, and kept by the replay and by a
// disc recorded meanwhile.
TEST_P(DbUpdate, AnUnwritableOrDamagedJournalIsSaidAndNeverOverwritten) {
    fs::create_directory(prog / "RecordJournal.tmp");
    EXPECT_EQ(Update({}, {"2.1"}).recordedStudies, 1);
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
    Update({}, {"2.2"});
    EXPECT_EQ(Values()[3], "DVD 7");
    EXPECT_EQ(ReadAll(prog / "RecordJournal"), damaged);
}

TEST_P(DbUpdate, RefusedUpdatesWaitInTheJournalAndAReplayRecordsExactlyThemNoRowIsNotRetried) {
    const std::vector<std::string> before = Values();
    RefuseUpdates(true);
    // "2.1" was found in both folders (its folder-2 value is the one that
    // stands); the row of "2.5" holds "2.5 ".
    velunor::Run run = MakeRun();
    const Recorded r = DBUpdate(run, Verified(6, {"1.1", "1.2", "2.1"}, {"2.1", "2.2", odd, "2.5"}));
    EXPECT_EQ(Values(), before);
    EXPECT_TRUE(r.numberUsed && r.journalKept);
    EXPECT_EQ(r.recordedStudies, 0);
    EXPECT_EQ(r.failedUpdates, 7);
    const std::vector<JournalEntry> waiting = {{7, 1, "1.1"}, {7, 1, "1.2"}, {7, 2, "2.1"}, {7, 2, "2.2"}, {7, 2, odd}};
    EXPECT_EQ(ParseRecordJournal(ReadAll(prog / "RecordJournal")), waiting);
    EXPECT_NE(ReadAll(prog / "Logs" / "Error.log")
                  .find("DVD 7, folder 2: no study has the Study UID [2.5], nothing recorded for it"),
              std::string::npos);

    // While the database still refuses, a replay keeps the journal and stops the run.
    events.asked.clear();
    EXPECT_FALSE(ReplayRecordJournal(run).clear);
    EXPECT_EQ(ParseRecordJournal(ReadAll(prog / "RecordJournal")), waiting);
    ASSERT_FALSE(events.asked.empty());
    EXPECT_NE(events.asked.back().text.find("DVD 7 is verified but not recorded: 5 updates failed again"),
              std::string::npos)
        << events.asked.back().text;
    EXPECT_EQ(Values(), before);

    // Writes allowed again: the replay records exactly the journal's values, once.
    RefuseUpdates(false);
    EXPECT_TRUE(ReplayRecordJournal(run).clear);
    EXPECT_EQ(Values(), (std::vector<std::string>{"DVD 6|DVD 7", "DVD 6|DVD 7", "DVD 7", "DVD 7", "DVD 7", "<NULL>",
                                                  "DVD 3|DVD 4"}));
    EXPECT_FALSE(fs::exists(prog / "RecordJournal"));
    EXPECT_NE(ReadAll(prog / "Logs" / "Error.log")
                  .find("Recording DVD 7 from the record journal of an earlier run: 5 studies"),
              std::string::npos);
    EXPECT_TRUE(ReplayRecordJournal(run).clear);
}

INSTANTIATE_TEST_SUITE_P(Backends, DbUpdate, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

TEST(RecordJournalFormat, ReadableAndUnambiguousForAnyUid) {
    std::string everyByte;
    for (int c = 0; c < 256; ++c) everyByte += static_cast<char>(c);
    const std::vector<JournalEntry> entries = {
        {7, 1, "1.2.840.10008.1"}, {7, 2, "1.2.3 "}, {7, 2, ""},       {7, 2, "a\"b\\x41\r\nend 3"},
        {8, 1, "1.2.3 "},          {8, 2, everyByte}, {-2147483647, 1, "x"}};
    EXPECT_EQ(ParseRecordJournal(FormatRecordJournal(entries)), entries);
    EXPECT_EQ(FormatRecordJournal({entries[0], entries[1], entries[2], entries[3], entries[4]}),
              "Velunor record journal 1\nDVD 7\n1 \"1.2.840.10008.1\"\n2 \"1.2.3\\x20\"\n2 \"\"\n"
              "2 \"a\\x22b\\x5cx41\\x0d\\x0aend\\x203\"\nDVD 8\n1 \"1.2.3\\x20\"\nend 5\n");
    // CR LF line ends and upper-case hex digits are read as well.
    EXPECT_EQ(ParseRecordJournal("Velunor record journal 1\r\nDVD 1\r\n2 \"\\x4A\"\r\nend 1\r\n"),
              (std::vector<JournalEntry>{{1, 2, "J"}}));
    const std::string head = "Velunor record journal 1\n";
    for (const std::string& bad : {std::string(), std::string("Velunor record journal 2\nend 0\n"), head + "DVD 1\n",
                                  head + "DVD 1\n2 \"x\"\nend 2\n", head + "2 \"x\"\nend 1\n",
                                  head + "DVD 1\n3 \"x\"\nend 1\n", head + "DVD 1\n2 \"a b\"\nend 1\n",
                                  head + "DVD 1\n2 \"\\x4\"\nend 1\n", head + "DVD x\nend 0\n", head + "end 0\n\n"})
        EXPECT_THROW(ParseRecordJournal(bad), Error) << bad;
}

// A write cut short (here by a file size limit, as by a full volume) leaves
// the number that was there and no other file: never a write in place.
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
    EXPECT_THROW(WriteLastMediaNr(dir.path(), 123456), Error);
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ReadLastMediaNr(dir.path()), 17);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace velunor
