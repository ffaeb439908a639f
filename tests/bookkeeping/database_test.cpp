// The database layer against real databases: an SQLite file, and the
// PostgreSQL server of scripts/with-postgres.sh through unixODBC and
// psqlODBC. The statements are the ones the collection phase and the
// database update run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "app/error.hpp"
#include "app/settings.hpp"
#include "bookkeeping/database.hpp"
#include "bookkeeping/database_internal.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ArchiveKind;
using test::TempDir;
using test::TestArchive;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kPassword = "MoNpLq482";

// Every StudyID a statement returns, in row order.
std::vector<std::string> Ids(Database& db, const std::string& sql, const std::vector<SqlParam>& params = {}) {
    std::vector<std::string> out;
    auto rows = db.Query(sql, params);
    while (rows->Next()) out.push_back(rows->Field("StudyID").value_or("NULL"));
    return out;
}

// What `f` throws as velunor::Error (fails the test when it throws nothing).
template <class F>
Error CaughtError(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e;
    }
    ADD_FAILURE() << "no velunor::Error thrown";
    return Error(0, "");
}

const char* kNewSql =
    "SELECT StudyID FROM tblStudies WHERE StudyDirectory1 NOT LIKE 'migrated%' AND (StudyDirectory2 IS NULL OR "
    "StudyDirectory2 = '') ORDER BY StudyID";
std::string ViewSql(const std::string& id) {
    return "SELECT StudyDirectory1, ArchiveUNC, ArchivePath FROM View_Studies WHERE StudyID = " + id;
}
const char* kNotReadableSql = "UPDATE tblstudies SET StudyDirectory2 = 'not readable' WHERE StudyDirectory1 = ?";
const char* kRecordSql = "Update tblStudies Set StudyDirectory2 = 'DVD 6|DVD 7' Where StudyUID = ?";

class ArchiveStatements : public ::testing::TestWithParam<ArchiveKind> {
protected:
    void SetUp() override {
        archive = std::make_unique<TestArchive>(GetParam(), tmp.path());
        TestArchive& a = *archive;
        a.AddArchive(1, "/mnt/unc", "/srv/archive");
        a.AddArchive(2, std::nullopt, "/srv/local");
        // Inserted out of order: the statements sort.
        a.AddStudy(5, "1.2.5", "s5", "DVD 12", 1);
        a.AddStudy(4, "1.2.4", "s4", "DVD 1", 1);
        a.AddStudy(1, "1.2.1", "s1", std::nullopt, 1);
        a.AddStudy(2, "1.2.2", "s2", "", 2);
        a.AddStudy(3, "1.2.3", "migrated_s3", std::nullopt, 1);
        a.AddStudy(8, "1.2.8", "Migrated_s8", std::nullopt, 1);
        a.AddStudy(9, "1.2.9", "s9", std::nullopt, std::nullopt);  // in no archive
        db = a.Open();
    }
    bool sqlite() const { return GetParam() == ArchiveKind::Sqlite; }

    TempDir tmp;
    std::unique_ptr<TestArchive> archive;
    std::unique_ptr<Database> db;
};

INSTANTIATE_TEST_SUITE_P(Sqlite, ArchiveStatements, ::testing::Values(ArchiveKind::Sqlite),
                         [](const auto& info) { return test::KindName(info.param); });
