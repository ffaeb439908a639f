#include "app/settings.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

#include "app/error.hpp"
#include "app/files.hpp"

namespace velunor {

namespace {

std::string Trim(const std::string& s) {
    auto isBlank = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && isBlank(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The file split into lines (LF or CR LF endings); the last line may lack its
// ending. A NUL byte ends the line's text, as it ends a C string.
std::vector<std::string> ReadLines(const std::filesystem::path& file, bool& found) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    found = static_cast<bool>(in);
    if (!found) return lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

// "[name]" with blanks around; returns the name or nullopt.
std::optional<std::string> SectionName(const std::string& line) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    auto close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

bool IsComment(const std::string& line) {
    std::string t = Trim(line);
    return !t.empty() && (t[0] == ';' || t[0] == '#');
}

// Splits "key = value"; false when the line holds no "=".
bool SplitKeyValue(const std::string& line, std::string& key, std::string& value) {
    auto eq = line.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    return true;
}

// Cuts to at most `maxChars` UTF-8 characters without splitting a sequence.
// A byte that does not start a valid sequence counts as one character.
std::string CutChars(const std::string& s, std::size_t maxChars) {
    std::size_t i = 0, chars = 0;
    while (i < s.size() && chars < maxChars) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        if (i + len > s.size()) len = 1;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) { len = 1; break; }
        i += len;
        ++chars;
    }
    return s.substr(0, i);
}

}  // namespace

std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& defaultValue,
                         const std::filesystem::path& file, std::int16_t size) {
    std::size_t maxChars = size > 0 ? static_cast<std::size_t>(size - 1) : 0;
    std::string result = defaultValue;
    try {
        bool found = false;
        auto lines = ReadLines(file, found);
        bool inSection = false, sectionSeen = false;
        for (const auto& raw : lines) {
            std::string line = raw.substr(0, raw.find('\0'));
            if (auto name = SectionName(line)) {
                // Only the first section of that name counts.
                if (inSection) break;
                inSection = !sectionSeen && EqualNoCase(*name, section);
                sectionSeen = sectionSeen || inSection;
                continue;
            }
            if (!inSection || IsComment(line)) continue;
            std::string k, v;
            if (SplitKeyValue(line, k, v) && EqualNoCase(k, key)) {
                // A value in matching quotes loses them, as with the profile functions.
                if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
                    v = v.substr(1, v.size() - 2);
                result = v;
                break;
            }
        }
    } catch (...) {
        result = defaultValue;
    }
    return CutChars(result, maxChars);
}

void WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                   const std::filesystem::path& file) {
    // A line break would split the line (and could add keys or sections of
    // its own); a NUL byte ends the value for every reader. Neither is
    // written, rather than silently damaging the file.
    const std::string breaking("\r\n\0", 3);
    auto refuse = [&](const std::string& what, const std::string& text) {
        if (text.find_first_of(breaking) != std::string::npos)
            throw Error(0, "cannot write " + key + " into " + file.string() + ": its " + what +
                               " holds a line break or a NUL byte");
    };
    refuse("section name", section);
    refuse("name", key);
    refuse("value", value);
    if (key.empty() || key.find('=') != std::string::npos || Trim(key) != key)
        throw Error(0, "cannot write the key \"" + key + "\" into " + file.string() + ": not a key name");
    bool found = false;
    std::vector<std::string> lines;
    {
        std::error_code ec;
        if (std::filesystem::exists(file, ec)) {
            lines = ReadLines(file, found);
            if (!found) throw Error(-1, "cannot read " + file.string());
        }
    }
    const std::string entry = key + "=" + value;
    // Locate the first section of that name and the key inside it.
    std::optional<std::size_t> sectionAt, keyAt;
    std::size_t sectionEnd = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (auto name = SectionName(lines[i])) {
            if (sectionAt) { sectionEnd = i; break; }
            if (EqualNoCase(*name, section)) sectionAt = i;
            continue;
        }
        if (!sectionAt || IsComment(lines[i])) continue;
        std::string k, v;
        if (!keyAt && SplitKeyValue(lines[i], k, v) && EqualNoCase(k, key)) keyAt = i;
    }
    if (keyAt) {
        lines[*keyAt] = entry;
    } else if (sectionAt) {
        // After the section's last non-blank line.
        std::size_t at = sectionEnd;
        while (at > *sectionAt + 1 && Trim(lines[at - 1]).empty()) --at;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
    } else {
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
    }

    std::string content;
    for (const auto& l : lines) content += l + "\r\n";

    // Never a half-written configuration, whatever happens while writing.
    ReplaceFileAtomically(file, content);
}

StagingTree::StagingTree(std::string tempPath) : root(std::move(tempPath)) {
    if (root.empty() || root.back() != '/') root += '/';
    dvd = root + "DVD/";
    dvd1 = root + "DVD/1/";
    dvd2 = root + "DVD/2/";
    dvdTemp = root + "DVDTemp/";
    unzip = root + "Unzip/";
    dicomdir = root + "DVD/Dicomdir";
}

void EmptyStaging(const StagingTree& t) noexcept {
    for (const auto* folder : {&t.dvd, &t.dvd1, &t.dvd2, &t.unzip, &t.dvdTemp}) {
        try {
            EmptyFolder(folder->string());
        } catch (...) {
        }
    }
}

std::optional<MediaProfile> ParseMediaProfile(const std::string& value) {
    const std::string t = Trim(value);
    if (t.empty() || EqualNoCase(t, MediaProfileName(MediaProfile::Archive))) return MediaProfile::Archive;
    if (EqualNoCase(t, MediaProfileName(MediaProfile::GeneralPurpose))) return MediaProfile::GeneralPurpose;
    return std::nullopt;
}

