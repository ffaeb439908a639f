// Archive databases for tests: a fresh SQLite file in a temporary folder, or
// a private schema on the PostgreSQL server that scripts/with-postgres.sh
// starts for the test run.
//
// Tests that need PostgreSQL carry "Postgres" in their name, so that
// `ctest -E Postgres` runs everything else without a server. Run without
// the server, they fail (they are never skipped).
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

// A fresh, empty archive database for one test, with a connection kept open
// for setting up rows and checking results.
//
// SQLite: the file archive.sqlite in `folder`, holding the archive schema.
// PostgreSQL: a schema of its own in "ARCDB2" holding the archive schema.
// While the object lives, every connection this process opens with the
// standard connection string lands in that schema (PGOPTIONS sets its
// search_path), so the code under test sees only this test's rows, and test
// processes running side by side do not meet. One such object per process
// at a time; the schema is dropped when it goes.
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
