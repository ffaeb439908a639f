// Archive databases for tests: SQLite, or PostgreSQL on the server that
// scripts/with-postgres.sh starts. Tests that need PostgreSQL carry
// "Postgres" in their name (`ctest -E Postgres` runs the rest); without the
// server they fail, never skip.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "bookkeeping/database.hpp"

namespace velunor::test {

enum class ArchiveKind { Sqlite, Postgres };

// "Sqlite" or "Postgres", for test names.
std::string KindName(ArchiveKind kind);
// Lets GoogleTest print the kind by name (parameterised test lists).
void PrintTo(ArchiveKind kind, std::ostream* os);

// The `Server` value that reaches the PostgreSQL test server ("127.0.0.1").
// Throws std::runtime_error, saying how to start it, when the tests run
// without it.
std::string RequirePostgresServer();

// A fresh archive database for one test, with a connection kept open: the
// file archive.sqlite in `folder`, or a schema of its own in "ARCDB2" that
// every connection of this process lands in while the object lives
// (PGOPTIONS sets its search_path), dropped when it goes. One per process.
class TestArchive {
public:
    // `withSchema` false leaves the database without tables.
    TestArchive(ArchiveKind kind, const std::filesystem::path& folder, bool withSchema = true);
    ~TestArchive();
    TestArchive(const TestArchive&) = delete;
    TestArchive& operator=(const TestArchive&) = delete;

    ArchiveKind kind() const { return kind_; }
    // The settings that reach this database: ServerType, Server and the
    // connection string as the settings build it.
    const std::string& serverType() const { return serverType_; }
    const std::string& server() const { return server_; }
    const std::string& connectionString() const { return connectionString_; }

    // A new connection to the database.
    std::unique_ptr<Database> Open(int timeoutSeconds = kCommandTimeoutSeconds) const;
    // The connection kept open by this object.
    Database& db() { return *db_; }

    void AddArchive(int archiveId, SqlParam archiveUNC, SqlParam archivePath);
    void AddStudy(int studyId, SqlParam studyUID, SqlParam studyDirectory1, SqlParam studyDirectory2,
                  std::optional<int> archiveId);
    // The StudyDirectory2 of a study; throws std::runtime_error when there
    // is no such study.
    SqlParam StudyDirectory2(int studyId);

private:
    ArchiveKind kind_;
    std::string serverType_;
    std::string server_;
    std::string connectionString_;
    std::string schema_;                       // PostgreSQL only
    std::optional<std::string> savedOptions_;  // PGOPTIONS before this object
    std::unique_ptr<Database> db_;
};

}  // namespace velunor::test
