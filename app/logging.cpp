#include "app/logging.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include <QDateTime>
#include <QLocale>
#include <QUuid>
#include <system_error>

#include "app/settings.hpp"
#include "app/window_system.hpp"

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

}  // namespace

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
        WriteLine(sink.markerPath, Stamp(sink), true);
    } catch (...) {
    }
}

void LogError(const LogSink& sink, const Settings& settings, WindowSystem& window, std::int32_t number,
              std::string& message, const std::string& label, std::int32_t imageId, bool silent) {
    try {
        EnsureLogsDir(sink);
        if (imageId != 0) message = "ImageID: " + std::to_string(imageId) + " " + message;
        WriteLine(sink.logsDir / "Error.log", Stamp(sink) + FormatLogNumber(number) + message + label, false);
    } catch (...) {
    }
    WriteReadyMarker(sink);
    if (silent) return;
    try {
        if (settings.Archive == 0)
            window.MessageBox("[Error #" + std::to_string(number) + "] " + message, Icon::Critical);
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
        WriteLine(log, Stamp(sink) + text, false);
    } catch (...) {
    }
}

void DebugLog(const LogSink& sink, const std::string& first, const std::string& second) {
    try {
        EnsureLogsDir(sink);
        WriteLine(sink.logsDir / "Debug.log", Stamp(sink) + first + second, false);
    } catch (...) {
    }
}

}  // namespace velunor