INSTANTIATE_TEST_SUITE_P(Postgres, ArchiveStatements, ::testing::Values(ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

TEST_P(ArchiveStatements, OutsideValuesAreBoundAndReachExactlyTheirOwnRow) {
    // Pasted into the statement text, each of these would break it or
    // change what it does; bound, each is compared and stored byte for byte.
    std::vector<std::string> hostile = {
        "O'Brien; DROP TABLE tblStudies; --",
        "x' OR '1'='1",
        "back\\slash\\' \\\\ and \\x41",
        "markers ? and ? inside",
        "odd \x01\x02\x1b\x7f\t\r\n bytes %_ $$",
        "M\xc3\xbcller_\xc3\xa4\xc3\xb6\xc3\x9f \xe2\x80\xae",
        std::string(20000, 'x'),
    };
    // Bytes that are no UTF-8: PostgreSQL refuses them however they come.
    if (sqlite()) hostile.push_back("\xff\xfe latin-1 \xe9\x80");
    int id = 20;
    for (const std::string& v : hostile) {
        SCOPED_TRACE(id);
        const std::string uid = "1.2." + v;
        archive->AddStudy(id, uid, v, std::nullopt, 1);
        // Three markers: a marker inside a value must not take the next value.
        EXPECT_EQ(db->Execute("UPDATE tblStudies SET StudyDirectory2 = ? WHERE StudyDirectory1 = ? AND StudyUID = ?",
                              {v, v, uid}),
                  1);
        EXPECT_EQ(archive->StudyDirectory2(id), v);
        EXPECT_EQ(Ids(*db, "SELECT StudyID FROM tblStudies WHERE StudyUID = ?", {uid}),
                  std::vector<std::string>{std::to_string(id)});
        ++id;
    }
    // An update that matches no row changes none and is no error; nothing was dropped.
    EXPECT_EQ(db->Execute(kRecordSql, {"9.9.9"}), 0);
    EXPECT_EQ(Ids(*db, "SELECT StudyID FROM tblStudies").size(), 7 + hostile.size());
}

TEST_P(ArchiveStatements, RowsComeBackAsStoredAlsoWhileARecordsetIsOpenAndAfterItsConnection) {
    // The new selection's shape: an outer recordset, a lookup per row in the
    // view (PostgreSQL answers column names in lower case), and a study
    // marked while the outer recordset is still open. SQLite's LIKE ignores
    // ASCII case, PostgreSQL's does not, so "Migrated_s8" is new there.
    std::vector<std::string> seen;
    auto outer = db->Query(kNewSql);
    while (outer->Next()) {
        const std::string id = *outer->Field("StudyID");
        auto look = db->Query(ViewSql(id));
        if (!look->Next()) continue;
        seen.push_back(id + ":" + look->Field("studydirectory1").value_or("NULL") + ":" +
                       look->Field("ARCHIVEUNC").value_or("NULL"));
        EXPECT_EQ(db->Execute(kNotReadableSql, {look->Field("StudyDirectory1")}), 1);
    }
    EXPECT_EQ(seen, (sqlite() ? std::vector<std::string>{"1:s1:/mnt/unc", "2:s2:NULL"}
                              : std::vector<std::string>{"1:s1:/mnt/unc", "2:s2:NULL", "8:Migrated_s8:/mnt/unc"}));

    // NULL and "" are told apart, bound and read.
    db->Execute("UPDATE tblStudies SET StudyDirectory2 = ? WHERE StudyID = 5", {std::nullopt});
    db->Execute("UPDATE tblStudies SET StudyDirectory2 = ? WHERE StudyID = 4", {std::string()});
    EXPECT_EQ(archive->StudyDirectory2(5), std::nullopt);
    EXPECT_EQ(archive->StudyDirectory2(4), std::optional<std::string>(""));

    auto rows = db->Query("SELECT StudyID FROM tblStudies WHERE StudyID < 3 ORDER BY StudyID");
    ASSERT_TRUE(rows->Next());
    EXPECT_THAT(CaughtError([&] { rows->Field("NoSuchColumn"); }).what(), HasSubstr("NoSuchColumn"));
    db.reset();
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Field("StudyID"), "2");
    EXPECT_FALSE(rows->Next());
    EXPECT_FALSE(rows->Next());
}

TEST_P(ArchiveStatements, FailingStatementsRaiseErrorsAndChangeNothing) {
    Error missing = CaughtError([&] { db->Query("SELECT StudyID FROM tblNothing"); });
    EXPECT_THAT(missing.what(), HasSubstr(sqlite() ? "no such table: tblNothing" : "[42P01]"));
    EXPECT_NE(missing.number(), 0);
    EXPECT_THAT(CaughtError([&] { db->Execute(kRecordSql, {"1.2.1", "extra"}); }).what(),
                HasSubstr("1 parameter markers but 2 values"));
    EXPECT_THROW(archive->AddStudy(30, "1.2.30", "s30", std::nullopt, 99), Error);  // no such archive
    if (sqlite()) {
        EXPECT_THAT(CaughtError([&] { db->Query(kRecordSql, {"1.2.1"}); }).what(), HasSubstr("must only read"));
        const std::string two = "UPDATE tblStudies SET StudyDirectory2 = 'DVD 1'; DELETE FROM tblStudies";
        EXPECT_THAT(CaughtError([&] { db->Execute(two); }).what(), HasSubstr("more than one statement"));
    }
    EXPECT_EQ(archive->StudyDirectory2(1), std::nullopt);
    // The connection stays usable after a failure.
    EXPECT_EQ(Ids(*db, "SELECT StudyID FROM tblStudies WHERE StudyDirectory2 LIKE 'DVD 1%' ORDER BY StudyID"),
              (std::vector<std::string>{"4", "5"}));
}

TEST_P(ArchiveStatements, CommandTimeoutEndsALongStatement) {
    auto shortTimeout = archive->Open(1);
    const std::string slow =
        sqlite() ? "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100000000000) "
                   "SELECT max(x) AS slept FROM c"
                 : "SELECT pg_sleep(60) AS slept";
    const auto start = std::chrono::steady_clock::now();
    Error e = CaughtError([&] { shortTimeout->Query(slow)->Next(); });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(20));
    EXPECT_THAT(e.what(), HasSubstr(sqlite() ? "timeout expired after 1 seconds" : "57014"));
    EXPECT_NE(e.number(), 0);
}

