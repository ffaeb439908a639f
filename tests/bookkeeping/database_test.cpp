// The database layer against real databases: an SQLite file, and the
// PostgreSQL server of scripts/with-postgres.sh through unixODBC and
// psqlODBC. The statements are the ones the collection phase and the
// database update run.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

using test::ArchiveKind;
using test::TempDir;
using test::TestArchive;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kPassword = "MoNpLq482";

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Every StudyID a statement returns, in row order.
std::vector<std::string> Ids(Database& db, const std::string& sql, const std::vector<SqlParam>& params = {}) {
    std::vector<std::string> out;
    auto rows = db.Query(sql, params);
    while (rows->Next()) out.push_back(rows->Field("StudyID").value_or("NULL"));
    return out;
}

// The error text of what `f` throws as velunor::Error (fails the test when
// it throws nothing).
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

std::string CarryOverSql(int n) {
    return "Select StudyID from tblStudies where StudyDirectory2 like 'DVD " + std::to_string(n) +
           "%' Order By StudyID";
}
const char* kNewSql =
    "SELECT StudyID FROM tblStudies WHERE StudyDirectory1 NOT LIKE 'migrated%' AND (StudyDirectory2 IS NULL OR "
    "StudyDirectory2 = '') ORDER BY StudyID";
std::string ViewSql(const std::string& id) {
    return "SELECT StudyDirectory1, ArchiveUNC, ArchivePath FROM View_Studies WHERE StudyID = " + id;
}
const char* kNotReadableSql = "UPDATE tblstudies SET StudyDirectory2 = 'not readable' WHERE StudyDirectory1 = ?";
const char* kRecordSql = "Update tblStudies Set StudyDirectory2 = 'DVD 6|DVD 7' Where StudyUID = ?";

// Sets an environment variable for one scope.
class EnvOverride {
public:
    EnvOverride(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~EnvOverride() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A TCP port on 127.0.0.1 where nothing listens.
int UnusedPort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot find a free port");
    ::close(s);
    return ntohs(a.sin_port);
}

// ---------------------------------------------------------------------------
// The archive statements, on both databases.

std::string KindParamName(const ::testing::TestParamInfo<ArchiveKind>& info) { return test::KindName(info.param); }

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
        a.AddStudy(6, "1.2.6", "s6", "DVD 0|DVD 1", 1);
        a.AddStudy(7, "1.2.7", "s7", "not readable", 1);
        a.AddStudy(8, "1.2.8", "Migrated_s8", std::nullopt, 1);
        a.AddStudy(9, "1.2.9", "s9", std::nullopt, std::nullopt);  // in no archive
        db = a.Open();
    }

    TempDir tmp;
    std::unique_ptr<TestArchive> archive;
    std::unique_ptr<Database> db;
};

INSTANTIATE_TEST_SUITE_P(Sqlite, ArchiveStatements, ::testing::Values(ArchiveKind::Sqlite), KindParamName);
INSTANTIATE_TEST_SUITE_P(Postgres, ArchiveStatements, ::testing::Values(ArchiveKind::Postgres), KindParamName);

TEST_P(ArchiveStatements, CarryOverSelectionIsAPrefixMatchInStudyIDOrder) {
    EXPECT_EQ(Ids(*db, CarryOverSql(1)), (std::vector<std::string>{"4", "5"}));  // "DVD 12" matches too
    EXPECT_EQ(Ids(*db, CarryOverSql(0)), (std::vector<std::string>{"6"}));
    EXPECT_TRUE(Ids(*db, CarryOverSql(7)).empty());
}

TEST_P(ArchiveStatements, NewSelectionTakesNullAndEmptyAndSkipsMigrated) {
    // SQLite's LIKE ignores ASCII case (as SQL Server's default collation
    // does); PostgreSQL's does not, so "Migrated_s8" is new there.
    std::vector<std::string> expected = GetParam() == ArchiveKind::Sqlite
                                            ? std::vector<std::string>{"1", "2", "9"}
                                            : std::vector<std::string>{"1", "2", "8", "9"};
    EXPECT_EQ(Ids(*db, kNewSql), expected);
}

