// Pieces shared by the two database implementations. Not part of the
// library's interface.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bookkeeping/database.hpp"

namespace velunor::detail {

// Opens `file` natively through libsqlite3 (see OpenDatabase).
std::unique_ptr<Database> OpenSqliteDatabase(const std::string& file, int timeoutSeconds);

// Opens `connectionString` through unixODBC (see OpenDatabase).
std::unique_ptr<Database> OpenOdbcDatabase(const std::string& connectionString, int timeoutSeconds);

// The value of `key` (matched without regard to case) in an ODBC connection
// string "k1=v1;k2={v;2}"; braces around a value are removed ("}}" inside
// braces stands for "}"). nullopt when the key is missing.
std::optional<std::string> ConnectionAttribute(std::string_view connectionString, std::string_view key);

// `text` with every occurrence of the connection string's password replaced
// by "***" (drivers may quote what they were given).
std::string ScrubPassword(std::string text, std::string_view connectionString);

// Case-insensitive comparison of ASCII names.
bool SameName(std::string_view a, std::string_view b);

// Column names and the current row of a recordset, for Field().
struct RowBuffer {
    std::vector<std::string> names;
    std::vector<std::optional<std::string>> values;
    bool onRow = false;

    // The value of the column `name`; throws velunor::Error (number 0) for
    // an unknown name or when there is no current row.
    std::optional<std::string> Get(const std::string& name) const;
};

// "<what> (statement: <sql>)": the statement a failure belongs to, cut to a
// readable length.
std::string WithStatement(const std::string& what, const std::string& sql);

}  // namespace velunor::detail

namespace velunor::detail {

// The texts of bookkeeping/schema/sqlite.sql and postgres.sql, built in.
extern const char* const kSchemaSqlite;
extern const char* const kSchemaPostgres;

// Splits an SQL script into its statements: "--" comments removed, split at
// every ";" outside quotes, blank statements dropped.
std::vector<std::string> SplitSqlScript(std::string_view script);

}  // namespace velunor::detail
