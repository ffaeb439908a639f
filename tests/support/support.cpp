#include "tests/support/support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace velunor::test {

TempDir::TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("velunor-test-" + std::to_string(rd()) + std::to_string(attempt));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make read-only folders writable again so that everything can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAll(const std::filesystem::path& p, const std::string& content) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

DamagedFile DamageLastFileOf2(const std::filesystem::path& iso, long long fromEnd) {
    const std::string report = Capture("xorriso -indev " + Quote(iso) + " -find /2 -type f -exec report_lba -- 2>/dev/null");
    const auto at = report.rfind("File data lba:");
    if (at == std::string::npos) return {};
    long long start = 0, bytes = 0;
    std::sscanf(report.c_str() + at, "File data lba: %*d , %lld , %*d , %lld", &start, &bytes);
    std::fstream f(iso, std::ios::in | std::ios::out | std::ios::binary);
    const long long offset = start * 2048 + bytes - fromEnd;
    const char c = static_cast<char>(f.seekg(offset).peek());
    f.seekp(offset).put(static_cast<char>(c ^ 0x5a));
    const auto quote = report.find('\'', at);
    return {report.substr(quote + 2, report.find('\'', quote + 1) - quote - 2), offset};
}

std::string Quote(const std::filesystem::path& p) {
    std::string out = "'";
    for (char c : p.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset(other.fd);
        other.fd = -1;
    }
    return *this;
}

void Fd::reset(int f) {
    if (fd >= 0) ::close(fd);
    fd = f;
}

namespace {

[[noreturn]] void StartFailed(const std::string& what) {
    throw std::runtime_error("cannot start a child process: " + what + ": " + std::strerror(errno));
}

// argv[0] as execve needs it: a name without a slash found in PATH.
std::string Executable(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

}  // namespace

ProcessResult RunProcess(const Process& p) {
    using Clock = std::chrono::steady_clock;
    if (p.argv.empty()) throw std::runtime_error("a child process needs a program");
    std::vector<std::string> args = p.argv;
    args[0] = Executable(args[0]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        if (!p.env.count(entry.substr(0, entry.find('=')))) envStrings.push_back(entry);
    }
    for (const auto& [name, value] : p.env) envStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    int ends[2], exec[2];
    if (::pipe2(ends, O_CLOEXEC) != 0 || ::pipe2(exec, O_CLOEXEC) != 0) StartFailed("pipe2");
    Fd out(ends[0]), outWrite(ends[1]), execRead(exec[0]), execWrite(exec[1]);
    Fd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const char* cwd = p.cwd.empty() ? nullptr : p.cwd.c_str();
    const rlim_t limit = static_cast<rlim_t>(p.fileSizeLimit.value_or(0));

    ProcessResult result;
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) StartFailed("fork");
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::setpgid(0, 0);
        ::dup2(null.fd, 0);
        ::dup2(outWrite.fd, 1);
        if (p.mergeStderr) ::dup2(outWrite.fd, 2);
        if (p.fileSizeLimit) {
            ::signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl {limit, limit};
            ::setrlimit(RLIMIT_FSIZE, &rl);
        }
        if (cwd && ::chdir(cwd) != 0) ::_exit(127);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    outWrite.reset();
    execWrite.reset();
    // The exec closes the child's end: from then on it is the program.
    char none;
    while (::read(execRead.fd, &none, 1) < 0 && errno == EINTR) {
    }
    ::fcntl(out.fd, F_SETFL, O_NONBLOCK);

    std::string partial;
    bool eof = false, reaped = false;
    int status = 0;
    // A hook that throws leaves no child behind.
    struct Reaper {
        const pid_t& pid;
        const bool& reaped;
        ~Reaper() {
            ::kill(-pid, SIGKILL);
            if (!reaped) ::waitpid(pid, nullptr, 0);
        }
    } reaper{pid, reaped};
    struct rusage usage {};
    auto lastSample = Clock::time_point{};
    const auto limitWait = std::chrono::milliseconds(p.sampleFds ? 10 : 20);
    while (!(eof && reaped)) {
        for (;;) {
            char buf[8192];
            const ssize_t got = ::read(out.fd, buf, sizeof buf);
            if (got <= 0) {
                eof = got == 0 || (errno != EAGAIN && errno != EINTR);
                break;
            }
            result.output.append(buf, static_cast<std::size_t>(got));
            if (!p.onLine) continue;
            partial.append(buf, static_cast<std::size_t>(got));
            for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos; partial.erase(0, nl + 1))
                p.onLine(partial.substr(0, nl));
        }
        std::chrono::nanoseconds wait = limitWait;
        if (!reaped) {
            if (p.onTick) wait = std::clamp<std::chrono::nanoseconds>(p.onTick(pid), {}, limitWait);
            if (p.sampleFds && Clock::now() - lastSample >= std::chrono::milliseconds(10)) {
                lastSample = Clock::now();
                std::error_code ec;
                int count = 0;
                for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
                     !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
                    ++count;
                result.maxFds = std::max(result.maxFds, count);
            }
            if (Clock::now() - start > p.timeout && !result.timedOut) {
                ::kill(-pid, SIGKILL);
                ::kill(pid, SIGKILL);
                result.timedOut = true;
            }
            if (::wait4(pid, &status, WNOHANG, &usage) == pid) {
                reaped = true;
                result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
                continue;
            }
        } else if (std::chrono::duration<double>(Clock::now() - start).count() > result.seconds + 10) {
            break;   // something it started still holds its output open
        }
        struct pollfd fds[2];
        nfds_t n = 0;
        if (!eof) fds[n++] = {out.fd, POLLIN, 0};
        if (!reaped && p.wakeFd >= 0) fds[n++] = {p.wakeFd, POLLIN, 0};
        const struct timespec ts {0, static_cast<long>(wait.count())};
        ::ppoll(fds, n, &ts, nullptr);
    }
    // Whatever it started in its process group goes with it (the reaper).
    if (!partial.empty() && p.onLine) p.onLine(partial);
    result.maxRssKb = usage.ru_maxrss;
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.signalled = WIFSIGNALED(status);
    return result;
}

std::string Capture(const std::string& command) {
    return RunProcess({.argv = {"/bin/sh", "-c", command}, .mergeStderr = false}).output;
}

int RunShell(const std::string& command, std::string& output) {
    ProcessResult r = RunProcess({.argv = {"/bin/sh", "-c", command}});
    output = std::move(r.output);
    return r.status;
}

}  // namespace velunor::test