TEST(PostgresConnection, FailuresNameTheCauseButNeverThePassword) {
    const std::string server = test::RequirePostgresServer();
    auto connection = [&](const std::string& password, const std::string& database) {
        return "driver={PostgreSQL};server=" + server + ";uid=F257;pwd=" + password + ";database=" + database;
    };
    const struct {
        std::string connection, port, cause, password;
    } cases[] = {
        {connection("Xq7-wrong-Zz", "ARCDB2"), "", "password authentication failed", "Xq7-wrong-Zz"},
        {connection(kPassword, "NoSuchArchive"), "", "\"NoSuchArchive\" does not exist", kPassword},
        // The standard connection string, with a port where nothing listens.
        {BuildConnectionString("PostgreSQL", server), "1", "Connection refused", kPassword},
    };
    const std::string port = std::getenv("PGPORT") ? std::getenv("PGPORT") : "";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cause);
        ::setenv("PGPORT", (c.port.empty() ? port : c.port).c_str(), 1);
        Error e = CaughtError([&] { OpenDatabase("PostgreSQL", server, c.connection, 30); });
        ::setenv("PGPORT", port.c_str(), 1);
        EXPECT_THAT(e.what(), HasSubstr(c.cause));
        EXPECT_THAT(e.what(), HasSubstr("[08001]"));
        EXPECT_THAT(e.what(), HasSubstr("(driver PostgreSQL, server " + server + ")"));
        EXPECT_THAT(e.what(), Not(HasSubstr(c.password)));
        EXPECT_NE(e.number(), 0);
    }
}

TEST(DatabaseOpen, NoDriverOrAnUnknownOneIsAnErrorThatNeverShowsThePassword) {
    // An empty driver name would make unixODBC take the first registered one.
    for (const std::string type : {"", "  "}) {
        Error e = CaughtError([&] { OpenDatabase(type, "x", BuildConnectionString(type, "x"), 30); });
        EXPECT_EQ(e.number(), 0);
        EXPECT_THAT(e.what(), HasSubstr("ServerType is empty"));
        EXPECT_THAT(e.what(), Not(HasSubstr(kPassword)));
    }
    Error unknown =
        CaughtError([&] { OpenDatabase("NoSuchDriver", "h", BuildConnectionString("NoSuchDriver", "h"), 30); });
    EXPECT_THAT(unknown.what(), HasSubstr("(driver NoSuchDriver, server h)"));
    EXPECT_THAT(unknown.what(), HasSubstr("Can't open lib 'NoSuchDriver'"));
    EXPECT_THAT(unknown.what(), Not(HasSubstr(kPassword)));
    // A password in braces, as velunor.credentials may give it, is scrubbed
    // wherever a driver quotes it.
    EXPECT_EQ(detail::ScrubPassword("login as F257 with a;b}c failed, a;b}c", "pwd={a;b}}c}"),
              "login as F257 with *** failed, ***");
}

TEST(SqliteDatabase, WhatIsNoArchiveIsRefusedAndNeverCreatedNorTouched) {
    TempDir tmp;
    const fs::path notes = tmp / "notes.txt", missing = tmp / "archive.sqlite";
    test::WriteAll(notes, std::string(4096, 'n'));
    const struct {
        std::string server, error;
        int number;
    } cases[] = {
        {missing.string(), "database file not found: " + missing.string(), 14},
        {(tmp / "no/a.sqlite").string(), "database file not found", 14},
        {"", "Server is empty", 0},
        {notes.string(), "not a database", 26},
        {tmp.path().string(), "is a folder", 14},
    };
    for (const auto& c : cases) {
        Error e = CaughtError([&] { OpenDatabase("sqlite3", c.server, "", 30); });
        EXPECT_THAT(e.what(), HasSubstr(c.error)) << c.server;
        EXPECT_EQ(e.number(), c.number) << c.server;
    }
    EXPECT_THAT(CaughtError([&] { CreateSqliteArchive(notes); }).what(), HasSubstr("exists already"));
    EXPECT_THROW(CreateSqliteArchive(tmp / "no/such/folder.sqlite"), Error);
    EXPECT_EQ(test::ReadAll(notes), std::string(4096, 'n'));
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), {}), 1);
}

}  // namespace
}  // namespace velunor
