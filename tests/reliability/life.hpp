// The archive's life: many consecutive unattended runs of the real run
// controller in this one process (the program's phases with the byte limits
// scaled down through CollectLimits, SQLite, DCMTK on small generated files,
// an image folder), while studies of every size keep arriving and a seeded
// fault strikes every third run (an unreadable new or carried-over file, the
// database gone or refusing writes, an image damaged before verification, a
// velunor-cli child killed at a random moment, a second window pressing
// Start). After every run the Checker of harness.hpp compares the database
// with an independent read of the images, and the life's own rules hold:
// every study in one state, LastMediaNr up by at most one, a disc within two
// undisturbed runs once a disc's worth waits, no disc number failing twice,
// descriptors and memory flat. docs/reliability.md lists the faults and rules.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/reliability/harness.hpp"

namespace velunor::reliability {

struct LifeOptions {
    int runs = 150;
    std::uint64_t seed = 1;
    // The scaled disc: the shipped proportions (2,000,000,000 bytes, the
    // decision's thresholds 1700 and 10 in units of 1024 x 1024 bytes)
    // kept by scaling both.
    std::uintmax_t capacityBytes = 2'000'000;
    std::uintmax_t megabyte = 1000;
    int faultEvery = 3;    // a fault before every n-th run (from the third)
    // Progress lines while it runs (may be empty).
    std::function<void(const std::string&)> log;
};

struct LifeReport {
    int runs = 0;
    int discs = 0;                              // discs recorded
    std::map<std::string, int> states;          // studies per state at the end
    std::map<std::string, int> arrivals;        // studies per kind of arrival
    std::map<std::string, int> faults;          // faults that struck
    std::vector<std::string> lines;             // one per run
    std::vector<std::string> failures;          // broken rules, each naming its run
    double seconds = 0;

    // The closing table: runs, discs, studies per state, arrivals, faults.
    std::string Table() const;
};

// Lives the archive's life. Sets TMPDIR of this process (the runs' temporary
// folder is the scenario's). Throws std::runtime_error when the world cannot
// be made.
LifeReport RunLife(const LifeOptions& options);

}  // namespace velunor::reliability
