// Choosing the implementation, and the helpers both implementations share.
#include <algorithm>
#include <cctype>

#include "app/error.hpp"
#include "bookkeeping/database.hpp"
#include "bookkeeping/database_internal.hpp"

namespace velunor {

namespace detail {

namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// One "key=value" pair of a connection string with the position of its value.
struct Attribute {
    std::string key;
    std::string value;          // braces removed, "}}" unescaped
    std::size_t valueBegin = 0; // raw value, braces included
    std::size_t valueEnd = 0;
};

// Splits a connection string into its attributes. A value in braces may hold
// ";" and "=", and "}}" for a "}". An unterminated brace runs to the end.
std::vector<Attribute> ParseAttributes(std::string_view cs) {
    std::vector<Attribute> out;
    std::size_t i = 0;
    while (i < cs.size()) {
        std::size_t eq = cs.find('=', i);
        std::size_t semi = cs.find(';', i);
        if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
            // A piece without "=": skip it.
            if (semi == std::string_view::npos) break;
            i = semi + 1;
            continue;
        }
        Attribute a;
        a.key = std::string(Trim(cs.substr(i, eq - i)));
        std::size_t v = eq + 1;
        while (v < cs.size() && cs[v] == ' ') ++v;
        a.valueBegin = v;
        if (v < cs.size() && cs[v] == '{') {
            std::size_t j = v + 1;
            while (j < cs.size()) {
                if (cs[j] == '}') {
                    if (j + 1 < cs.size() && cs[j + 1] == '}') {
                        a.value += '}';
                        j += 2;
                        continue;
                    }
                    break;
                }
                a.value += cs[j];
                ++j;
            }
            a.valueEnd = std::min(j + 1, cs.size());
            std::size_t next = cs.find(';', a.valueEnd);
            i = next == std::string_view::npos ? cs.size() : next + 1;
        } else {
            std::size_t end = cs.find(';', v);
            if (end == std::string_view::npos) end = cs.size();
            a.value = std::string(Trim(cs.substr(v, end - v)));
            a.valueEnd = end;
            i = end + 1;
        }
        out.push_back(std::move(a));
    }
    return out;
}

bool IsPasswordKey(std::string_view key) { return SameName(key, "pwd") || SameName(key, "password"); }

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

std::optional<std::string> ConnectionAttribute(std::string_view connectionString, std::string_view key) {
    for (const auto& a : ParseAttributes(connectionString))
        if (SameName(a.key, key)) return a.value;
    return std::nullopt;
}

std::string ScrubPassword(std::string text, std::string_view connectionString) {
    for (const auto& a : ParseAttributes(connectionString)) {
        if (!IsPasswordKey(a.key) || a.value.empty()) continue;
        for (std::size_t pos = text.find(a.value); pos != std::string::npos;
             pos = text.find(a.value, pos + 3))
            text.replace(pos, a.value.size(), "***");
    }
    return text;
}

std::optional<std::string> RowBuffer::Get(const std::string& name) const {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!SameName(names[i], name)) continue;
        if (!onRow) throw Error(0, "field " + name + " read without a current row");
        return values[i];
    }
    throw Error(0, "unknown field " + name);
}

std::string WithStatement(const std::string& what, const std::string& sql) {
    constexpr std::size_t kShown = 400;
    std::string shown = sql.size() > kShown ? sql.substr(0, kShown) + "..." : sql;
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    std::replace(shown.begin(), shown.end(), '\r', ' ');
    return what + " (statement: " + shown + ")";
}

}  // namespace detail

std::unique_ptr<Database> OpenDatabase(const std::string& serverType, const std::string& server,
                                       const std::string& connectionString, int timeoutSeconds) {
    if (timeoutSeconds < 0) throw Error(0, "negative database timeout");
    std::string_view type = detail::Trim(serverType);
    if (type.empty())
        throw Error(0, "no database driver configured (ServerType is empty)");
    if (detail::SameName(type, kSqliteServerType)) return detail::OpenSqliteDatabase(server, timeoutSeconds);
    // "driver={}" would make the driver manager take the first registered driver.
    auto driver = detail::ConnectionAttribute(connectionString, "driver");
    if (driver && detail::Trim(*driver).empty())
        throw Error(0, "no database driver in the connection string (server " +
                           detail::ConnectionAttribute(connectionString, "server").value_or("?") + ")");
    return detail::OpenOdbcDatabase(connectionString, timeoutSeconds);
}

}  // namespace velunor
