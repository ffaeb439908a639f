// The record journal's file and format, and the atomic file replacement it
// shares with LastMediaNr.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <limits>
#include <system_error>

#include "app/error.hpp"
#include "app/files.hpp"
#include "bookkeeping/bookkeeping.hpp"

namespace velunor {

namespace {

constexpr const char* kJournalHeader = "Velunor record journal 1";

bool Printable(unsigned char c) { return c >= 0x21 && c <= 0x7E && c != '"' && c != '\\'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A decimal number that is all of `text` (an optional '-', then digits).
std::optional<std::int64_t> Number(std::string_view text) {
    if (text.empty() || text[0] == '+') return std::nullopt;
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

[[noreturn]] void Damaged(std::size_t line, const std::string& what) {
    throw Error(0, "line " + std::to_string(line) + ": " + what);
}

}  // namespace

std::string JournalEntry::Value() const {
    const std::string single = "DVD " + std::to_string(disc);
    if (folder == 1) return "DVD " + std::to_string(static_cast<std::int64_t>(disc) - 1) + "|" + single;
    return single;
}

std::string FormatRecordJournal(const std::vector<JournalEntry>& entries) {
    static const char* hex = "0123456789abcdef";
    std::string out = std::string(kJournalHeader) + "\n";
    std::optional<std::int32_t> disc;
    for (const auto& e : entries) {
        if (disc != e.disc) {
            out += "DVD " + std::to_string(e.disc) + "\n";
            disc = e.disc;
        }
        out += (e.folder == 1 ? "1 \"" : "2 \"");
        for (unsigned char c : e.studyUid) {
            if (Printable(c)) {
                out += static_cast<char>(c);
            } else {
                out += "\\x";
                out += hex[c >> 4];
                out += hex[c & 0x0F];
            }
        }
        out += "\"\n";
    }
    out += "end " + std::to_string(entries.size()) + "\n";
    return out;
}

std::vector<JournalEntry> ParseRecordJournal(const std::string& text) {
    std::vector<JournalEntry> entries;
    std::optional<std::int32_t> disc;
    bool ended = false;
    std::size_t lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        ++lineNo;
        std::size_t eol = text.find('\n', pos);
        std::string_view line(text.data() + pos, (eol == std::string::npos ? text.size() : eol) - pos);
        pos = eol == std::string::npos ? text.size() : eol + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        if (ended) Damaged(lineNo, "text after the end line");
        if (lineNo == 1) {
            if (line != kJournalHeader) Damaged(1, "not a record journal (the first line must be \"" +
                                                       std::string(kJournalHeader) + "\")");
            continue;
        }
        if (line.starts_with("DVD ")) {
            auto k = Number(line.substr(4));
            if (!k || *k <= std::numeric_limits<std::int32_t>::min() || *k > std::numeric_limits<std::int32_t>::max())
                Damaged(lineNo, "not a disc number");
            disc = static_cast<std::int32_t>(*k);
            continue;
        }
        if (line.starts_with("end ")) {
            auto n = Number(line.substr(4));
            if (!n || *n < 0 || static_cast<std::uint64_t>(*n) != entries.size())
                Damaged(lineNo, "the end line counts " + std::string(line.substr(4)) + " studies, the file holds " +
                                    std::to_string(entries.size()));
            ended = true;
            continue;
        }
        if (line.size() < 4 || (line[0] != '1' && line[0] != '2') || line[1] != ' ' || line[2] != '"' ||
            line.back() != '"')
            Damaged(lineNo, "expected a line DVD k, 1 \"uid\", 2 \"uid\" or end n");
        if (!disc) Damaged(lineNo, "a study before the first DVD line");
        JournalEntry e;
        e.disc = *disc;
        e.folder = line[0] - '0';
        const std::string_view quoted = line.substr(3, line.size() - 4);
        for (std::size_t i = 0; i < quoted.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(quoted[i]);
            if (Printable(c)) {
                e.studyUid += static_cast<char>(c);
                continue;
            }
            if (c != '\\') Damaged(lineNo, "the UID holds a byte that must be written as \\xHH");
            if (i + 3 >= quoted.size() || quoted[i + 1] != 'x')
                Damaged(lineNo, "a backslash that does not start a \\xHH escape");
            const int hi = HexValue(quoted[i + 2]);
            const int lo = HexValue(quoted[i + 3]);
            if (hi < 0 || lo < 0) Damaged(lineNo, "a \\x escape without two hex digits");
            e.studyUid += static_cast<char>(hi * 16 + lo);
            i += 3;
        }
        entries.push_back(std::move(e));
    }
    if (lineNo == 0) Damaged(1, "the file is empty");
    if (!ended) Damaged(lineNo, "the end line is missing (the file is incomplete)");
    return entries;
}

std::filesystem::path RecordJournalPath(const std::filesystem::path& programDir) {
    return programDir / kRecordJournalName;
}

std::optional<std::vector<JournalEntry>> ReadRecordJournal(const std::filesystem::path& programDir) {
    const auto file = RecordJournalPath(programDir);
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw ErrnoError(errno, "The record journal " + file.string() + " cannot be read");
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            throw ErrnoError(err, "The record journal " + file.string() + " cannot be read");
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    try {
        return ParseRecordJournal(text);
    } catch (const Error& e) {
        throw Error(0, "The record journal " + file.string() + " is damaged (" + e.what() + ")");
    }
}

void WriteRecordJournal(const std::filesystem::path& programDir, const std::vector<JournalEntry>& entries) {
    const auto file = RecordJournalPath(programDir);
    if (entries.empty()) {
        if (::unlink(file.c_str()) != 0 && errno != ENOENT)
            throw ErrnoError(errno, "The record journal " + file.string() + " cannot be removed");
        SyncFolder(programDir);
        return;
    }
    try {
        ReplaceFileAtomically(file, FormatRecordJournal(entries));
    } catch (const Error& e) {
        throw Error(e.number(), "The record journal " + file.string() + " cannot be written (" + e.what() + ")");
    }
}

}  // namespace velunor
