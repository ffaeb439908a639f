// The archive schema: its statements, and creating it on a connection or in a
// new SQLite file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app/error.hpp"
#include "bookkeeping/database.hpp"
#include "bookkeeping/database_internal.hpp"

namespace velunor {

namespace detail {

std::vector<std::string> SplitSqlScript(std::string_view script) {
    std::vector<std::string> out;
    std::string current;
    char quote = 0;  // the open quote character, 0 outside quotes
    auto flush = [&] {
        std::size_t b = current.find_first_not_of(" \t\r\n");
        std::size_t e = current.find_last_not_of(" \t\r\n");
        if (b != std::string::npos) out.push_back(current.substr(b, e - b + 1));
        current.clear();
    };
    for (std::size_t i = 0; i < script.size(); ++i) {
        char c = script[i];
        if (quote) {
            current += c;
            if (c == quote) quote = 0;  // a doubled quote closes and reopens: same text
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            current += c;
        } else if (c == '-' && i + 1 < script.size() && script[i + 1] == '-') {
            std::size_t eol = script.find('\n', i);
            if (eol == std::string_view::npos) break;
            i = eol;
            current += '\n';
        } else if (c == ';') {
            flush();
        } else {
            current += c;
        }
    }
    flush();
    return out;
}

}  // namespace detail

std::vector<std::string> ArchiveSchemaStatements(SchemaDialect dialect) {
    return detail::SplitSqlScript(dialect == SchemaDialect::Sqlite ? detail::kSchemaSqlite
                                                                   : detail::kSchemaPostgres);
}

void CreateArchiveSchema(Database& db, SchemaDialect dialect) {
    for (const auto& statement : ArchiveSchemaStatements(dialect)) db.Execute(statement);
}

void CreateSqliteArchive(const std::filesystem::path& file) {
    // An empty file is an empty SQLite database. Creating it exclusively
    // means an existing file (or one appearing in the meantime) is never
    // touched, and only a file made here is removed again on failure.
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        int err = errno;
        std::string why = err == EEXIST ? std::string("it exists already") : std::strerror(err);
        throw Error(err, "cannot create the archive database " + file.string() + ": " + why);
    }
    ::close(fd);
    try {
        auto db = OpenDatabase(kSqliteServerType, file.string(), "", kCommandTimeoutSeconds);
        db->Execute("BEGIN");
        CreateArchiveSchema(*db, SchemaDialect::Sqlite);
        db->Execute("COMMIT");
    } catch (...) {
        std::error_code ec;
        std::filesystem::remove(file, ec);
        throw;
    }
}

}  // namespace velunor
