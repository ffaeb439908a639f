// The archive database as the collection phase and the database update see it.
//
// Two real implementations: unixODBC (ServerType names the ODBC driver,
// e.g. "PostgreSQL") and SQLite (ServerType "SQLite3", Server = path of an
// existing database file). Values that come from outside the program are
// bound as parameters ("?" in the statement text), never pasted into it.
// Every failure raises velunor::Error carrying the driver's native code and
// the text of every diagnostic record; never the password.
//
// A Database and the Recordsets it returns belong to one thread. A Recordset
// may outlive its Database; the connection closes when the last of them is
// gone.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velunor {

struct Settings;

using SqlParam = std::optional<std::string>;   // nullopt binds NULL

// The ServerType that opens Server as an SQLite database file (matched
// without regard to case).
inline constexpr const char* kSqliteServerType = "SQLite3";

// The command timeout every phase opens its connection with, in seconds.
inline constexpr int kCommandTimeoutSeconds = 300;

// A forward-only, read-only result.
class Recordset {
public:
    virtual ~Recordset() = default;
    // Moves to the next row; false after the last one (and on every call
    // after that). Throws velunor::Error when the driver fails to deliver
    // the row (a timeout included).
    virtual bool Next() = 0;
    // The field of the current row, looked up by name without regard to
    // case; nullopt for NULL, "" for an empty text. Numbers come as their
    // decimal text. An unknown name, or no current row (before the first
    // Next() or after the last), raises velunor::Error.
    virtual std::optional<std::string> Field(const std::string& name) const = 0;
};

class Database {
public:
    virtual ~Database() = default;
    // Runs one statement that reads (a SELECT) with `params` bound to its
    // "?" markers in order, and returns its rows. Throws velunor::Error when
    // the statement fails, when the number of values does not match the
    // markers, or when the statement yields no result set. SQLite refuses a
    // statement that would write.
    virtual std::unique_ptr<Recordset> Query(const std::string& sql,
                                             const std::vector<SqlParam>& params = {}) = 0;
    // Runs one statement without a result; returns the rows affected (an
    // UPDATE that matches no row returns 0 and is no error). Throws
    // velunor::Error when the statement fails or the number of values does
    // not match the markers; SQLite also refuses more than one statement.
    virtual long Execute(const std::string& sql, const std::vector<SqlParam>& params = {}) = 0;
};

// Opens a connection: "SQLite3" natively (the file must exist), anything
// else through ODBC with `connectionString`. `timeoutSeconds` applies to
// every statement (0 = none). An empty ServerType is an error.
// Throws velunor::Error:
//   - number 0 when ServerType (or the connection string's driver) is empty,
//   - SQLite: "database file not found: <path>" (number 14, SQLite's
//     CANTOPEN) for a missing file, SQLite's code for a file that is not a
//     database,
//   - ODBC: the driver's native code (-1 when it gives none) and the text
//     of every diagnostic record, with the connection string's password
//     replaced by "***".
// Guarantees: a missing SQLite file is never created; nothing of the
// password ever appears in an error text.
std::unique_ptr<Database> OpenDatabase(const std::string& serverType, const std::string& server,
                                       const std::string& connectionString, int timeoutSeconds);

// The archive schema (tables tblArchives and tblStudies, view View_Studies),
// as kept in bookkeeping/schema/.
enum class SchemaDialect { Sqlite, Postgres };

// The schema's statements for one database product, in the order they have
// to run, without their closing ";".
std::vector<std::string> ArchiveSchemaStatements(SchemaDialect dialect);

// Creates the archive schema on an open connection, statement by statement.
// Throws velunor::Error from the database (a table that exists already
// included); statements that ran before the failing one stay done.
void CreateArchiveSchema(Database& db, SchemaDialect dialect);

// Creates a new SQLite database file at `file` holding the empty archive
// schema. Throws velunor::Error when `file` exists already (it is never
// touched then) or cannot be created; a half-created file is removed.
void CreateSqliteArchive(const std::filesystem::path& file);

}  // namespace velunor
