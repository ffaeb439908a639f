// The archive's life: many consecutive runs of the real run controller in
// unattended mode, in this one process (the window's program phases with
// the byte limits scaled down through CollectLimits, SQLite, DCMTK on small
// generated files, an image folder), while studies keep arriving and seeded
// faults strike between and inside the runs.
//
// Arrivals: zero to three studies before each run, sized from a seeded
// distribution that includes studies just below and just above the room
// left on the disc being filled, studies larger than a whole disc, ZIP
// studies and file names that clash across studies.
//
// Faults, one every third run from the third on, in a seeded order that
// uses every kind once per round:
//   corrupt new       a file of an arriving study made unreadable (now and
//                     then every file of it)
//   corrupt carry-over a source file of a study on the last disc alone
//                     made unreadable before it is carried over
//   database gone     the SQLite file moved away for the run
//   database refuses  a trigger aborts every UPDATE of tblStudies for the run
//   verification      the published image damaged between the burn's end
//                     and its verification (once)
//   killed            the run done by a velunor-cli child (shipped limits,
//                     AuthBurn=1, --yes) killed with SIGKILL at a random
//                     moment
//   second run        a second window's controller on the same program
//                     folder pressing Start while the first one's run is
//                     active: it must start nothing and say why
//
// After every run, against the independent read of the images (Checker in
// harness.hpp) and these rules of the life:
// - every study is waiting, on the last disc alone, on two consecutive
//   discs, "not readable" (none of its objects readable), or larger than a
//   disc (waiting, never recorded on a disc of the scaled size, named in
//   Logs/Error.log, and never in the way of the others);
// - LastMediaNr advances by at most one per run;
// - once a disc's worth of data is waiting, a disc is recorded within two
//   runs that no fault stopped;
// - no disc number fails its verification twice;
// - the process's open descriptors stay as after the fifth run, and its
//   resident memory grows by at most 16 MB from the tenth run on.
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
