// The run lock: one archive run at a time per program folder and per
// staging tree.
//
// A run holds it from reading LastMediaNr to its last clean-up. It is the
// kernel's advisory lock (an open-file-description lock, F_OFD_SETLK) on
// two lock files: "velunor.lock" in the program folder and
// "velunor-staging.lock" in the staging root. The kernel drops it when the
// holder closes the files or ends in any way, SIGKILL included, so a killed
// run never leaves a stale lock; and two locks taken in one process (the
// window's runs and a second controller) exclude each other as two
// processes do. The holder writes its process number into both files, for
// the message of a run that finds them locked.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace velunor {

struct RunLockAttempt;

// A held run lock; released when it goes.
class RunLock {
public:
    RunLock(RunLock&& other) noexcept;
    RunLock& operator=(RunLock&& other) noexcept;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    ~RunLock();

private:
    friend RunLockAttempt TryRunLock(const std::filesystem::path&, const std::filesystem::path&);
    RunLock() = default;
    void Release() noexcept;
    int program_ = -1;
    int staging_ = -1;
};

// What an attempt to take the run lock gave.
struct RunLockAttempt {
    std::optional<RunLock> lock;   // held, when the attempt succeeded
    pid_t holder = 0;              // busy: the process that holds it (0 when it cannot be told)
    std::string error;             // neither held nor busy: why the lock files cannot be used

    bool busy() const { return !lock && error.empty(); }
    // "another run is active (process N)" for a busy lock, else `error`.
    std::string Why() const;
};

// Takes the run lock of `programDir` and of `stagingRoot` (created when
// missing), without waiting. Never throws.
RunLockAttempt TryRunLock(const std::filesystem::path& programDir, const std::filesystem::path& stagingRoot);

}  // namespace velunor
