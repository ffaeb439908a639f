// The archive's discs over the years: `velunor-cli check` reads a written
// disc again and compares it with the database, `find` names the discs of a
// study, `report` says what needs the operator. They read the database and
// never write to it, nor to LastMediaNr, the record journal or the staging
// tree; `check` appends its line to Logs/Check.log.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace velunor {

// What a command works with: the program folder (velunor.ini, LastMediaNr,
// RecordJournal, Logs/), where it prints, and its clocks.
struct CommandEnv {
    std::filesystem::path programDir;
    std::ostream& out;   // the report
    std::ostream& err;   // why it could not run
    std::function<std::chrono::system_clock::time_point()> now = [] { return std::chrono::system_clock::now(); };
    std::function<std::chrono::steady_clock::time_point()> clock = [] { return std::chrono::steady_clock::now(); };
    // Reading one file may take this long, plus a second for every
    // `slowestBytesPerSecond` bytes of it; then the file counts as
    // unreadable and the check goes on with the next one.
    std::chrono::seconds fileTimeBase{120};
    std::uint64_t slowestBytesPerSecond = 256 * 1024;
};

// Exit statuses of the three commands.
inline constexpr int kExitGood = 0;       // whole and matching; nothing needs an operator; found
inline constexpr int kExitAttention = 1;  // damage or mismatch; something needs an operator; not found
inline constexpr int kExitCannotRun = 2;  // could not read the disc, reach the database, or a wrong command line

// velunor-cli check [--image FILE | --device PATH] [DVD n]
int CheckCommand(const std::vector<std::string>& args, CommandEnv& env);
// velunor-cli find STUDY
int FindCommand(const std::vector<std::string>& args, CommandEnv& env);
// velunor-cli report [--json] [--older-than DAYS]
int ReportCommand(const std::vector<std::string>& args, CommandEnv& env);
// velunor-cli label [--image FILE | --device PATH] DVD n --pdf FILE | --png FILE
// (reads the disc's DICOMDIR; neither the database nor Logs/Check.log)
int LabelCommand(const std::vector<std::string>& args, CommandEnv& env);

}  // namespace velunor