TEST_P(ArchiveStatements, ViewLookupGivesRootsWithNullsAndNoRowOutsideAnArchive) {
    auto rows = db->Query(ViewSql("1"));
    ASSERT_TRUE(rows->Next());
    // Names are matched without regard to case (PostgreSQL answers in lower case).
    EXPECT_EQ(rows->Field("StudyDirectory1"), "s1");
    EXPECT_EQ(rows->Field("studydirectory1"), "s1");
    EXPECT_EQ(rows->Field("ARCHIVEUNC"), "/mnt/unc");
    EXPECT_EQ(rows->Field("ArchivePath"), "/srv/archive");
    EXPECT_FALSE(rows->Next());

    rows = db->Query(ViewSql("2") + " ORDER BY StudyID");
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Field("ArchiveUNC"), std::nullopt);
    EXPECT_EQ(rows->Field("ArchivePath"), "/srv/local");

    EXPECT_FALSE(db->Query(ViewSql("9"))->Next());
}

TEST_P(ArchiveStatements, NullAndEmptyTextAreDistinct) {
    auto rows = db->Query("SELECT StudyID, StudyDirectory2 FROM tblStudies WHERE StudyID IN (1, 2) ORDER BY StudyID");
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Field("StudyDirectory2"), std::nullopt);
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Field("StudyDirectory2"), std::optional<std::string>(""));
    // A NULL bound as a parameter is stored as NULL, "" as "".
    db->Execute("UPDATE tblStudies SET StudyDirectory2 = ? WHERE StudyID = 5", {std::nullopt});
    db->Execute("UPDATE tblStudies SET StudyDirectory2 = ? WHERE StudyID = 4", {std::string()});
    EXPECT_EQ(archive->StudyDirectory2(5), std::nullopt);
    EXPECT_EQ(archive->StudyDirectory2(4), std::optional<std::string>(""));
}

TEST_P(ArchiveStatements, UpdatesByStudyUidAndAnUpdateThatMatchesNothing) {
    EXPECT_EQ(db->Execute(kRecordSql, {"1.2.1"}), 1);
    EXPECT_EQ(archive->StudyDirectory2(1), "DVD 6|DVD 7");
    EXPECT_EQ(db->Execute(kRecordSql, {"9.9.9"}), 0);  // not an error
    EXPECT_EQ(db->Execute(kRecordSql, {"1.2"}), 0);    // compared exactly, no prefix
    EXPECT_EQ(archive->StudyDirectory2(2), std::optional<std::string>(""));
}

TEST_P(ArchiveStatements, BoundValuesWithApostropheSemicolonAndUmlautsAreComparedExactly) {
    const std::string hostile = "O'Brien; DROP TABLE tblStudies; --";
    const std::string umlauts = "M\xc3\xbcller_\xc3\xa4\xc3\xb6\xc3\x9f";
    const std::string longText(20000, 'x');
    archive->AddStudy(20, "1.2.20'; DELETE FROM tblStudies; --", hostile, std::nullopt, 1);
    archive->AddStudy(21, "1.2.21", umlauts, std::nullopt, 1);
    archive->AddStudy(22, "1.2.22", longText, std::nullopt, 1);

    EXPECT_EQ(db->Execute(kNotReadableSql, {hostile}), 1);
    EXPECT_EQ(archive->StudyDirectory2(20), "not readable");
    EXPECT_EQ(db->Execute(kRecordSql, {"1.2.20'; DELETE FROM tblStudies; --"}), 1);
    EXPECT_EQ(archive->StudyDirectory2(20), "DVD 6|DVD 7");
    EXPECT_EQ(Ids(*db, "SELECT StudyID FROM tblStudies ORDER BY StudyID").size(), 12u);  // nothing dropped

    EXPECT_EQ(db->Execute(kNotReadableSql, {umlauts}), 1);
    EXPECT_EQ(archive->StudyDirectory2(21), "not readable");
    auto rows = db->Query("SELECT StudyDirectory1 FROM tblStudies WHERE StudyUID = ?", {std::string("1.2.21")});
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Field("StudyDirectory1"), umlauts);
    rows = db->Query("SELECT StudyDirectory1 FROM tblStudies WHERE StudyID = 22");
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Field("StudyDirectory1"), longText);
}

