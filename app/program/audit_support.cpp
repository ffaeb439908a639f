#include "app/program/audit_support.hpp"

#include <cstdio>
#include <stdexcept>

#include "app/error.hpp"
#include "app/logging.hpp"

namespace velunor::audit {

std::optional<std::int64_t> DiscNumberOf(std::string_view label) {
    constexpr std::string_view prefix = "DVD ";
    if (label.substr(0, prefix.size()) != prefix) return std::nullopt;
    const std::string_view digits = label.substr(prefix.size());
    if (digits.empty() || digits.size() > 18 || digits[0] == '0') return std::nullopt;
    std::int64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

std::string DiscLabel(std::int64_t number) { return "DVD " + std::to_string(number); }

bool DiscRecord::Names(std::int64_t disc) const {
    for (std::int64_t d : discs)
        if (d == disc) return true;
    return false;
}

DiscRecord ParseDiscRecord(const std::optional<std::string>& value) {
    DiscRecord r;
    if (!value || value->empty()) return r;
    if (*value == "not readable") {
        r.kind = DiscRecord::Kind::NotReadable;
        return r;
    }
    const std::string_view v = *value;
    const std::size_t bar = v.find('|');
    const auto first = DiscNumberOf(v.substr(0, bar));
    const auto second = bar == std::string_view::npos ? std::nullopt : DiscNumberOf(v.substr(bar + 1));
    if (first && bar == std::string_view::npos) {
        r.kind = DiscRecord::Kind::OneDisc;
        r.discs = {*first};
    } else if (first && second) {
        r.kind = DiscRecord::Kind::TwoDiscs;
        r.discs = {*first, *second};
    } else {
        r.kind = DiscRecord::Kind::Unrecognised;
    }
    return r;
}

std::string DescribeDiscRecord(const std::optional<std::string>& value) {
    const DiscRecord r = ParseDiscRecord(value);
    switch (r.kind) {
    case DiscRecord::Kind::None:
        return "on no disc";
    case DiscRecord::Kind::OneDisc:
        return "on " + DiscLabel(r.discs[0]) + " only";
    case DiscRecord::Kind::TwoDiscs:
        return "on " + DiscLabel(r.discs[0]) + " and " + DiscLabel(r.discs[1]);
    case DiscRecord::Kind::NotReadable:
        return "marked \"not readable\"";
    case DiscRecord::Kind::Unrecognised:
        break;
    }
    return "recorded as \"" + *value + "\"";
}

Settings LoadArchiveSettings(const std::filesystem::path& programDir) {
    Settings s;
    LoadConfiguration(s, programDir);
    if (!s.CredentialsProblem.empty()) throw Error(0, s.CredentialsProblem);
    if (s.ServerType.empty()) throw Error(0, "no database configured (ServerType in " + s.IniFilePath.string() + ")");
    return s;
}

std::unique_ptr<Database> OpenArchiveDatabase(const Settings& s) {
    try {
        return OpenDatabase(s.ServerType, s.Server, s.ConnectionString, kCommandTimeoutSeconds);
    } catch (const Error& e) {
        throw Error(e.number(), std::string("the database cannot be reached: ") + e.what());
    }
}

std::string JsonString(std::string_view raw) {
    // Control characters and bytes that are no UTF-8 as the logs write them
    // (\n, \xNN), so the document stays valid UTF-8 whatever a value holds.
    const std::string text = OneLogLine(raw);
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

const char kMediumOptionsHelp[] =
    "  --image FILE   read an image file\n"
    "  --device PATH  read the disc in this drive (/dev/sr0)\n";
const char kDefaultMediumHelp[] =
    "Without --image or --device: the image \"DVD n.iso\" of the image folder when\n"
    "ImageFolder is set, else the disc in the first optical drive.\n";

bool MediumChoice::Take(const std::vector<std::string>& args, std::size_t& i) {
    const std::string& a = args[i];
    if (a == "--image" || a == "--device") {
        if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
        if (Named()) throw std::invalid_argument("name one medium: --image or --device, once");
        if (a == "--image") image = args[++i];
        else device = args[++i];
        return true;
    }
    if (a.empty() || a[0] == '-') return false;
    if (!wanted.empty()) throw std::invalid_argument("name one disc");
    wanted = a == "DVD" && i + 1 < args.size() ? "DVD " + args[++i] : a;   // DVD 12 given as two words
    if (!DiscNumberOf(wanted) && DiscNumberOf("DVD " + wanted)) wanted = "DVD " + wanted;   // "12" is DVD 12
    if (!DiscNumberOf(wanted)) throw std::invalid_argument("\"" + wanted + "\" is no disc label (DVD n)");
    return true;
}

}  // namespace velunor::audit
