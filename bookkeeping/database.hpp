// The archive database as the collection phase and the database update see it.
//
// Two real implementations: unixODBC (ServerType names the ODBC driver,
// e.g. "PostgreSQL") and SQLite (ServerType "SQLite3", Server = path of an
// existing database file). Values that come from outside the program are
// bound as parameters ("?" in the statement text), never pasted into it.
// Every failure raises velunor::Error carrying the driver's native code and
// the text of every diagnostic record; never the password.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velunor {

struct Settings;

using SqlParam = std::optional<std::string>;   // nullopt binds NULL

// A forward-only, read-only result.
class Recordset {
public:
    virtual ~Recordset() = default;
    // Moves to the next row; false after the last one.
    virtual bool Next() = 0;
    // The field of the current row, looked up by name without regard to
    // case; nullopt for NULL. An unknown name raises velunor::Error.
    virtual std::optional<std::string> Field(const std::string& name) const = 0;
};

class Database {
public:
    virtual ~Database() = default;
    virtual std::unique_ptr<Recordset> Query(const std::string& sql,
                                             const std::vector<SqlParam>& params = {}) = 0;
    // Runs a statement without a result; returns the rows affected (an
    // UPDATE that matches no row returns 0 and is no error).
    virtual long Execute(const std::string& sql, const std::vector<SqlParam>& params = {}) = 0;
};

// Opens a connection: "SQLite3" natively (the file must exist), anything
// else through ODBC with `connectionString`. `timeoutSeconds` applies to
// every statement. An empty ServerType is an error.
std::unique_ptr<Database> OpenDatabase(const std::string& serverType, const std::string& server,
                                       const std::string& connectionString, int timeoutSeconds);

}  // namespace velunor