TEST_P(ArchiveStatements, NestedRecordsetsAndUpdatesWhileReading) {
    // The new selection's shape: an outer recordset, a lookup per row, and
    // a study marked while the outer recordset is still open.
    std::vector<std::string> seen;
    auto outer = db->Query(kNewSql);
    while (outer->Next()) {
        std::string id = *outer->Field("StudyID");
        auto look = db->Query(ViewSql(id));
        if (look->Next()) {
            seen.push_back(id + ":" + look->Field("StudyDirectory1").value_or("NULL"));
            db->Execute(kNotReadableSql, {look->Field("StudyDirectory1")});
        }
    }
    std::vector<std::string> expected = GetParam() == ArchiveKind::Sqlite
                                            ? std::vector<std::string>{"1:s1", "2:s2"}
                                            : std::vector<std::string>{"1:s1", "2:s2", "8:Migrated_s8"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(archive->StudyDirectory2(1), "not readable");
    EXPECT_EQ(archive->StudyDirectory2(2), "not readable");
}

TEST_P(ArchiveStatements, RecordsetContract) {
    auto rows = db->Query("SELECT StudyID FROM tblStudies WHERE StudyID < 3 ORDER BY StudyID");
    EXPECT_THROW(rows->Field("StudyID"), Error);  // no current row yet
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Field("StudyID"), "1");
    Error unknown = CaughtError([&] { rows->Field("NoSuchColumn"); });
    EXPECT_THAT(unknown.what(), HasSubstr("NoSuchColumn"));
    // The recordset outlives its connection object.
    db.reset();
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Field("StudyID"), "2");
    EXPECT_FALSE(rows->Next());
    EXPECT_FALSE(rows->Next());
    EXPECT_THROW(rows->Field("StudyID"), Error);
}

TEST_P(ArchiveStatements, FailingStatementsRaiseErrorsAndChangeNothing) {
    Error missing = CaughtError([&] { db->Query("SELECT StudyID FROM tblNothing"); });
    EXPECT_THAT(Lower(missing.what()), HasSubstr("tblnothing"));
    EXPECT_NE(missing.number(), 0);
    if (GetParam() == ArchiveKind::Postgres) {
        EXPECT_THAT(missing.what(), HasSubstr("42P01"));
    }

    Error count = CaughtError([&] { db->Execute(kRecordSql, {"1.2.1", "extra"}); });
    EXPECT_THAT(count.what(), HasSubstr("1 parameter markers but 2 values"));
    EXPECT_EQ(archive->StudyDirectory2(1), std::nullopt);

    // The archive tables reference each other.
    EXPECT_THROW(archive->AddStudy(30, "1.2.30", "s30", std::nullopt, 99), Error);
    // The connection stays usable after a failure.
    EXPECT_EQ(Ids(*db, CarryOverSql(0)), (std::vector<std::string>{"6"}));
}

TEST_P(ArchiveStatements, CommandTimeoutEndsALongStatement) {
    auto shortTimeout = archive->Open(1);
    const std::string slow =
        GetParam() == ArchiveKind::Postgres
            ? "SELECT pg_sleep(60) AS slept"
            : "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100000000000) "
              "SELECT max(x) AS slept FROM c";
    auto start = std::chrono::steady_clock::now();
    Error e = CaughtError([&] {
        auto rows = shortTimeout->Query(slow);
        rows->Next();
    });
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(20));
    if (GetParam() == ArchiveKind::Postgres) {
        EXPECT_THAT(e.what(), HasSubstr("57014"));
    } else {
        EXPECT_THAT(e.what(), HasSubstr("timeout expired after 1 seconds"));
    }
    EXPECT_NE(e.number(), 0);
}

// ---------------------------------------------------------------------------
// Connection failures against the PostgreSQL server.

class PostgresConnection : public ::testing::Test {
protected:
    void SetUp() override { server = test::RequirePostgresServer(); }
    std::string server;
};

TEST_F(PostgresConnection, WrongPasswordNamesTheCauseButNeverThePassword) {
    const std::string wrong = "Xq7-wrong-Zz";
    std::string cs = "driver={PostgreSQL};server=" + server + ";uid=F257;pwd=" + wrong + ";database=ARCDB2";
    Error e = CaughtError([&] { OpenDatabase("PostgreSQL", server, cs, 30); });
    EXPECT_THAT(e.what(), HasSubstr("password authentication failed"));
    EXPECT_THAT(e.what(), HasSubstr("08001"));
    EXPECT_THAT(e.what(), HasSubstr("(driver PostgreSQL, server " + server + ")"));
    EXPECT_THAT(e.what(), Not(HasSubstr(wrong)));
    EXPECT_THAT(e.what(), Not(HasSubstr("uid=")));
    EXPECT_NE(e.number(), 0);
}

