// Helpers shared by the test suites: temporary folders, files, child
// processes and error texts.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/error.hpp"
#include "app/run_events.hpp"

namespace velunor::test {

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& sub) const { return path_ / sub; }

private:
    std::filesystem::path path_;
};

// Whole content of a file as bytes in a string ("" when missing).
std::string ReadAll(const std::filesystem::path& p);
void WriteAll(const std::filesystem::path& p, const std::string& content);

// Flips one byte of the last file of folder 2/ of the image `iso`, in its
// pixel data `fromEnd` bytes before the file's end. Returns that file's path
// on the image without the leading "/" ("" when xorriso finds none) and the
// byte's offset in the image.
struct DamagedFile {
    std::string path;
    long long offset = 0;
};
DamagedFile DamageLastFileOf2(const std::filesystem::path& iso, long long fromEnd = 1);

// `p` in single quotes for a shell command line.
std::string Quote(const std::filesystem::path& p);

// A file descriptor, closed when it goes.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset(int f = -1);
};

// A child process, started without a shell (argv[0] looked up in PATH when
// it holds no slash), with /dev/null as its standard input, in a process
// group of its own that is killed when it ends.
struct Process {
    std::vector<std::string> argv{};
    std::map<std::string, std::string> env{};      // set over the inherited environment
    std::filesystem::path cwd{};                  // empty: this process's
    bool mergeStderr = true;                      // false: its errors go to this process's
    std::optional<std::uint64_t> fileSizeLimit{}; // RLIMIT_FSIZE in bytes (SIGXFSZ ignored)
    std::chrono::milliseconds timeout{300'000};   // then SIGKILL, and the result says so
    bool sampleFds = false;                       // count /proc/<pid>/fd every 10 ms
    // While it runs: each whole line of its output as it comes, and a tick
    // at least every 20 ms (at once when `wakeFd` is readable) that may act
    // on the child and says how soon it wants the next one.
    std::function<void(const std::string& line)> onLine{};
    std::function<std::chrono::nanoseconds(pid_t child)> onTick{};
    int wakeFd = -1;
};

struct ProcessResult {
    int status = -1;           // exit status; -1 when it did not exit
    bool signalled = false;    // ended by a signal (a kill of ours among them)
    bool timedOut = false;
    std::string output;        // standard output (and error, merged)
    double seconds = 0;
    long maxRssKb = 0;         // peak resident set (wait4)
    int maxFds = 0;            // most open descriptors seen (sampleFds)
};

// Runs `p` to its end. Throws std::runtime_error when it cannot be started;
// a program that cannot be executed exits with 127.
ProcessResult RunProcess(const Process& p);

// Standard output of a shell command line (its errors go to ours).
std::string Capture(const std::string& command);

// A shell command line with its errors merged into `output`; its exit
// status, -1 when it did not exit.
int RunShell(const std::string& command, std::string& output);

// The message of the velunor::Error that `f` raises, "" when it raises none.
template <class F>
std::string ErrorText(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

}  // namespace velunor::test
