// The archive database through unixODBC, with the connection string as the
// settings build it (the driver is named by ServerType).
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "app/error.hpp"
#include "bookkeeping/database_internal.hpp"

namespace velunor::detail {

namespace {

bool Ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// The diagnostic records of a handle: native code and text.
struct Diagnostics {
    std::int32_t number = -1;  // the first non-zero native code; -1 when none
    std::string text;
};

Diagnostics ReadDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    Diagnostics d;
    // Drivers such as FreeTDS put the useful text in a later record: read
    // them all (a sane driver has a handful; the bound guards a broken one).
    for (SQLSMALLINT rec = 1; rec <= 64; ++rec) {
        SQLCHAR state[6] = {0};
        SQLINTEGER native = 0;
        std::vector<SQLCHAR> message(1024);
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRec(type, handle, rec, state, &native, message.data(),
                                     static_cast<SQLSMALLINT>(message.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
            message.resize(static_cast<std::size_t>(length) + 1);
            rc = SQLGetDiagRec(type, handle, rec, state, &native, message.data(),
                               static_cast<SQLSMALLINT>(message.size()), &length);
        }
        if (!Ok(rc)) break;
        std::string text(reinterpret_cast<const char*>(message.data()),
                         std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)),
                                               message.size() - 1));
        // One line per error: log lines and message boxes take it as it is.
        std::replace(text.begin(), text.end(), '\n', ' ');
        std::replace(text.begin(), text.end(), '\r', ' ');
        while (!text.empty() && text.back() == ' ') text.pop_back();
        if (!d.text.empty()) d.text += " | ";
        d.text += "[" + std::string(reinterpret_cast<const char*>(state)) + "] " + text;
        if (native != 0) d.text += " (native " + std::to_string(native) + ")";
        if (d.number == -1 && native != 0) d.number = native;
    }
    if (d.text.empty()) d.text = "the ODBC driver reported a failure without a diagnostic record";
    return d;
}

// The environment and the connection; shared by the Database and its
// Recordsets, disconnected and freed when the last one is gone.
struct OdbcConnection {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;
    int timeoutSeconds = 0;
    std::string connectionString;  // for scrubbing the password from driver texts

    OdbcConnection() = default;
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;
    ~OdbcConnection() {
        if (connected) SQLDisconnect(dbc);
        if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
    }

    // Raises the handle's diagnostics as velunor::Error: "<context>: <records>",
    // followed by the statement they belong to when there is one.
    [[noreturn]] void Fail(SQLSMALLINT type, SQLHANDLE handle, const std::string& context,
                           const std::string& sql = {}) const {
        Diagnostics d = ReadDiagnostics(type, handle);
        std::string text = context + ": " + d.text;
        if (!sql.empty()) text = WithStatement(text, sql);
        throw Error(d.number, ScrubPassword(text, connectionString));
    }
};

// A statement handle, freed on scope exit.
class Statement {
public:
    explicit Statement(const OdbcConnection& c) {
        if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, c.dbc, &h_)))
            c.Fail(SQL_HANDLE_DBC, c.dbc, "cannot allocate an ODBC statement");
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() {
        if (h_ != SQL_NULL_HSTMT) {
            SQLFreeStmt(h_, SQL_CLOSE);
            SQLFreeHandle(SQL_HANDLE_STMT, h_);
        }
    }
    SQLHSTMT get() const { return h_; }

private:
    SQLHSTMT h_ = SQL_NULL_HSTMT;
};

// Values bound to a statement's markers; must live until the statement has
// been executed.
struct BoundParams {
    std::vector<std::string> values;
    std::vector<SQLLEN> lengths;
};

