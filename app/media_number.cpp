#include "app/media_number.hpp"

#include <cerrno>
#include <charconv>
#include <fstream>
#include <string>

#include "app/error.hpp"
#include "app/files.hpp"

namespace fs = std::filesystem;

namespace velunor {

std::int32_t ReadLastMediaNr(const fs::path& programDir) {
    const fs::path file = programDir / "LastMediaNr";
    std::error_code sec;
    const auto status = fs::symlink_status(file, sec);
    if (fs::exists(status) && !fs::is_regular_file(fs::status(file, sec)))
        throw Error(0, file.string() + " is not a file; it must hold the number of the last disc written");
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        const int err = errno;
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(file, ec))) return 0;
        throw ErrnoError(err ? err : EIO, "Cannot read " + file.string());
    }
    std::string line;
    char c;
    while (in.get(c) && c != '\n' && c != '\r') line += c;
    if (in.bad()) throw ErrnoError(EIO, "Cannot read " + file.string());
    if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (line.empty()) return 0;

    const auto first = line.find_first_not_of(" \t");
    const auto last = line.find_last_not_of(" \t");
    std::string number = first == std::string::npos ? "" : line.substr(first, last - first + 1);
    if (!number.empty() && number[0] == '+') number.erase(0, 1);
    std::int32_t value = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || ec != std::errc() || end != number.data() + number.size())
        throw Error(0, file.string() + " holds \"" + line + "\", which is not a disc number");
    if (value < 0)
        throw Error(0, file.string() + " holds " + std::to_string(value) +
                           ", which is not a disc number (0 or more)");
    return value;
}

void WriteLastMediaNr(const std::filesystem::path& programDir, std::int32_t mediaNumber) {
    const std::string line = (mediaNumber >= 0 ? " " : "") + std::to_string(mediaNumber) + " \r\n";
    ReplaceFileAtomically(programDir / "LastMediaNr", line);
}

}  // namespace velunor