const char* MediaProfileName(MediaProfile profile) {
    return profile == MediaProfile::GeneralPurpose ? "general-purpose" : "archive";
}

std::optional<std::int16_t> ParseInt16(const std::string& text) {
    std::string t = Trim(text);
    if (t.empty()) return std::nullopt;
    const char* b = t.data();
    const char* e = t.data() + t.size();
    if (*b == '+') ++b;
    int value = 0;
    auto [ptr, ec] = std::from_chars(b, e, value);
    if (ec != std::errc() || ptr != e || value < -32768 || value > 32767) return std::nullopt;
    return static_cast<std::int16_t>(value);
}

namespace {

// A connection-string value as ODBC reads it back unchanged.
std::string OdbcValue(const std::string& v) {
    const bool plain =
        v.find_first_of(";{}") == std::string::npos && (v.empty() || (v.front() != ' ' && v.back() != ' '));
    if (plain) return v;
    std::string out = "{";
    for (char c : v) {
        out += c;
        if (c == '}') out += '}';
    }
    return out + "}";
}

std::string OctalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

std::string BuildConnectionString(const std::string& serverType, const std::string& server,
                                  const Credentials& account) {
    return "driver={" + serverType + "};" + "server=" + server + ";uid=" + OdbcValue(account.uid) +
           ";pwd=" + OdbcValue(account.pwd) + ";database=" + OdbcValue(account.database);
}

Credentials ReadCredentials(const std::filesystem::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) {
        if (errno == ENOENT) return {};
        throw ErrnoError(errno, file.string() + " cannot be read");
    }
    if (!S_ISREG(st.st_mode)) throw Error(0, file.string() + " is not a regular file");
    if (st.st_uid != ::geteuid())
        throw Error(0, file.string() + " belongs to user " + std::to_string(st.st_uid) + ", not to user " +
                           std::to_string(::geteuid()) + ", who runs Velunor");
    if ((st.st_mode & 077) != 0)
        throw Error(0, file.string() + " can be read or written by others (mode " + OctalMode(st.st_mode) +
                           "); allow its owner alone (chmod 600)");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ErrnoError(errno, file.string() + " cannot be read");
    Credentials c;
    const std::map<std::string, std::string*> keys{{"uid", &c.uid}, {"pwd", &c.pwd}, {"database", &c.database}};
    std::set<std::string> seen;
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        const auto eq = line.find('=');
        const auto key = eq == std::string::npos ? std::string() : line.substr(0, eq);
        const auto it = keys.find(key);
        // The line itself is never quoted: it may hold the password.
        if (it == keys.end() || !seen.insert(key).second)
            throw Error(0, file.string() + ", line " + std::to_string(lineNo) +
                               ": expected each of uid=, pwd= and database= once");
        *it->second = line.substr(eq + 1);
    }
    if (seen.size() != keys.size())
        throw Error(0, file.string() + " must hold the three lines uid=, pwd= and database=");
    return c;
}

std::string EncodeLineBreaks(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += ';';
            ++i;
        } else if (text[i] == '\n' || text[i] == '\r') {
            out += ';';
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string DecodeLineBreaks(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == ';') out += "\r\n";
        else out += c;
    }
    return out;
}

void LoadConfiguration(Settings& s, const std::filesystem::path& programDir) {
    try {
        s.IniFilePath = programDir / "velunor.ini";
        auto text = [&](const char* key) { return ReadIniValue("CONFIG", key, "", s.IniFilePath, 256); };
        auto number = [&](const char* key, const char* def, std::int16_t& target) {
            if (auto v = ParseInt16(ReadIniValue("CONFIG", key, def, s.IniFilePath, 256))) target = *v;
        };
        s.Server = text("Server");
        s.ServerType = text("ServerType");
        s.TempPath = text("TempPath");
        s.MSGDVDInsert = text("MSGDVDInsert");
        s.MSGDVDName = text("MSGDVDName");
        number("DVDSpeed", "", s.DVDSpeed);
        number("Archive", "0", s.Archive);
        number("ASAPI", "0", s.ASAPI);
        number("AuthBurn", "0", s.AuthBurn);
        s.ImageFolder = text("ImageFolder");
        s.LabelFolder = text("LabelFolder");
        s.ProfileText = text("MediaProfile");
        const auto profile = ParseMediaProfile(s.ProfileText);
        s.Profile = profile.value_or(MediaProfile::Archive);
        s.ProfileProblem = profile ? "" : s.IniFilePath.string() + ": MediaProfile=" + s.ProfileText +
                                               " names no media profile (archive or general-purpose); no disc is "
                                               "written until it names one";

        s.MSGDVDInsert = DecodeLineBreaks(s.MSGDVDInsert);
        s.MSGDVDName = DecodeLineBreaks(s.MSGDVDName);
        if (s.TempPath.empty() || s.TempPath.back() != '/') s.TempPath += '/';

        // One level per folder, in order: a missing parent is not created.
        std::error_code ec;
        std::filesystem::path root(s.TempPath);
        std::filesystem::create_directory(root, ec);
        for (const char* sub : kStagingFolders) std::filesystem::create_directory(root / sub, ec);

        const std::filesystem::path credentials = programDir / "velunor.credentials";
        try {
            s.ConnectionString = BuildConnectionString(s.ServerType, s.Server, ReadCredentials(credentials));
            s.CredentialsProblem.clear();
        } catch (const std::exception& e) {
            // No connection string with another account: a run refuses to start.
            s.ConnectionString.clear();
            s.CredentialsProblem = e.what();
        }
    } catch (...) {
        // Configuration loading never reports: what could not be read keeps its value.
    }
}

}  // namespace velunor
