#include "tests/support/archive_db.hpp"

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <random>
#include <stdexcept>

#include "app/settings.hpp"

namespace velunor::test {

namespace {

constexpr const char* kPgOptions = "PGOPTIONS";
constexpr const char* kSchemaPrefix = "vtest_";

std::optional<std::string> GetEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

std::string RandomSchemaName() {
    std::random_device rd;
    std::string name = kSchemaPrefix;
    const char* hex = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) name += hex[rd() % 16];
    return name;
}

}  // namespace

std::string KindName(ArchiveKind kind) { return kind == ArchiveKind::Sqlite ? "Sqlite" : "Postgres"; }

void PrintTo(ArchiveKind kind, std::ostream* os) { *os << KindName(kind); }

std::string RequirePostgresServer() {
    auto flag = GetEnv("VELUNOR_TEST_PG");
    auto server = GetEnv("VELUNOR_PG_SERVER");
    if (!flag || *flag != "1" || !server || server->empty())
        throw std::runtime_error(
            "this test needs the PostgreSQL test server: run it through scripts/with-postgres.sh "
            "(or leave such tests out with: ctest -E Postgres)");
    return *server;
}

TestArchive::TestArchive(ArchiveKind kind, const std::filesystem::path& folder, bool withSchema) : kind_(kind) {
    if (kind == ArchiveKind::Sqlite) {
        serverType_ = kSqliteServerType;
        server_ = (folder / "archive.sqlite").string();
        connectionString_ = BuildConnectionString(serverType_, server_);
        if (withSchema) {
            CreateSqliteArchive(server_);
        } else {
            // An empty file is an SQLite database without tables.
            std::filesystem::path file(server_);
            if (std::filesystem::exists(file)) throw std::runtime_error(server_ + " exists already");
            FILE* f = std::fopen(file.c_str(), "wb");
            if (!f) throw std::runtime_error("cannot create " + server_);
            std::fclose(f);
        }
        db_ = Open();
        return;
    }

    serverType_ = "PostgreSQL";
    server_ = RequirePostgresServer();
    connectionString_ = BuildConnectionString(serverType_, server_);
    savedOptions_ = GetEnv(kPgOptions);
    if (savedOptions_ && savedOptions_->find(std::string("search_path=") + kSchemaPrefix) != std::string::npos)
        throw std::runtime_error("only one PostgreSQL TestArchive per process at a time");
    schema_ = RandomSchemaName();
    Open()->Execute("CREATE SCHEMA " + schema_);
    std::string options = (savedOptions_ ? *savedOptions_ + " " : std::string()) + "-c search_path=" + schema_;
    ::setenv(kPgOptions, options.c_str(), 1);
    try {
        db_ = Open();
        if (withSchema) CreateArchiveSchema(*db_, SchemaDialect::Postgres);
    } catch (...) {
        db_.reset();
        if (savedOptions_) ::setenv(kPgOptions, savedOptions_->c_str(), 1);
        else ::unsetenv(kPgOptions);
        try {
            Open()->Execute("DROP SCHEMA " + schema_ + " CASCADE");
        } catch (...) {
        }
        throw;
    }
}

TestArchive::~TestArchive() {
    db_.reset();
    if (kind_ != ArchiveKind::Postgres) return;
    if (savedOptions_) ::setenv(kPgOptions, savedOptions_->c_str(), 1);
    else ::unsetenv(kPgOptions);
    try {
        Open()->Execute("DROP SCHEMA " + schema_ + " CASCADE");
    } catch (...) {
        // The cluster is thrown away after the run anyway.
    }
}

std::unique_ptr<Database> TestArchive::Open(int timeoutSeconds) const {
    return OpenDatabase(serverType_, server_, connectionString_, timeoutSeconds);
}

void TestArchive::AddArchive(int archiveId, SqlParam archiveUNC, SqlParam archivePath) {
    db_->Execute("INSERT INTO tblArchives (ArchiveID, ArchiveUNC, ArchivePath) VALUES (" +
                     std::to_string(archiveId) + ", ?, ?)",
                 {std::move(archiveUNC), std::move(archivePath)});
}

void TestArchive::AddStudy(int studyId, SqlParam studyUID, SqlParam studyDirectory1, SqlParam studyDirectory2,
                           std::optional<int> archiveId) {
    db_->Execute("INSERT INTO tblStudies (StudyID, StudyUID, StudyDirectory1, StudyDirectory2, ArchiveID) VALUES (" +
                     std::to_string(studyId) + ", ?, ?, ?, " +
                     (archiveId ? std::to_string(*archiveId) : std::string("NULL")) + ")",
                 {std::move(studyUID), std::move(studyDirectory1), std::move(studyDirectory2)});
}

SqlParam TestArchive::StudyDirectory2(int studyId) {
    auto rows = db_->Query("SELECT StudyDirectory2 FROM tblStudies WHERE StudyID = " + std::to_string(studyId));
    if (!rows->Next()) throw std::runtime_error("no study " + std::to_string(studyId));
    return rows->Field("StudyDirectory2");
}

}  // namespace velunor::test
