// The soak: consecutive velunor-cli runs on a growing archive (as a systemd
// timer starts them), with seeded random faults between them: a SIGKILL at
// a random moment, debris of killed runs planted in the staging tree, image
// folder, program directory and temporary folder, the database gone for a
// run, an image folder that is full. Per run: peak resident memory (wait4)
// and the most descriptors open at once (/proc/<pid>/fd, sampled). After
// every run the archive's invariants are checked (harness.hpp); at the end
// the archive must be drained. Runs in one process, as the unattended
// window does them, are the archive's life (life.hpp).
#pragma once

#include <string>
#include <vector>

#include "tests/reliability/harness.hpp"

namespace velunor::reliability {

struct SoakOptions {
    int runs = 20;
    std::uint64_t seed = 1;
    ArchiveKind kind = ArchiveKind::Sqlite;
};

// Runs the soak, printing a table on standard output. Returns the problems
// found: a broken invariant, an archive that does not drain, descriptors
// that vary by more than 4 or peak memory that varies beyond 1.5x between
// runs that recorded a disc. Throws std::runtime_error when the scenario
// cannot be made.
std::vector<std::string> RunSoak(const SoakOptions& options);

}  // namespace velunor::reliability