TEST_F(PostgresConnection, MissingDatabaseAndStoppedServer) {
    std::string cs = "driver={PostgreSQL};server=" + server + ";uid=F257;pwd=" + kPassword + ";database=NoSuchArchive";
    Error missing = CaughtError([&] { OpenDatabase("PostgreSQL", server, cs, 30); });
    EXPECT_THAT(missing.what(), HasSubstr("\"NoSuchArchive\" does not exist"));
    EXPECT_THAT(missing.what(), Not(HasSubstr(kPassword)));

    // The standard connection string, with the server's port closed.
    EnvOverride port("PGPORT", std::to_string(UnusedPort()));
    Error stopped = CaughtError([&] { OpenDatabase("PostgreSQL", server, BuildConnectionString("PostgreSQL", server), 30); });
    EXPECT_THAT(stopped.what(), HasSubstr("Connection refused"));
    EXPECT_THAT(stopped.what(), HasSubstr("08001"));
    EXPECT_THAT(stopped.what(), Not(HasSubstr(kPassword)));
}

TEST_F(PostgresConnection, ColumnNamesComeBackInLowerCase) {
    TempDir tmp;
    TestArchive archive(ArchiveKind::Postgres, tmp.path());
    archive.AddArchive(1, "/u", "/p");
    archive.AddStudy(1, "1.2.1", "s1", std::nullopt, 1);
    auto rows = archive.db().Query("SELECT StudyID, StudyDirectory1 FROM tblStudies");
    ASSERT_TRUE(rows->Next());
    EXPECT_EQ(rows->Field("studyid"), "1");
    EXPECT_EQ(rows->Field("STUDYDIRECTORY1"), "s1");
}

// ---------------------------------------------------------------------------
// Opening, without a server.

TEST(DatabaseOpen, EmptyServerTypeIsAnErrorNotTheFirstDriver) {
    for (const std::string type : {"", "  "}) {
        Error e = CaughtError([&] { OpenDatabase(type, "x", BuildConnectionString(type, "x"), 30); });
        EXPECT_EQ(e.number(), 0);
        EXPECT_THAT(e.what(), HasSubstr("ServerType is empty"));
        EXPECT_THAT(e.what(), Not(HasSubstr(kPassword)));
    }
    // An empty driver name in the string itself would do the same.
    Error e = CaughtError([&] { OpenDatabase("PostgreSQL", "x", "driver={ };server=x;pwd=se;cret", 30); });
    EXPECT_THAT(e.what(), HasSubstr("no database driver"));
    EXPECT_THAT(e.what(), Not(HasSubstr("se;cret")));
}

TEST(DatabaseOpen, UnknownDriverIsReportedByTheDriverManager) {
    Error e = CaughtError(
        [&] { OpenDatabase("NoSuchDriver", "h", BuildConnectionString("NoSuchDriver", "h"), 30); });
    EXPECT_THAT(e.what(), HasSubstr("(driver NoSuchDriver, server h)"));
    EXPECT_THAT(e.what(), Not(HasSubstr("uid=")));
    EXPECT_THAT(e.what(), HasSubstr("Can't open lib 'NoSuchDriver'"));
    EXPECT_THAT(e.what(), Not(HasSubstr(kPassword)));
}

TEST(DatabaseOpen, PasswordIsScrubbedInEveryForm) {
    using detail::ScrubPassword;
    EXPECT_EQ(detail::ConnectionAttribute("PWD={a;b}}c};x=1", "pwd"), "a;b}c");
    EXPECT_EQ(ScrubPassword("login as F257 with a;b}c failed, a;b}c", "pwd={a;b}}c}"),
              "login as F257 with *** failed, ***");
}

