// Inside the audit commands: what check, find and report share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.hpp"
#include "bookkeeping/database.hpp"

namespace velunor::audit {

// n of a label "DVD n" (n from 1, written without leading zeros); nullopt
// for anything else.
std::optional<std::int64_t> DiscNumberOf(std::string_view label);
std::string DiscLabel(std::int64_t number);

// What a StudyDirectory2 value says.
struct DiscRecord {
    enum class Kind { None, OneDisc, TwoDiscs, NotReadable, Unrecognised };
    Kind kind = Kind::None;
    std::vector<std::int64_t> discs;  // OneDisc: one number, TwoDiscs: two

    bool Names(std::int64_t disc) const;
};
// NULL or "" is on no disc; "DVD b"; "DVD a|DVD b"; "not readable";
// anything else is Unrecognised.
DiscRecord ParseDiscRecord(const std::optional<std::string>& value);
// The value as an operator reads it: "on DVD 3", "on DVD 3 and DVD 4", "on no disc", ...
std::string DescribeDiscRecord(const std::optional<std::string>& value);

// The settings of the program folder, ready to reach the database. Throws
// velunor::Error saying why not (no database configured, a refused
// credentials file).
Settings LoadArchiveSettings(const std::filesystem::path& programDir);
// A connection to the archive database. Throws velunor::Error ("the
// database cannot be reached: ...").
std::unique_ptr<Database> OpenArchiveDatabase(const Settings& settings);

// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);

// Whether `arg` asks for help.
bool IsHelp(const std::string& arg);

// The medium and the disc that a command line names:
// [--image FILE | --device PATH] [DVD n].
struct MediumChoice {
    std::optional<std::filesystem::path> image;
    std::optional<std::string> device;
    std::string wanted;   // the disc named, "DVD n" ("12" and "DVD 12" alike); "" when none

    // Takes args[i] (and the value after it) when it is --image, --device or
    // words naming the disc, advancing i past them; false for anything
    // else. Throws std::invalid_argument saying what is wrong: a missing
    // value, a second medium or disc, a word that names no disc.
    bool Take(const std::vector<std::string>& args, std::size_t& i);
    // Whether a medium was named (--image or --device).
    bool Named() const { return image || device; }
};

// The --help lines of the two options, and the paragraph on the medium read
// when neither is given.
extern const char kMediumOptionsHelp[];
extern const char kDefaultMediumHelp[];

}  // namespace velunor::audit
