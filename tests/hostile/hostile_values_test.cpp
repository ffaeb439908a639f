// Hostile database values on SQLite and PostgreSQL: a Study UID the
// database cannot hold fails alone and is logged on one line, and long
// values come back whole through the view. (Hostile values bound as
// parameters: tests/bookkeeping; through whole runs: hostile_run_test.)
#include <gtest/gtest.h>

#include "bookkeeping/bookkeeping.hpp"
#include "collect/collect.hpp"
#include "tests/support/db_update_env.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ArchiveKind;

// Rows as a hostile file or catalogue may fill them, each value as Study UID
// and folder, then near misses of them.
const std::vector<std::string> kRows = {
    "1.2.3'", "1.2.3''", "1.2.3'; DELETE FROM tblStudies; --", "x' OR '1'='1", "1.2.3/*", "1.2.3 -- comment",
    "1.2.3'; UPDATE tblStudies SET StudyDirectory2 = 'DVD 99' WHERE '1'='1",
    "1.2.3\\'; DROP TABLE tblStudies; --",   // a backslash before the apostrophe
    "1.2.%", "1.2._", "$$; DROP TABLE tblStudies; $$",
    "M\xC3\xBCller; \xE2\x80\xAE",            // UTF-8, a right-to-left override
    "1.2.3." + std::string(100000, '4'), std::string(5000, '\''),
    "1.2.3", "1.2.4", "1.2.35", "x", "1.2.3.4", "'", ""};

class HostileValues : public ::testing::TestWithParam<ArchiveKind>, protected test::DbUpdateEnv {
protected:
    void SetUp() override {
        Open(GetParam(), (dir / "root").string());
        shell->settings.Archive = 1;
    }

    std::vector<std::string> AllValues() {
        std::vector<std::string> values;
        auto rows = db->db().Query("SELECT StudyDirectory2 FROM tblStudies ORDER BY StudyID");
        while (rows->Next()) values.push_back(rows->Field("StudyDirectory2").value_or("<NULL>"));
        return values;
    }
};

TEST_P(HostileValues, LongValuesComeBackWholeThroughTheView) {
    // A folder name is looked up through View_Studies; a value cut short
    // could name another study's folder.
    const std::string longName = "a/" + std::string(70000, 'b') + "'; --";
    db->AddStudy(1, "1.2.3", longName, std::nullopt, 1);
    auto rows = db->Open()->Query("SELECT StudyDirectory1, ArchiveUNC, ArchivePath FROM View_Studies WHERE StudyID = 1");
    ASSERT_TRUE(rows->Next());
    StudyRoots roots{rows->Field("StudyDirectory1"), rows->Field("ArchiveUNC"), rows->Field("ArchivePath")};
    EXPECT_EQ(roots.studyDirectory1, longName);
    EXPECT_EQ(SourceFolder(roots), (dir / "root").string() + "/" + longName + "/");
}

TEST_P(HostileValues, AUidTheDatabaseCannotHoldFailsAloneAndIsLoggedOnOneLine) {
    int id = 0;
    for (const auto& v : kRows) db->AddStudy(++id, v, v, std::string("DVD 4"), 1);
    // Latin-1 bytes from a disc: not UTF-8, which PostgreSQL refuses as a
    // value; SQLite compares the bytes and finds no row. Either way the
    // update failed, is counted and named, and is not kept for a retry
    // that could never succeed.
    velunor::Run run = MakeRun();
    const Recorded r = DBUpdate(run, Verified(4, {}, {"M\xFCller\r\n'; --", kRows[0]}));
    EXPECT_EQ(r.recordedStudies, 1);
    EXPECT_EQ(r.failedUpdates, 1);
    EXPECT_FALSE(r.journalKept);
    EXPECT_FALSE(fs::exists(dir / "prog" / "RecordJournal"));
    std::vector<std::string> expected(kRows.size(), "DVD 4");
    expected[0] = "DVD 5";
    EXPECT_EQ(AllValues(), expected);
    const std::string log = test::ReadAll(dir / "prog" / "Logs" / "Error.log");
    EXPECT_TRUE(log.find_first_of("\r\n") + 2 == log.size() && log.ends_with("\r\n")) << log;   // one line
    EXPECT_NE(log.find("[M\\xfcller\\r\\n'; --]"), std::string::npos) << log;
    EXPECT_NE(log.find("DBUpdate"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Backends, HostileValues, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

}  // namespace
}  // namespace velunor
