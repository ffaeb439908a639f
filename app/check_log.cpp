#include "app/check_log.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "app/error.hpp"

namespace velunor {

namespace {

// Reads a whole number of exactly `digits` digits at `at`, advancing it.
bool Digits(std::string_view s, std::size_t& at, int digits, int& value) {
    value = 0;
    for (int i = 0; i < digits; ++i, ++at) {
        if (at >= s.size() || s[at] < '0' || s[at] > '9') return false;
        value = value * 10 + (s[at] - '0');
    }
    return true;
}

bool Literal(std::string_view s, std::size_t& at, std::string_view text) {
    if (s.substr(at, text.size()) != text) return false;
    at += text.size();
    return true;
}

// "2025-01-05T02:00:13+01:00" at the start of `s`.
std::optional<std::chrono::system_clock::time_point> ParseLocalTime(std::string_view s, std::size_t& at) {
    int year, month, day, hour, minute, second, offH, offM;
    if (!Digits(s, at, 4, year) || !Literal(s, at, "-") || !Digits(s, at, 2, month) || !Literal(s, at, "-") ||
        !Digits(s, at, 2, day) || !Literal(s, at, "T") || !Digits(s, at, 2, hour) || !Literal(s, at, ":") ||
        !Digits(s, at, 2, minute) || !Literal(s, at, ":") || !Digits(s, at, 2, second) || at >= s.size())
        return std::nullopt;
    const char sign = s[at++];
    if ((sign != '+' && sign != '-') || !Digits(s, at, 2, offH) || !Literal(s, at, ":") || !Digits(s, at, 2, offM))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const std::time_t asUtc = ::timegm(&tm);
    const long offset = (offH * 3600L + offM * 60L) * (sign == '-' ? -1 : 1);
    return std::chrono::system_clock::from_time_t(asUtc - offset);
}

// A whole number followed by `unit` (" files"), at `at`.
bool Count(std::string_view s, std::size_t& at, std::string_view unit, std::uint64_t& value) {
    const std::size_t start = at;
    value = 0;
    while (at < s.size() && s[at] >= '0' && s[at] <= '9') {
        if (value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + static_cast<std::uint64_t>(s[at++] - '0');
    }
    return at > start && Literal(s, at, unit);
}

}  // namespace

bool DiscCheck::Good() const {
    return result == check_result::kWhole || result == check_result::kVerifiedAfterWriting ||
           result == check_result::kReadableNotCompared;
}

std::string FormatLocalTime(std::chrono::system_clock::time_point t) {
    const std::time_t when = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    ::localtime_r(&when, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const long magnitude = offset < 0 ? -offset : offset;
    char zone[48];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600, magnitude / 60 % 60);
    return std::string(text) + zone;
}

std::string FormatDiscCheck(const DiscCheck& c) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", c.seconds);
    return FormatLocalTime(c.time) + " " + c.label + ": " + std::to_string(c.files) + " files, " +
           std::to_string(c.bytes) + " bytes, " + seconds + " s, " + c.result;
}

std::optional<DiscCheck> ParseDiscCheck(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    DiscCheck c;
    std::size_t at = 0;
    const auto time = ParseLocalTime(line, at);
    if (!time || !Literal(line, at, " ")) return std::nullopt;
    c.time = *time;
    const std::size_t colon = line.find(": ", at);
    if (colon == std::string_view::npos || colon == at) return std::nullopt;
    c.label = std::string(line.substr(at, colon - at));
    at = colon + 2;
    if (!Count(line, at, " files, ", c.files) || !Count(line, at, " bytes, ", c.bytes)) return std::nullopt;
    const std::size_t unit = line.find(" s, ", at);
    if (unit == std::string_view::npos) return std::nullopt;
    const std::string seconds(line.substr(at, unit - at));
    char* end = nullptr;
    c.seconds = std::strtod(seconds.c_str(), &end);
    if (seconds.empty() || end != seconds.c_str() + seconds.size()) return std::nullopt;
    c.result = std::string(line.substr(unit + 4));
    return c;
}

bool AppendDiscCheck(const LogSink& sink, const DiscCheck& check) {
    return AppendLogLine(sink, kCheckLogName, FormatDiscCheck(check));
}

std::map<std::string, DiscCheck> LastDiscChecks(const std::filesystem::path& logsDir) {
    std::map<std::string, DiscCheck> last;
    const std::filesystem::path file = logsDir / kCheckLogName;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return last;
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error(errno, "Cannot read " + file.string() + ": " + std::strerror(errno));
    std::string line;
    while (std::getline(in, line))
        if (auto c = ParseDiscCheck(line)) last[c->label] = std::move(*c);
    if (in.bad()) throw Error(EIO, "Cannot read " + file.string());
    return last;
}

}  // namespace velunor
