// Logs/Check.log: one line for every reading of a whole disc, by the
// verification after writing and by `velunor-cli check`:
//
//     2025-01-05T02:00:13+01:00 DVD 12: 1234 files, 4301234567 bytes, 412.3 s, whole
//
// the local time with its offset from UTC, the disc's label, the files and
// bytes read, the seconds it took, and the result. `velunor-cli find` and
// `report` take each disc's last check from it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "app/logging.hpp"

namespace velunor {

inline constexpr const char* kCheckLogName = "Check.log";

// The results a line may carry.
namespace check_result {
inline constexpr const char* kVerifiedAfterWriting = "verified after writing";
inline constexpr const char* kWhole = "whole";
// Read in full, but no file could be compared with a checksum.
inline constexpr const char* kReadableNotCompared = "readable, bytes not compared";
inline constexpr const char* kDamaged = "damaged";
inline constexpr const char* kMismatch = "does not match the database";
inline constexpr const char* kDamagedAndMismatch = "damaged, does not match the database";
inline constexpr const char* kUnreadable = "unreadable";
}  // namespace check_result

struct DiscCheck {
    std::chrono::system_clock::time_point time;
    std::string label;          // "DVD 12"
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;
    std::string result;

    // Whether this result leaves the disc in good order.
    bool Good() const;
};

// `t` as local time with its offset, to the second: "2025-01-05T02:00:13+01:00".
std::string FormatLocalTime(std::chrono::system_clock::time_point t);

// A check as its line holds it (without the line end), and back. Parsing
// gives nullopt for a line that is not of this form.
std::string FormatDiscCheck(const DiscCheck& check);
std::optional<DiscCheck> ParseDiscCheck(std::string_view line);

// Appends the line to Logs/Check.log of `sink`. False when it could not.
bool AppendDiscCheck(const LogSink& sink, const DiscCheck& check);

// The last line of every label in `logsDir`/Check.log (later lines win);
// lines that cannot be read are passed over. Empty when there is no file.
// Throws velunor::Error when the file exists but cannot be read.
std::map<std::string, DiscCheck> LastDiscChecks(const std::filesystem::path& logsDir);

}  // namespace velunor
