#include "app/run_lock.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace velunor {
namespace {

namespace fs = std::filesystem;

void CloseFd(int& fd) noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The process number written into a lock file, 0 when there is none.
pid_t HolderOf(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    long pid = 0;
    auto [end, ec] = std::from_chars(text, text + n, pid);
    (void)end;
    return ec == std::errc() && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

enum class Outcome { Held, Busy, Failed };

// Opens `file` and takes its lock. Held: `fd` is open and locked. Busy:
// `holder` names the holder. Failed: `error` says why.
Outcome LockFile(const fs::path& file, int& fd, pid_t& holder, std::string& error) {
    fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        error = "Cannot open the run lock " + file.string() + ": " + std::strerror(errno);
        return Outcome::Failed;
    }
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        const int err = errno;
        if (err == EAGAIN || err == EACCES) {
            holder = HolderOf(fd);
            CloseFd(fd);
            return Outcome::Busy;
        }
        error = "Cannot lock " + file.string() + ": " + std::strerror(err);
        CloseFd(fd);
        return Outcome::Failed;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds all the same; only the message of a second run
        // cannot name this process.
    }
    return Outcome::Held;
}

}  // namespace

RunLock::RunLock(RunLock&& other) noexcept : program_(other.program_), staging_(other.staging_) {
    other.program_ = other.staging_ = -1;
}

RunLock& RunLock::operator=(RunLock&& other) noexcept {
    if (this != &other) {
        Release();
        program_ = other.program_;
        staging_ = other.staging_;
        other.program_ = other.staging_ = -1;
    }
    return *this;
}

RunLock::~RunLock() { Release(); }

void RunLock::Release() noexcept {
    CloseFd(staging_);
    CloseFd(program_);
}

std::string RunLockAttempt::Why() const {
    if (!busy()) return error;
    return holder > 0 ? "another run is active (process " + std::to_string(holder) + ")"
                      : "another run is active";
}

RunLockAttempt TryRunLock(const fs::path& programDir, const fs::path& stagingRoot) {
    RunLockAttempt attempt;
    RunLock lock;
    Outcome o = LockFile(programDir / "velunor.lock", lock.program_, attempt.holder, attempt.error);
    if (o != Outcome::Held) return attempt;
    std::error_code ec;
    fs::create_directories(stagingRoot, ec);
    if (ec) {
        attempt.error = "Cannot create the staging folder " + stagingRoot.string() + ": " + ec.message();
        return attempt;
    }
    o = LockFile(stagingRoot / "velunor-staging.lock", lock.staging_, attempt.holder, attempt.error);
    if (o != Outcome::Held) return attempt;
    attempt.lock.emplace(std::move(lock));
    return attempt;
}

}  // namespace velunor