// Prepares `sql` forward-only and read-only with the command timeout, binds
// `params` and executes it. Returns the SQLExecute code (SQL_NO_DATA for a
// command that touched no row).
SQLRETURN PrepareAndExecute(const OdbcConnection& c, const Statement& s, const std::string& sql,
                            const std::vector<SqlParam>& params) {
    SQLHSTMT h = s.get();
    auto fail = [&](const std::string& what) { c.Fail(SQL_HANDLE_STMT, h, what, sql); };

    if (!Ok(SQLSetStmtAttr(h, SQL_ATTR_QUERY_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(c.timeoutSeconds)), 0)))
        fail("cannot set the command timeout");
    if (!Ok(SQLSetStmtAttr(h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY), 0)))
        fail("cannot open the statement forward-only");
    if (!Ok(SQLSetStmtAttr(h, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_READ_ONLY), 0)))
        fail("cannot open the statement read-only");

    if (sql.size() > static_cast<std::size_t>(std::numeric_limits<SQLINTEGER>::max()))
        throw Error(0, "statement too long");
    std::vector<SQLCHAR> text(sql.begin(), sql.end());
    text.push_back(0);
    if (!Ok(SQLPrepare(h, text.data(), static_cast<SQLINTEGER>(sql.size())))) fail("the statement failed");

    SQLSMALLINT markers = 0;
    if (!Ok(SQLNumParams(h, &markers))) fail("cannot count the statement's parameters");
    if (markers != static_cast<SQLSMALLINT>(params.size()) ||
        params.size() > static_cast<std::size_t>(std::numeric_limits<SQLSMALLINT>::max()))
        throw Error(0, WithStatement("the statement has " + std::to_string(markers) + " parameter markers but " +
                                         std::to_string(params.size()) + " values were given",
                                     sql));

    BoundParams bound;
    bound.values.reserve(params.size());
    bound.lengths.reserve(params.size());
    for (const SqlParam& p : params) {
        bound.values.push_back(p.value_or(std::string()));
        bound.lengths.push_back(p ? static_cast<SQLLEN>(p->size()) : SQL_NULL_DATA);
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        std::string& v = bound.values[i];
        // The column size of a VARCHAR parameter must be at least 1.
        SQLULEN size = std::max<SQLULEN>(v.size(), 1);
        SQLRETURN rc = SQLBindParameter(h, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
                                        SQL_VARCHAR, size, 0, v.data(), static_cast<SQLLEN>(v.size()),
                                        &bound.lengths[i]);
        if (!Ok(rc)) fail("cannot bind parameter " + std::to_string(i + 1));
    }

    SQLRETURN rc = SQLExecute(h);
    if (!Ok(rc) && rc != SQL_NO_DATA) fail("the statement failed");
    return rc;
}

class OdbcRecordset : public Recordset {
public:
    OdbcRecordset(std::shared_ptr<OdbcConnection> c, std::unique_ptr<Statement> s, std::string sql,
                  SQLSMALLINT columns)
        : conn_(std::move(c)), stmt_(std::move(s)), sql_(std::move(sql)) {
        for (SQLSMALLINT col = 1; col <= columns; ++col) {
            std::vector<SQLCHAR> name(256);
            SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
            SQLULEN size = 0;
            SQLRETURN rc = SQLDescribeCol(stmt_->get(), col, name.data(), static_cast<SQLSMALLINT>(name.size()),
                                          &length, &type, &size, &digits, &nullable);
            if (Ok(rc) && length >= static_cast<SQLSMALLINT>(name.size())) {
                name.resize(static_cast<std::size_t>(length) + 1);
                rc = SQLDescribeCol(stmt_->get(), col, name.data(), static_cast<SQLSMALLINT>(name.size()), &length,
                                    &type, &size, &digits, &nullable);
            }
            if (!Ok(rc)) Fail("cannot describe column " + std::to_string(col));
            row_.names.emplace_back(reinterpret_cast<const char*>(name.data()),
                                    std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)),
                                                          name.size() - 1));
        }
        row_.values.resize(row_.names.size());
    }

    bool Next() override {
        if (done_) return false;
        row_.onRow = false;
        SQLRETURN rc = SQLFetch(stmt_->get());
        if (rc == SQL_NO_DATA) {
            done_ = true;
            return false;
        }
        if (!Ok(rc)) {
            done_ = true;
            Fail("cannot read the next row");
        }
        for (std::size_t i = 0; i < row_.names.size(); ++i) row_.values[i] = ReadColumn(static_cast<SQLUSMALLINT>(i + 1));
        row_.onRow = true;
        return true;
    }

    std::optional<std::string> Field(const std::string& name) const override { return row_.Get(name); }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        conn_->Fail(SQL_HANDLE_STMT, stmt_->get(), what, sql_);
    }

    // Reads one column of the current row as text, in pieces of any length.
    std::optional<std::string> ReadColumn(SQLUSMALLINT col) {
        std::string value;
        std::vector<char> buffer(8192);
        // Every round takes a full buffer or ends; the bound (64 GiB) only
        // guards against a driver that never ends.
        for (std::size_t round = 0; round < (std::size_t{1} << 23); ++round) {
            SQLLEN indicator = 0;
            SQLRETURN rc = SQLGetData(stmt_->get(), col, SQL_C_CHAR, buffer.data(),
                                      static_cast<SQLLEN>(buffer.size()), &indicator);
            if (rc == SQL_NO_DATA) return value;  // the last piece was read already
            if (!Ok(rc)) Fail("cannot read column " + std::to_string(col));
            if (indicator == SQL_NULL_DATA) return std::nullopt;
            std::size_t room = buffer.size() - 1;  // one byte for the NUL
            if (rc == SQL_SUCCESS_WITH_INFO && (indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>(room))) {
                value.append(buffer.data(), room);  // truncated: more follows
                continue;
            }
            std::size_t n = indicator < 0 ? std::strlen(buffer.data()) : static_cast<std::size_t>(indicator);
            value.append(buffer.data(), std::min(n, room));
            return value;
        }
        Fail("column " + std::to_string(col) + " does not end");
    }

    std::shared_ptr<OdbcConnection> conn_;  // declared first: outlives the statement
    std::unique_ptr<Statement> stmt_;
    std::string sql_;
    RowBuffer row_;
    bool done_ = false;
};

