#include "app/logging.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include <QDateTime>
#include <QLocale>
#include <QUuid>
#include <system_error>

#include "app/settings.hpp"
#include "app/run_events.hpp"

namespace velunor {

namespace {

// Opens `path` for appending (or truncating), writes `line` + CR LF, closes.
// Refuses to follow a symbolic link at the path. Returns false on any failure.
bool WriteLine(const std::filesystem::path& path, const std::string& line, bool truncate) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (truncate ? O_TRUNC : O_APPEND);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) return false;
    std::string data = line + "\r\n";
    std::size_t done = 0;
    bool ok = true;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) { ok = false; break; }
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && ok;
}

void EnsureLogsDir(const LogSink& sink) {
    std::error_code ec;
    std::filesystem::create_directory(sink.logsDir, ec);
}

std::string Stamp(const LogSink& sink) {
    try {
        return sink.timestamp ? sink.timestamp() : std::string();
    } catch (...) {
        return {};
    }
}

// The length of the valid UTF-8 sequence of two or more bytes starting at
// `at`, 0 when the bytes there are no such sequence (a stray continuation
// byte, an overlong form, a surrogate, a value above U+10FFFF, a cut-off
// sequence).
std::size_t Utf8SequenceAt(std::string_view s, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;   // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead == 0xE0) length = 3, low = 0xA0;
    else if (lead >= 0xE1 && lead <= 0xEC) length = 3;
    else if (lead == 0xED) length = 3, high = 0x9F;
    else if (lead >= 0xEE && lead <= 0xEF) length = 3;
    else if (lead == 0xF0) length = 4, low = 0x90;
    else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
    else if (lead == 0xF4) length = 4, high = 0x8F;
    else return 0;
    if (s.size() - at < length) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if ((byte(at + k) & 0xC0) != 0x80) return 0;
    return length;
}

void AppendHex(std::string& out, unsigned char c) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
}

}  // namespace

std::string OneLogLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '\r') out += "\\r";
            else if (c == '\n') out += "\\n";
            else if (c == '\t') out += "\\t";
            else if (c < 0x20 || c == 0x7F) AppendHex(out, c);
            else out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t length = Utf8SequenceAt(text, i);
        if (length == 0) {
            AppendHex(out, c);
            ++i;
            continue;
        }
        const auto second = static_cast<unsigned char>(text[i + 1]);
        const bool c1Control = c == 0xC2 && second <= 0x9F;
        const bool separator = c == 0xE2 && second == 0x80 && length == 3 &&
                               (text[i + 2] == '\xA8' || text[i + 2] == '\xA9');
        for (std::size_t k = 0; k < length; ++k) {
            if (c1Control || separator) AppendHex(out, static_cast<unsigned char>(text[i + k]));
            else out += text[i + k];
        }
        i += length;
    }
    return out;
}

namespace {

// Writes one log line: `line` made one line, then CR LF.
bool WriteLogLine(const std::filesystem::path& path, const std::string& line, bool truncate) {
    return WriteLine(path, OneLogLine(line), truncate);
}

}  // namespace

bool AppendLogLine(const LogSink& sink, const std::string& fileName, const std::string& text) {
    EnsureLogsDir(sink);
    return WriteLogLine(sink.logsDir / fileName, text, false);
}

std::string LogSink::LocalTimestamp() {
    QDateTime now = QDateTime::currentDateTime();
    QLocale locale = QLocale::system();
    QString date = locale.toString(now.date(), QLocale::ShortFormat);
    if (now.time().hour() == 0 && now.time().minute() == 0 && now.time().second() == 0)
        return date.toStdString();
    return (date + " " + locale.toString(now.time(), QLocale::LongFormat)).toStdString();
}

std::string LogSink::NewLogToken() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

std::string FormatLogNumber(std::int32_t n) {
    return (n >= 0 ? " " : "") + std::to_string(n) + " ";
}

void WriteReadyMarker(const LogSink& sink) {
    try {
        WriteLogLine(sink.markerPath, Stamp(sink), true);
    } catch (...) {
    }
}

void LogError(const LogSink& sink, const Settings& settings, RunEvents& events, std::int32_t number,
              std::string& message, const std::string& label, std::int32_t imageId, bool silent) {
    try {
        EnsureLogsDir(sink);
        if (imageId != 0) message = "ImageID: " + std::to_string(imageId) + " " + message;
        WriteLogLine(sink.logsDir / "Error.log", Stamp(sink) + FormatLogNumber(number) + message + label, false);
    } catch (...) {
    }
    WriteReadyMarker(sink);
    if (silent) return;
    try {
        if (settings.Archive == 0)
            events.Ask({"[Error #" + std::to_string(number) + "] " + message, Icon::Critical, Buttons::Ok});
    } catch (...) {
    }
    WriteReadyMarker(sink);
}

void FileLog(const LogSink& sink, const std::string& text) {
    try {
        EnsureLogsDir(sink);
        auto log = sink.logsDir / "FileLog.log";
        std::error_code ec;
        auto size = std::filesystem::file_size(log, ec);
        if (!ec && size > sink.rotateAbove) {
            std::string token;
            try {
                token = sink.newToken ? sink.newToken() : std::string();
            } catch (...) {
            }
            auto target = sink.logsDir / (token + ".log");
            // Never replace an earlier rotated log: a clash leaves FileLog.log in place.
            ::renameat2(AT_FDCWD, log.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        }
        WriteLogLine(log, Stamp(sink) + text, false);
    } catch (...) {
    }
}

void DebugLog(const LogSink& sink, const std::string& first, const std::string& second) {
    try {
        EnsureLogsDir(sink);
        WriteLogLine(sink.logsDir / "Debug.log", Stamp(sink) + first + second, false);
    } catch (...) {
    }
}

}  // namespace velunor
