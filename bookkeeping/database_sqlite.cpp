// The archive database in an SQLite file, opened natively through libsqlite3.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "app/error.hpp"
#include "bookkeeping/database_internal.hpp"

namespace velunor::detail {

namespace {

using Clock = std::chrono::steady_clock;

// The open file and the deadline of the statement step in progress; shared
// by the Database and its Recordsets, closed when the last one is gone.
struct SqliteConnection {
    sqlite3* db = nullptr;
    int timeoutSeconds = 0;
    Clock::time_point deadline = Clock::time_point::max();

    SqliteConnection() = default;
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;
    ~SqliteConnection() {
        if (db) sqlite3_close_v2(db);
    }

    // Starts the clock for one step of a statement.
    void Arm() {
        deadline = timeoutSeconds > 0 ? Clock::now() + std::chrono::seconds(timeoutSeconds)
                                      : Clock::time_point::max();
    }
    bool Expired() const { return Clock::now() > deadline; }
};

struct StatementFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Called by SQLite every few thousand virtual-machine steps: a non-zero
// answer interrupts the statement.
int ProgressHandler(void* context) {
    return static_cast<SqliteConnection*>(context)->Expired() ? 1 : 0;
}

[[noreturn]] void Fail(const SqliteConnection& c, int rc, const std::string& sql) {
    int code = sqlite3_extended_errcode(c.db);
    if (code == SQLITE_OK) code = rc;
    std::string text = sqlite3_errmsg(c.db);
    if ((rc & 0xff) == SQLITE_INTERRUPT && c.Expired())
        text = "timeout expired after " + std::to_string(c.timeoutSeconds) + " seconds (" + text + ")";
    throw Error(code, WithStatement("SQLite: " + text, sql));
}

bool OnlyBlanksAndSemicolons(const char* tail) {
    for (; tail && *tail; ++tail)
        if (!std::strchr(" \t\r\n;", *tail)) return false;
    return true;
}

StatementPtr Prepare(SqliteConnection& c, const std::string& sql, const std::vector<SqlParam>& params) {
    if (sql.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw Error(0, "statement too long");
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    c.Arm();
    int rc = sqlite3_prepare_v2(c.db, sql.c_str(), static_cast<int>(sql.size()), &raw, &tail);
    StatementPtr stmt(raw);
    if (rc != SQLITE_OK) Fail(c, rc, sql);
    if (!stmt) throw Error(0, WithStatement("empty statement", sql));
    // Only the first statement of a text would run; refuse the rest rather
    // than silently ignore it.
    if (!OnlyBlanksAndSemicolons(tail)) throw Error(0, WithStatement("more than one statement", sql));
    int markers = sqlite3_bind_parameter_count(stmt.get());
    if (markers != static_cast<int>(params.size()))
        throw Error(0, WithStatement("the statement has " + std::to_string(markers) + " parameter markers but " +
                                         std::to_string(params.size()) + " values were given",
                                     sql));
    for (int i = 0; i < markers; ++i) {
        const SqlParam& p = params[static_cast<std::size_t>(i)];
        if (p && p->size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            throw Error(0, WithStatement("parameter value too long", sql));
        rc = p ? sqlite3_bind_text(stmt.get(), i + 1, p->data(), static_cast<int>(p->size()), SQLITE_TRANSIENT)
               : sqlite3_bind_null(stmt.get(), i + 1);
        if (rc != SQLITE_OK) Fail(c, rc, sql);
    }
    return stmt;
}

class SqliteRecordset : public Recordset {
public:
    SqliteRecordset(std::shared_ptr<SqliteConnection> c, StatementPtr stmt, std::string sql)
        : conn_(std::move(c)), stmt_(std::move(stmt)), sql_(std::move(sql)) {
        int n = sqlite3_column_count(stmt_.get());
        for (int i = 0; i < n; ++i) {
            const char* name = sqlite3_column_name(stmt_.get(), i);
            row_.names.emplace_back(name ? name : "");
        }
        row_.values.resize(row_.names.size());
    }

    bool Next() override {
        if (done_) return false;
        conn_->Arm();
        int rc = sqlite3_step(stmt_.get());
        if (rc == SQLITE_DONE) {
            done_ = true;
            row_.onRow = false;
            return false;
        }
        if (rc != SQLITE_ROW) {
            done_ = true;
            row_.onRow = false;
            Fail(*conn_, rc, sql_);
        }
        for (std::size_t i = 0; i < row_.names.size(); ++i) {
            int col = static_cast<int>(i);
            if (sqlite3_column_type(stmt_.get(), col) == SQLITE_NULL) {
                row_.values[i].reset();
                continue;
            }
            // Text first, then its length: that order keeps the pointer valid.
            const unsigned char* text = sqlite3_column_text(stmt_.get(), col);
            int bytes = sqlite3_column_bytes(stmt_.get(), col);
            if (!text && sqlite3_errcode(conn_->db) == SQLITE_NOMEM) Fail(*conn_, SQLITE_NOMEM, sql_);
            row_.values[i] = text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(bytes))
                                  : std::string();
        }
        row_.onRow = true;
        return true;
    }

    std::optional<std::string> Field(const std::string& name) const override { return row_.Get(name); }

private:
    std::shared_ptr<SqliteConnection> conn_;  // declared first: outlives the statement
    StatementPtr stmt_;
    std::string sql_;
    RowBuffer row_;
    bool done_ = false;
};

class SqliteDatabase : public Database {
public:
    explicit SqliteDatabase(std::shared_ptr<SqliteConnection> c) : conn_(std::move(c)) {}

    std::unique_ptr<Recordset> Query(const std::string& sql, const std::vector<SqlParam>& params) override {
        StatementPtr stmt = Prepare(*conn_, sql, params);
        if (!sqlite3_stmt_readonly(stmt.get()))
            throw Error(0, WithStatement("a query must only read; this statement writes", sql));
        if (sqlite3_column_count(stmt.get()) == 0)
            throw Error(0, WithStatement("the statement yields no result set", sql));
        return std::make_unique<SqliteRecordset>(conn_, std::move(stmt), sql);
    }

    long Execute(const std::string& sql, const std::vector<SqlParam>& params) override {
        StatementPtr stmt = Prepare(*conn_, sql, params);
        sqlite3_int64 before = sqlite3_total_changes64(conn_->db);
        // Rows a statement may return are read and dropped; the loop ends
        // with the statement (its length bounds the number of rows).
        for (;;) {
            conn_->Arm();
            int rc = sqlite3_step(stmt.get());
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) Fail(*conn_, rc, sql);
        }
        return static_cast<long>(sqlite3_total_changes64(conn_->db) - before);
    }

private:
    std::shared_ptr<SqliteConnection> conn_;
};

}  // namespace

std::unique_ptr<Database> OpenSqliteDatabase(const std::string& file, int timeoutSeconds) {
    if (file.empty()) throw Error(0, "no database file configured (Server is empty)");
    std::error_code ec;
    auto status = std::filesystem::status(file, ec);
    if (!std::filesystem::exists(status)) throw Error(SQLITE_CANTOPEN, "database file not found: " + file);
    if (std::filesystem::is_directory(status))
        throw Error(SQLITE_CANTOPEN, "database file is a folder: " + file);

    auto c = std::make_shared<SqliteConnection>();
    c->timeoutSeconds = timeoutSeconds;
    // Read-write, never created; the name is a plain path, not a URI.
    int rc = sqlite3_open_v2(file.c_str(), &c->db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        std::string text = c->db ? sqlite3_errmsg(c->db) : sqlite3_errstr(rc);
        throw Error(rc, "SQLite: " + text + ": " + file);
    }
    sqlite3_extended_result_codes(c->db, 1);
    sqlite3_progress_handler(c->db, 1000, &ProgressHandler, c.get());
    // Waiting for another writer's lock counts against the command timeout.
    long long busyMs = static_cast<long long>(timeoutSeconds) * 1000;
    sqlite3_busy_timeout(c->db, static_cast<int>(std::min<long long>(busyMs, std::numeric_limits<int>::max())));

    std::unique_ptr<Database> db = std::make_unique<SqliteDatabase>(c);
    try {
        // Reading the schema proves the file is a database; the references
        // between the archive tables are enforced.
        db->Query("PRAGMA schema_version")->Next();
        db->Execute("PRAGMA foreign_keys = ON");
    } catch (const Error& e) {
        throw Error(e.number(), std::string(e.what()) + ": " + file);
    }
    return db;
}

}  // namespace velunor::detail
