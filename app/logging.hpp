// Logging: Logs/Error.log, Logs/FileLog.log (rotated), Logs/Debug.log and the
// marker file /var/tmp/Velunor.ready.
//
// Every line is a local timestamp followed by its fields without separators
// and ends in CR LF. Each line opens, appends to and closes its file. None of
// these functions throws or reports a failure of its own: a line that cannot
// be written is lost.
//
// A line is always one line: the texts written into it (file names, study
// values, messages of libraries) pass through OneLogLine, so a line break or
// another control character in a text cannot split a line or forge one.
// Message boxes show the original text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace velunor {

class RunEvents;
struct Settings;

// Where and how the loggers write. One per process, owned by the shell.
struct LogSink {
    std::filesystem::path logsDir;        // program directory + "/Logs"
    std::filesystem::path markerPath;     // "/var/tmp/" + caption + ".ready"
    std::function<std::string()> timestamp = [] { return LocalTimestamp(); };
    std::function<std::string()> newToken = [] { return NewLogToken(); };
    std::uintmax_t rotateAbove = 1000000;  // bytes

    // The system locale's short date, a blank, its long time; the date alone
    // at exactly midnight.
    static std::string LocalTimestamp();
    // A fresh unique text usable in a file name (a random UUID).
    static std::string NewLogToken();
};

inline std::string NewLogToken() { return LogSink::NewLogToken(); }

// `text` as a log line holds it: CR, LF and TAB become \r, \n and \t; every
// other C0 control character, DEL, the C1 controls U+0080..U+009F and the
// line and paragraph separators U+2028 and U+2029 become \xNN per byte;
// each byte that is not part of a valid UTF-8 sequence becomes \xNN; all
// other text, valid UTF-8 and backslashes included, stays as it is.
// Never throws (but std::bad_alloc).
std::string OneLogLine(std::string_view text);

// A number as the logs render it: its sign place (a blank, or "-"), the
// digits, a blank. 0 -> " 0 ", -1 -> "-1 ".
std::string FormatLogNumber(std::int32_t n);

// Appends "timestamp number message label" to Error.log, prefixes the
// message with "ImageID: <id> " when imageId is not 0 (the caller's message
// holds the extended text afterwards), rewrites the marker, and unless
// `silent` or settings.Archive is non-zero asks "[Error #n] message" as a
// critical message through `events`; then rewrites the marker again.
void LogError(const LogSink& sink, const Settings& settings, RunEvents& events,
              std::int32_t number, std::string& message, const std::string& label,
              std::int32_t imageId, bool silent);

// Appends "timestamp text" to FileLog.log, moving a file larger than
// `rotateAbove` bytes to Logs/<token>.log first.
void FileLog(const LogSink& sink, const std::string& text);

// Appends "timestamp first second" to Debug.log.
void DebugLog(const LogSink& sink, const std::string& first, const std::string& second);

// Appends `text` as one line (OneLogLine, then CR LF) to Logs/`fileName`,
// creating Logs/ when it is missing; never through a symbolic link. False
// when the line could not be written.
bool AppendLogLine(const LogSink& sink, const std::string& fileName, const std::string& text);

// Creates or truncates the marker with one line, the timestamp. Never
// follows a symbolic link at the marker's path.
void WriteReadyMarker(const LogSink& sink);

}  // namespace velunor
