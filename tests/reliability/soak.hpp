// The soak: consecutive archive runs on a growing archive, with seeded
// random faults between them, watching memory and file descriptors.
//
// cli:    every run is a velunor-cli process (as a systemd timer starts it);
//         faults: a SIGKILL at a random moment, debris of killed runs planted
//         in the staging tree, image folder, program directory and temporary
//         folder, the database gone for a run, an image folder that is full.
//         Per run: peak resident memory (wait4) and the most descriptors open
//         at once (/proc/<pid>/fd, sampled).
// window: every run in this one process through the run controller, as the
//         window runs them in unattended mode; faults: planted debris, the
//         database gone for a run, velunor.ini rewritten. After each run: this
//         process's open descriptors and resident memory.
// After every run the archive's invariants are checked (harness.hpp); at the
// end the archive must be drained.
#pragma once

#include <string>
#include <vector>

#include "tests/reliability/harness.hpp"

namespace velunor::reliability {

struct SoakOptions {
    int runs = 20;
    std::uint64_t seed = 1;
    ArchiveKind kind = ArchiveKind::Sqlite;
    bool cli = true;
    bool window = true;
};

// Runs the soak, printing one table per mode on standard output. Returns
// the problems found: a broken invariant, an archive that does not drain,
// descriptors that change between runs in one process (or vary by more than
// 4 between velunor-cli runs), memory that grows by more than 16 MB from
// the fifth run on in one process (or varies beyond 1.5x between
// velunor-cli runs that recorded a disc). The window mode sets TMPDIR of
// this process. Throws std::runtime_error when the scenario cannot be made.
std::vector<std::string> RunSoak(const SoakOptions& options);

}  // namespace velunor::reliability