TEST(DatabaseOpen, ArchiveSchemaStatementsInOrder) {
    for (auto dialect : {SchemaDialect::Sqlite, SchemaDialect::Postgres}) {
        auto statements = ArchiveSchemaStatements(dialect);
        ASSERT_EQ(statements.size(), 5u);
        EXPECT_EQ(statements.front().rfind("CREATE TABLE tblArchives", 0), 0u);
        EXPECT_EQ(statements.back().rfind("CREATE VIEW View_Studies", 0), 0u);
        for (const auto& s : statements) EXPECT_EQ(s.find("--"), std::string::npos) << s;
    }
    EXPECT_EQ(detail::SplitSqlScript("a 'x;--y';\n-- note; here\n b \"c;\"; ;"),
              (std::vector<std::string>{"a 'x;--y'", "b \"c;\""}));
}

// ---------------------------------------------------------------------------
// SQLite files.

TEST(SqliteDatabase, MissingFileIsReportedAndNeverCreated) {
    TempDir tmp;
    const auto file = tmp / "archive.sqlite";
    Error e = CaughtError([&] { OpenDatabase("SQLite3", file.string(), "", 30); });
    EXPECT_EQ(std::string(e.what()), "database file not found: " + file.string());
    EXPECT_FALSE(std::filesystem::exists(file));
    Error inMissingFolder = CaughtError([&] { OpenDatabase("sqlite3", (tmp / "no/a.sqlite").string(), "", 30); });
    EXPECT_THAT(inMissingFolder.what(), HasSubstr("database file not found"));
    EXPECT_FALSE(std::filesystem::exists(tmp / "no"));
    EXPECT_THAT(CaughtError([&] { OpenDatabase("SQLite3", "", "", 30); }).what(), HasSubstr("Server is empty"));
}

TEST(SqliteDatabase, FileThatIsNoDatabaseIsRefusedAndLeftAlone) {
    TempDir tmp;
    const auto file = tmp / "notes.txt";
    const std::string content(4096, 'n');
    test::WriteAll(file, content);
    Error e = CaughtError([&] { OpenDatabase("SQLite3", file.string(), "", 30); });
    EXPECT_THAT(e.what(), HasSubstr("not a database"));
    EXPECT_EQ(e.number(), 26);  // SQLITE_NOTADB
    EXPECT_EQ(test::ReadAll(file), content);
    EXPECT_THAT(CaughtError([&] { OpenDatabase("SQLite3", tmp.path().string(), "", 30); }).what(),
                HasSubstr("is a folder"));
}

TEST(SqliteDatabase, QueryOnlyReadsAndExecuteRunsOneStatement) {
    TempDir tmp;
    TestArchive archive(ArchiveKind::Sqlite, tmp.path());
    archive.AddArchive(1, "/u", std::nullopt);
    archive.AddStudy(1, "1.2.1", "s1", std::nullopt, 1);
    Database& db = archive.db();
    EXPECT_THAT(CaughtError([&] { db.Query(kRecordSql, {"1.2.1"}); }).what(), HasSubstr("must only read"));
    EXPECT_THAT(
        CaughtError([&] { db.Execute("UPDATE tblStudies SET StudyDirectory2 = 'DVD 1'; DELETE FROM tblStudies"); })
            .what(),
        HasSubstr("more than one statement"));
    EXPECT_EQ(archive.StudyDirectory2(1), std::nullopt);
    EXPECT_EQ(db.Execute("UPDATE tblStudies SET StudyDirectory2 = 'DVD 1';  "), 1);
}

TEST(SqliteDatabase, CreatingAnArchiveNeverTouchesAnExistingFile) {
    TempDir tmp;
    const auto file = tmp / "archive.sqlite";
    test::WriteAll(file, "precious");
    Error e = CaughtError([&] { CreateSqliteArchive(file); });
    EXPECT_THAT(e.what(), HasSubstr("exists already"));
    EXPECT_EQ(test::ReadAll(file), "precious");

    const auto fresh = tmp / "fresh.sqlite";
    CreateSqliteArchive(fresh);
    auto db = OpenDatabase("SQLite3", fresh.string(), "", 30);
    EXPECT_FALSE(db->Query(ViewSql("1"))->Next());
    EXPECT_THROW(CreateArchiveSchema(*db, SchemaDialect::Sqlite), Error);  // the tables exist
    EXPECT_THROW(CreateSqliteArchive(tmp / "no/such/folder.sqlite"), Error);
}

}  // namespace
}  // namespace velunor