class OdbcDatabase : public Database {
public:
    explicit OdbcDatabase(std::shared_ptr<OdbcConnection> c) : conn_(std::move(c)) {}

    std::unique_ptr<Recordset> Query(const std::string& sql, const std::vector<SqlParam>& params) override {
        auto stmt = std::make_unique<Statement>(*conn_);
        PrepareAndExecute(*conn_, *stmt, sql, params);
        SQLSMALLINT columns = 0;
        if (!Ok(SQLNumResultCols(stmt->get(), &columns)))
            conn_->Fail(SQL_HANDLE_STMT, stmt->get(), "cannot count the result's columns", sql);
        if (columns <= 0) throw Error(0, WithStatement("the statement yields no result set", sql));
        return std::make_unique<OdbcRecordset>(conn_, std::move(stmt), sql, columns);
    }

    long Execute(const std::string& sql, const std::vector<SqlParam>& params) override {
        Statement stmt(*conn_);
        if (PrepareAndExecute(*conn_, stmt, sql, params) == SQL_NO_DATA) return 0;
        SQLLEN rows = 0;
        if (!Ok(SQLRowCount(stmt.get(), &rows)))
            conn_->Fail(SQL_HANDLE_STMT, stmt.get(), "cannot count the rows affected", sql);
        return rows < 0 ? 0 : static_cast<long>(rows);
    }

private:
    std::shared_ptr<OdbcConnection> conn_;
};

}  // namespace

std::unique_ptr<Database> OpenOdbcDatabase(const std::string& connectionString, int timeoutSeconds) {
    auto c = std::make_shared<OdbcConnection>();
    c->timeoutSeconds = timeoutSeconds;
    c->connectionString = connectionString;
    // Named by driver and server alone: the connection string holds the
    // account, which no message shows.
    const std::string where = "cannot connect to the database (driver " +
                              ConnectionAttribute(connectionString, "driver").value_or("?") + ", server " +
                              ConnectionAttribute(connectionString, "server").value_or("?") + ")";

    if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &c->env)))
        throw Error(-1, where + ": the ODBC driver manager cannot allocate an environment");
    if (!Ok(SQLSetEnvAttr(c->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)))
        c->Fail(SQL_HANDLE_ENV, c->env, where);
    if (!Ok(SQLAllocHandle(SQL_HANDLE_DBC, c->env, &c->dbc))) c->Fail(SQL_HANDLE_ENV, c->env, where);

    if (connectionString.size() > static_cast<std::size_t>(std::numeric_limits<SQLSMALLINT>::max()))
        throw Error(0, where + ": connection string too long");
    std::vector<SQLCHAR> text(connectionString.begin(), connectionString.end());
    text.push_back(0);
    SQLCHAR completed[1024];
    SQLSMALLINT completedLength = 0;
    SQLRETURN rc = SQLDriverConnect(c->dbc, nullptr, text.data(), static_cast<SQLSMALLINT>(connectionString.size()),
                                    completed, sizeof completed, &completedLength, SQL_DRIVER_NOPROMPT);
    if (!Ok(rc)) c->Fail(SQL_HANDLE_DBC, c->dbc, where);
    c->connected = true;
    return std::make_unique<OdbcDatabase>(c);
}

}  // namespace velunor::detail
