// velunor-bench-all: every benchmark of the project on one generated data
// set, each figure beside its reference tool measured in the same run, and
// docs/benchmarks.md written from the results.
//
// The data set (GB = 10^9 bytes, shown for --size-gb 4; smaller sizes scale
// every part down):
//   new-5MB     0.95 GB, 190 images of 5 MB, on no disc yet
//   new-200KB   1.0 GB, 5,000 images of 200 KB, on no disc yet
//   carry-5MB   2.05 GB, 410 images of 5 MB, on disc 7 alone
// Explicit VR Little Endian CT, MR and CR images as most archives store
// them, one archive root per part, and one SQLite archive database holding
// every study. A run with LastMediaNr 7 therefore writes disc 8: the
// carry-over studies into 1/ and the new ones (just below the 2,000,000,000
// byte limit) into 2/, about 4 GB of image.
//
// Steps, in this order:
//   1. re-encoding and DICOMDIR (velunor-bench-dicom on new-5MB and
//      new-200KB) against cp -r, dcmconv +ti and dcmmkdir;
//   2. the collection phase (DatenKopieren) over the new studies, and over
//      the whole data set, against cp -r of the same source folders;
//   3. image build + write and verification (velunor-bench-disc) of the
//      staging tree step 2 left (about 4 GB) and of a 1 GB part of it,
//      against xorriso -as mkisofs, xorriso -check_md5_r, cp -r, cat and
//      md5sum;
//   4. the new selection over 100,000 rows of tblStudies, 5,000 of them on
//      no disc, on PostgreSQL over loopback (when VELUNOR_PG_SERVER names a
//      server, as scripts/with-postgres.sh sets it) and on SQLite;
//   5. a whole disc: velunor-cli run --yes --notice-ms 0 in a program
//      directory of its own (collection, DICOMDIR, image write,
//      verification, database update), against the same job by the
//      reference tools right after it: DCMTK re-encoding in one process
//      (velunor-bench-dcmtk-reencode), dcmmkdir, xorriso -as mkisofs --md5
//      and xorriso -check_md5_r; then the peak memory of a run over an
//      archive of one very large file (1 GB at --size-gb 4).
// A step that fails is reported as not measured; the others still run. The
// exit status is 1 when any step failed.
//
// Usage: velunor-bench-all [--size-gb S] [--work DIR] [--template FILE]
//                          [--out FILE] [--json FILE] [--no-dcmconv] [--keep]
// --template names bench/benchmarks.md.in, --out the Markdown file to write
// (docs/benchmarks.md), --json the summary for programs
// (docs/benchmarks.json); without them the figures are only printed. The work
// folder (default: a fresh one under the system's temporary directory) is
// removed at the end unless --keep is given; it needs about 4 x S GB free.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/error.hpp"
#include "app/program/program.hpp"
#include "app/settings.hpp"
#include "bench/bench_events.hpp"
#include "bookkeeping/database.hpp"
#include "collect/collect.hpp"
#include "dicom/dicom.hpp"
#include "tools/archive_generator.hpp"

extern char** environ;

// The other programs, from the same build.
#ifndef VELUNOR_CLI_PATH
#error "VELUNOR_CLI_PATH, VELUNOR_BENCH_DICOM_PATH and VELUNOR_BENCH_DISC_PATH come from bench/CMakeLists.txt"
#endif

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string Fixed(double v, int digits = 2) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, v);
    return buffer;
}

// 1234567 -> "1,234,567"
std::string Grouped(std::uint64_t v) {
    const std::string digits = std::to_string(v);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string Gb(double bytes) { return Fixed(bytes / 1e9) + " GB"; }
std::string Sec(double s) { return Fixed(s, s < 10 ? 2 : 1) + " s"; }

// ---- child processes ------------------------------------------------------

struct Outcome {
    double seconds = 0;
    int exitCode = -1;       // -1: ended by a signal
    long maxRssKb = 0;       // the kernel's high-water mark of the child
    std::vector<std::pair<double, std::string>> lines;   // captured output, seconds after the start
};

struct SpawnOptions {
    std::string stdoutFile;      // standard output into this file
    bool capture = false;        // standard output and error captured line by line
    bool quiet = false;          // standard output and error to /dev/null
    bool mayFail = false;        // a non-zero exit is returned, not thrown
};

SpawnOptions Quiet() {
    SpawnOptions o;
    o.quiet = true;
    return o;
}

// Runs `argv` and waits for it. Throws std::runtime_error when it cannot be
// started, or when it fails and `mayFail` is not set.
Outcome Spawn(const std::vector<std::string>& argv, const SpawnOptions& o = {}) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (o.capture) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    } else if (o.quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    } else if (!o.stdoutFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, o.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::cout << std::flush;
    const auto start = Clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (o.capture) ::close(pipeFds[1]);
    if (rc != 0) {
        if (o.capture) ::close(pipeFds[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    Outcome out;
    if (o.capture) {
        std::string pending;
        std::array<char, 4096> buffer{};
        for (;;) {
            const ssize_t n = ::read(pipeFds[0], buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            pending.append(buffer.data(), static_cast<std::size_t>(n));
            for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
                out.lines.emplace_back(Since(start), pending.substr(0, eol));
                std::cout << "    [" << Fixed(out.lines.back().first, 1) << " s] " << out.lines.back().second << "\n"
                          << std::flush;
                pending.erase(0, eol + 1);
            }
        }
        if (!pending.empty()) out.lines.emplace_back(Since(start), pending);
        ::close(pipeFds[0]);
    }
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) throw std::runtime_error("lost the child " + argv[0]);
    out.seconds = Since(start);
    out.maxRssKb = usage.ru_maxrss;
    out.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (out.exitCode != 0 && !o.mayFail) {
        std::string line;
        for (const std::string& a : argv) line += a + " ";
        throw std::runtime_error("failed (exit " + std::to_string(out.exitCode) + "): " + line);
    }
    return out;
}

double Timed(const std::vector<std::string>& argv) {
    ::sync();   // a step does not pay for the writeback of the one before
    return Spawn(argv, Quiet()).seconds;
}

// The output of a shell command (for the versions and the machine).
std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        std::array<char, 4096> buf{};
        std::size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

fs::path Self() { return fs::read_symlink("/proc/self/exe"); }

long PeakKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// "key value" lines, as the benchmark programs append them.
std::map<std::string, double> ReadResults(const fs::path& file) {
    std::map<std::string, double> values;
    std::ifstream in(file);
    std::string key;
    double value = 0;
    while (in >> key >> value) values[key] = value;
    return values;
}

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- the data set -----------------------------------------------------------

struct Part {
    const char* name;
    std::uint64_t fileBytes;
    int filesAt4GB;
    int filesPerStudy;
    bool carryOver;
};

constexpr int kLastDisc = 7;
constexpr double kDicomdirTarget = 0.8;    // x dcmmkdir
constexpr double kWholeDiscTarget = 0.8;   // x the reference tools' sum
constexpr double kLargestFileMb = 5e6 / (1024.0 * 1024.0);
constexpr std::array<Part, 3> kParts{{
    {"new-5MB", 5'000'000, 190, 10, false},
    {"new-200KB", 200'000, 5000, 50, false},
    {"carry-5MB", 5'000'000, 410, 10, true},
}};

fs::path PartRoot(const fs::path& data, const Part& p) { return data / p.name / "archive1"; }

namespace arc = velunor::archive;

// Images of `fileBytes` in Explicit VR Little Endian below `out`, one
// archive root, nothing else: no ZIP studies, reports, extras or unreadable
// files.
arc::Options PlainImages(const fs::path& out, std::uint64_t seed, std::uint64_t fileBytes) {
    arc::Options o;
    o.out = out;
    o.seed = seed;
    o.fileBytes = fileBytes;
    o.roots = 1;
    o.zipPercent = 0;
    o.unreadable = 0;
    o.extras = false;
    o.reports = false;
    o.syntaxes = {arc::Syntax::ExplicitLittle};
    return o;
}

// Child: writes the three parts below `data` and the database
// data/archive.sqlite holding all of them.
int GenerateChild(const fs::path& data, double sizeGb) {
    velunor::InitDicomToolkit();
    arc::Archive all;
    int studyId = 0;
    for (std::size_t i = 0; i < kParts.size(); ++i) {
        const Part& p = kParts[i];
        arc::Options o = PlainImages(data / p.name, 4000 + i, p.fileBytes);
        const int files = std::max(1, static_cast<int>(std::lround(p.filesAt4GB * sizeGb / 4.0)));
        o.filesPerStudy = std::min(files, p.filesPerStudy);
        o.studies = std::max(1, static_cast<int>(std::lround(double(files) / o.filesPerStudy)));
        o.modalities = {arc::Modality::CT, arc::Modality::MR, arc::Modality::CR};
        o.carryOver = p.carryOver ? o.studies : 0;
        o.lastDisc = kLastDisc;
        arc::Archive part = arc::GenerateArchive(o);
        // One archive database: every part keeps its own root (archive id
        // i + 1) and the study ids continue.
        for (arc::Root& r : part.roots) {
            r.archiveId = static_cast<int>(i) + 1;
            all.roots.push_back(r);
        }
        for (arc::Study& s : part.studies) {
            s.archiveId = static_cast<int>(i) + 1;
            s.studyId = ++studyId;
            all.studies.push_back(s);
        }
        std::cout << "  " << p.name << ": " << part.studies.size() << " studies, " << part.DicomFiles() << " files, "
                  << Gb(double(part.TotalBytes())) << "\n"
                  << std::flush;
    }
    arc::WriteSqliteDatabase(all, data / "archive.sqlite");
    return 0;
}

// Child: one CT study of one image of `bytes` below dir/archive, and its
// database dir/archive.sqlite.
int GenerateBigChild(const fs::path& dir, std::uint64_t bytes) {
    velunor::InitDicomToolkit();
    arc::Options o = PlainImages(dir / "archive", 4100, bytes);
    o.studies = 1;
    o.filesPerStudy = 1;
    o.modalities = {arc::Modality::CT};
    arc::WriteSqliteDatabase(arc::GenerateArchive(o), dir / "archive.sqlite");
    return 0;
}

struct Folder {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};

Folder Measure(const fs::path& folder) {
    Folder f;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) {
            ++f.files;
            f.bytes += e.file_size();
        }
    return f;
}

// ---- the collection phase, in a child process ------------------------------

// Child: DatenKopieren (and, with `dicomdir`, DicomDir) in the program
// directory `programDir`, as a run does them. Prints "collect <seconds>",
// "result 0|1", "dicomdir <seconds>" and "peak-kb <KB>".
int CollectChild(const fs::path& programDir, bool dicomdir) {
    using namespace velunor;
    if (std::string problem = StartupProblem(); !problem.empty()) throw std::runtime_error(problem);
    bench::BenchEvents events("collection");
    Shell shell(programDir, events);
    shell.log.markerPath = programDir / "Velunor.ready";
    int errors = 0;
    shell.onUnshownError = [&errors](const std::string&) { ++errors; };
    LoadConfiguration(shell.settings, programDir);
    std::unique_ptr<DiscWriter> writer = MakeProgramWriter(shell.settings);
    Run run{shell, *writer};
    auto start = Clock::now();
    const Collected collected = DatenKopieren(run);
    std::cout << "collect " << Since(start) << "\nresult " << (collected.write ? 1 : 0) << "\n";
    if (dicomdir) {
        start = Clock::now();
        if (!DicomDir(run, StagedDisc{collected.lastDisc, run.Tree()})) throw std::runtime_error("the DICOMDIR phase failed, see " + (programDir / "Logs").string());
        std::cout << "dicomdir " << Since(start) << "\n";
    }
    std::cout << "peak-kb " << PeakKb() << "\n";
    return errors + events.errorsShown == 0 ? 0 : 3;
}

void WriteIni(const fs::path& programDir, const std::string& serverType, const std::string& server,
              const fs::path& staging, const fs::path& images, int lastMediaNr) {
    fs::create_directories(programDir);
    fs::create_directories(images);
    WriteText(programDir / "velunor.ini", "[CONFIG]\nServerType=" + serverType + "\nServer=" + server +
                                              "\nTempPath=" + staging.string() + "/\nImageFolder=" + images.string() +
                                              "\nMSGDVDInsert=Please insert an empty DVD.\n"
                                              "MSGDVDName=Please label the disc DVD {NAME}.\n"
                                              "DVDSpeed=0\nArchive=0\nASAPI=0\nAuthBurn=0\n");
    WriteText(programDir / "LastMediaNr", " " + std::to_string(lastMediaNr) + " \r\n");
}

struct CollectFigures {
    double collect = 0;
    double dicomdir = 0;
    bool result = false;
    double peakMb = 0;
};

CollectFigures RunCollect(const fs::path& programDir, bool dicomdir) {
    const fs::path report = programDir / "collect.out";
    ::sync();
    std::vector<std::string> argv{Self().string(), "--collect-child", programDir.string()};
    if (dicomdir) argv.push_back("--dicomdir");
    SpawnOptions options;
    options.stdoutFile = report.string();
    options.mayFail = true;
    const Outcome o = Spawn(argv, options);
    const std::string errors = ReadText(programDir / "Logs" / "Error.log");
    if (o.exitCode != 0)
        throw std::runtime_error("the collection phase failed (exit " + std::to_string(o.exitCode) + ")" +
                                 (errors.empty() ? "" : ": " + errors));
    std::map<std::string, double> v = ReadResults(report);
    return {v["collect"], v["dicomdir"], v["result"] == 1, v["peak-kb"] / 1024.0};
}

// ---- PostgreSQL and SQLite with 100,000 studies -----------------------------

constexpr int kSelectionRows = 100'000;
constexpr int kSelectionNew = 5'000;

// Fills a database that holds the empty archive schema: one archive root,
// 100,000 studies, the last 5,000 on no disc, the others on two discs each.
void FillSelectionRows(velunor::Database& db, bool postgres, const fs::path& root) {
    db.Execute("INSERT INTO tblArchives (ArchiveID, ArchiveUNC, ArchivePath) VALUES (1, ?, ?)",
               {root.string(), root.string()});
    const std::string rows = std::to_string(kSelectionRows), onDiscs = std::to_string(kSelectionRows - kSelectionNew);
    const std::string values =
        "SELECT i, '1.2.826.0.1.3680043.9.7778.' || i, " +
        std::string(postgres ? "'S' || lpad(i::text, 6, '0')" : "printf('S%06d', i)") + ", CASE WHEN i > " + onDiscs +
        " THEN NULL ELSE 'DVD ' || (i / 50) || '|DVD ' || (i / 50 + 1) END, 1";
    const std::string insert = "INSERT INTO tblStudies (StudyID, StudyUID, StudyDirectory1, StudyDirectory2, ArchiveID) ";
    if (postgres)
        db.Execute(insert + values + " FROM generate_series(1, " + rows + ") AS i");
    else
        db.Execute(insert + "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + rows + ") " +
                   values + " FROM n");
}

// ---- the report ---------------------------------------------------------------

std::string Ratio(double own, double reference) { return reference > 0 ? Fixed(own / reference) + "x" : "-"; }

std::string Verdict(bool met) { return met ? "met" : "**missed**"; }

// One row of the summary: a figure against a reference tool measured in the
// same run (the target is the highest ratio), or against a limit (no
// reference; the target is the limit, in the figure's unit).
struct Check {
    std::string name;
    double velunor = 0;
    std::string unit;               // "s" or "MB"
    std::string reference;          // the reference tool; empty for a limit
    double referenceValue = 0;
    double target = 0;
    bool tool = true;               // the reference is one command (shown as code)

    bool Relative() const { return !reference.empty(); }
    double RatioValue() const { return referenceValue > 0 ? velunor / referenceValue : 0; }
    bool Met() const { return Relative() ? referenceValue > 0 && velunor <= target * referenceValue : velunor <= target; }
};

std::string Figure(double v, const std::string& unit) { return unit == "s" ? Sec(v) : Fixed(v, 1) + " " + unit; }

std::vector<std::string> SummaryRow(const Check& c) {
    if (!c.Relative()) return {c.name, Figure(c.velunor, c.unit), "", "", "≤ " + Figure(c.target, c.unit), Verdict(c.Met())};
    const std::string reference = c.tool ? "`" + c.reference + "`" : c.reference;
    return {c.name, Figure(c.velunor, c.unit), reference + " " + Figure(c.referenceValue, c.unit),
            Ratio(c.velunor, c.referenceValue), "≤ " + Fixed(c.target, 1) + "x " + reference, Verdict(c.Met())};
}

std::string JsonString(const std::string& v) {
    std::string out = "\"";
    for (const char ch : v) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') out += std::string("\\") + ch;
        else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else out += ch;
    }
    return out + "\"";
}

std::string JsonNumber(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6g", v);
    return buffer;
}

// {"results": [...]}: one entry per row of the summary, for programs that
// compare runs.
std::string SummaryJson(const std::vector<Check>& checks) {
    std::string out = "{\"results\": [";
    for (std::size_t i = 0; i < checks.size(); ++i) {
        const Check& c = checks[i];
        out += std::string(i ? "," : "") + "\n  {\"name\": " + JsonString(c.name) + ", \"velunor\": " +
               JsonNumber(c.velunor) + ", \"unit\": " + JsonString(c.unit) + ", \"reference\": " +
               (c.Relative() ? JsonString(c.reference) : "null") + ", \"reference_value\": " +
               (c.Relative() ? JsonNumber(c.referenceValue) : "null") + ", \"ratio\": " +
               (c.Relative() ? JsonNumber(c.RatioValue()) : "null") + ", \"target\": " + JsonNumber(c.target) +
               ", \"met\": " + (c.Met() ? "true" : "false") + "}";
    }
    return out + "\n]}\n";
}

struct Report {
    std::map<std::string, std::string> sections;   // placeholder name -> Markdown
    std::vector<Check> checks;
    std::vector<std::string> failures;

    void Fail(const std::string& section, const std::string& why) {
        sections[section] = "*Not measured in this run: " + why + "*\n";
        failures.push_back(section + ": " + why);
        std::cout << "\n!! " << section << " not measured: " << why << "\n" << std::flush;
    }
};

std::string Table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
    std::string out = "|";
    for (const auto& h : header) out += " " + h + " |";
    out += "\n|";
    for (std::size_t i = 0; i < header.size(); ++i) out += i == 0 ? "---|" : "---:|";
    out += "\n";
    for (const auto& row : rows) {
        out += "|";
        for (const auto& cell : row) out += " " + cell + " |";
        out += "\n";
    }
    return out;
}

struct Args {
    double sizeGb = 4;
    fs::path work;
    fs::path templateFile;
    fs::path outFile;
    fs::path jsonFile;
    bool dcmconv = true;
    bool keep = false;
};

// ---- the steps ------------------------------------------------------------------

struct Bench {
    Args args;
    fs::path work;
    fs::path data;
    fs::path results;
    Report report;
    std::map<std::string, Folder> parts;

    // What else the machine was doing when each step began.
    std::vector<std::vector<std::string>> conditions;

    void Step(const std::string& title) {
        const std::string load = Capture("cut -d' ' -f1-3 /proc/loadavg");
        const std::string available = Capture("awk '/^MemAvailable:/ {printf \"%.1f GB\", $2 / 1048576}' /proc/meminfo");
        conditions.push_back({title, load, available});
        std::cout << "\n==== " << title << "  (load average " << load << ", memory available " << available << ")\n"
                  << std::flush;
    }

    void Dicom() {
        Step("DICOM toolkit: re-encoding and DICOMDIR");
        std::vector<std::string> argv{std::string(VELUNOR_BENCH_DICOM_PATH),
                                      "--work",
                                      (work / "dicom").string(),
                                      "--input",
                                      "5MB=" + PartRoot(data, kParts[0]).string(),
                                      "--input",
                                      "200KB=" + PartRoot(data, kParts[1]).string(),
                                      "--results",
                                      results.string()};
        if (!args.dcmconv) argv.push_back("--no-dcmconv");
        Spawn(argv);
        fs::remove_all(work / "dicom");
        auto v = ReadResults(results);
        std::vector<std::vector<std::string>> rows;
        for (const char* label : {"5MB", "200KB"}) {
            const std::string k = std::string("dicom.") + label + ".";
            const double own = v[k + "velunor"], cp = v[k + "cp"], target = v[k + "target"];
            const double mb = v[k + "bytes"] / 1e6;
            const bool met = own / cp <= target;
            const std::string what = Grouped(std::uint64_t(v[k + "files"])) + " files of " +
                                     (std::string(label) == "5MB" ? "5 MB" : "200 KB") + " (" + Gb(v[k + "bytes"]) + ")";
            rows.push_back({"Re-encoding, " + what, Sec(own) + " (" + Fixed(mb / own, 0) + " MB/s)",
                            "`cp -r` " + Sec(cp), Ratio(own, cp), "≤ " + Fixed(target, 1) + "x", Verdict(met)});
            report.checks.push_back({"Re-encoding " + what, own, "s", "cp -r", cp, target});
            rows.push_back({"", "with process start " + Sec(v[k + "velunor_process"]), "", Ratio(v[k + "velunor_process"], cp),
                            "", ""});
            if (v.count(k + "dcmconv"))
                rows.push_back({"", "", "`dcmconv +ti` per file " + Sec(v[k + "dcmconv"]), Ratio(own, v[k + "dcmconv"]),
                                "", ""});
            const double peak = v[k + "peak_mb"], limit = v[k + "peak_limit_mb"];
            rows.push_back({"Peak memory of the re-encoding", Fixed(peak, 1) + " MB", "", "",
                            "< " + Fixed(limit, 1) + " MB (64 MB + largest file)", Verdict(peak < limit)});
            report.checks.push_back({"Peak memory, re-encoding " + std::string(label) + " files", peak, "MB", "", 0, limit});
        }
        if (v.count("decode.peak_mb")) {
            // Compressed cine loops, decoded a frame at a time (generated
            // by velunor-bench-dicom itself).
            const double peak = v["decode.peak_mb"], limit = 64 + v["decode.largest_file_mb"];
            rows.push_back({"Peak memory decoding " + Fixed(v["decode.files"], 0) + " compressed US cine loops (" +
                                Fixed(v["decode.image_mb"], 1) + " MB decoded, largest file " +
                                Fixed(v["decode.largest_file_mb"], 1) + " MB)",
                            Fixed(peak, 1) + " MB in " + Sec(v["decode.seconds"]), "", "",
                            "< " + Fixed(limit, 1) + " MB (64 MB + largest file)", Verdict(peak < limit)});
            report.checks.push_back({"Peak memory, decoding compressed cine loops", peak, "MB", "", 0, limit});
        }
        const double own = v["dicomdir.velunor"], ref = v["dicomdir.dcmmkdir"];
        const std::string files = Grouped(std::uint64_t(v["dicomdir.files"]));
        rows.push_back({"DICOMDIR of " + files + " staged files", Sec(own) + ", peak " + Fixed(v["dicomdir.peak_mb"], 1) +
                                                                       " MB",
                        "`dcmmkdir` " + Sec(ref), Ratio(own, ref), "≤ " + Fixed(kDicomdirTarget, 1) + "x",
                        Verdict(own <= kDicomdirTarget * ref)});
        rows.push_back({"", "with process start " + Sec(v["dicomdir.velunor_process"]), "",
                        Ratio(v["dicomdir.velunor_process"], ref), "", ""});
        report.checks.push_back({"DICOMDIR of " + files + " files", own, "s", "dcmmkdir", ref, kDicomdirTarget});
        report.sections["DICOM"] = Table({"Step", "Velunor", "Reference", "Ratio", "Target", ""}, rows);
    }

    // cp -r of the roots of `which` parts, one after the other, into a
    // fresh folder; returns the summed time.
    double CopyRoots(const std::vector<const Part*>& which) {
        const fs::path target = work / "cp";
        fs::remove_all(target);
        fs::create_directories(target);
        double seconds = 0;
        for (const Part* p : which) seconds += Timed({"cp", "-r", PartRoot(data, *p).string(), (target / p->name).string()});
        fs::remove_all(target);
        return seconds;
    }

    // The collection phase over the new studies (2 runs, the faster counts)
    // and over the whole data set, which leaves the staging tree for the
    // disc benchmark in work/staging-full.
    void Collect() {
        Step("Collection phase (DatenKopieren)");
        const std::string db = (data / "archive.sqlite").string();
        std::vector<std::vector<std::string>> rows;

        // New studies only: with LastMediaNr 0 no study is a carry-over.
        const fs::path programNew = work / "collect-new";
        WriteIni(programNew, "SQLite3", db, work / "staging-new", work / "iso-unused", 0);
        CollectFigures best;
        double copyBest = 0;
        for (int i = 0; i < 2; ++i) {
            fs::remove_all(work / "staging-new");
            const CollectFigures f = RunCollect(programNew, false);
            if (i == 0 || f.collect < best.collect) best = f;
            best.peakMb = std::max(best.peakMb, f.peakMb);
            const double copy = CopyRoots({&kParts[0], &kParts[1]});
            copyBest = i == 0 ? copy : std::min(copyBest, copy);
        }
        const Folder staged = Measure(work / "staging-new" / "DVD" / "2");
        const std::uint64_t expected = parts[kParts[0].name].files + parts[kParts[1].name].files;
        if (staged.files != expected)
            throw std::runtime_error("the collection staged " + std::to_string(staged.files) + " new files, expected " +
                                     std::to_string(expected));
        fs::remove_all(work / "staging-new");
        const std::string whatNew = "New studies: " + Grouped(staged.files) + " files, " + Gb(double(staged.bytes)) +
                                    " into `2/`";
        rows.push_back({whatNew, Sec(best.collect), "`cp -r` " + Sec(copyBest), Ratio(best.collect, copyBest), "≤ 2.0x",
                        Verdict(best.collect <= 2 * copyBest)});
        report.checks.push_back({"Collection phase, new studies (" + Gb(double(staged.bytes)) + ")", best.collect, "s",
                                 "cp -r", copyBest, 2.0});
        const double largestMb = 5e6 / (1024.0 * 1024.0);
        rows.push_back({"Peak memory of the phase", Fixed(best.peakMb, 1) + " MB", "", "",
                        "< " + Fixed(64 + largestMb, 1) + " MB", Verdict(best.peakMb < 64 + largestMb)});

        // The whole data set: carry-over studies of disc 7 into 1/, the new
        // ones into 2/; then the DICOMDIR phase, so that the tree is a disc.
        const fs::path programFull = work / "collect-full";
        WriteIni(programFull, "SQLite3", db, work / "staging-full", work / "iso-unused", kLastDisc);
        fs::remove_all(work / "staging-full");
        const CollectFigures full = RunCollect(programFull, true);
        const double copyAll = CopyRoots({&kParts[0], &kParts[1], &kParts[2]});
        const Folder one = Measure(work / "staging-full" / "DVD" / "1");
        const Folder two = Measure(work / "staging-full" / "DVD" / "2");
        if (one.files != parts[kParts[2].name].files || two.files != expected)
            throw std::runtime_error("the collection of the whole data set staged " + std::to_string(one.files) + " + " +
                                     std::to_string(two.files) + " files");
        rows.push_back({"Whole data set: " + Grouped(one.files) + " files (" + Gb(double(one.bytes)) +
                            ") into `1/`, " + Grouped(two.files) + " (" + Gb(double(two.bytes)) + ") into `2/`",
                        Sec(full.collect), "`cp -r` " + Sec(copyAll), Ratio(full.collect, copyAll), "≤ 2.0x",
                        Verdict(full.collect <= 2 * copyAll)});
        report.checks.push_back({"Collection phase, whole data set (" + Gb(double(one.bytes + two.bytes)) + ")",
                                 full.collect, "s", "cp -r", copyAll, 2.0});
        rows.push_back({"DICOMDIR phase on that tree (" + Grouped(one.files + two.files) + " files)",
                        Sec(full.dicomdir), "", "", "", ""});
        report.sections["COLLECT"] = Table({"Collection", "Velunor", "Reference", "Ratio", "Target", ""}, rows);
    }

    // Image build + write and verification of the staging tree the whole
    // collection left, and of a 1 GB part of it (hard links).
    void Disc() {
        Step("Disc image build, write and verification");
        const fs::path full = work / "staging-full";
        if (!fs::exists(full / "DVD" / "Dicomdir")) throw std::runtime_error("no staging tree (the collection failed)");
        const fs::path part = work / "staging-1GB";
        fs::remove_all(part);
        // About 1 GB: the first files of 1/ and of 2/, half of it each.
        const double partBytes = std::min(1e9, 0.25 * double(Measure(full / "DVD").bytes));
        for (const char* folder : {"1", "2"}) {
            fs::create_directories(part / "DVD" / folder);
            std::vector<fs::path> files;
            for (const auto& e : fs::directory_iterator(full / "DVD" / folder)) files.push_back(e.path());
            std::sort(files.begin(), files.end());
            double sum = 0;
            for (const fs::path& f : files) {
                if (sum >= partBytes / 2) break;
                fs::create_hard_link(f, part / "DVD" / folder / f.filename());
                sum += double(fs::file_size(f));
            }
        }
        fs::create_hard_link(full / "DVD" / "Dicomdir", part / "DVD" / "Dicomdir");
        Spawn({std::string(VELUNOR_BENCH_DISC_PATH), "--work", (work / "disc").string(), "--staging",
               "1GB=" + part.string(), "--staging", "full=" + full.string(), "--results", results.string()});
        fs::remove_all(work / "disc");
        fs::remove_all(part);
        auto v = ReadResults(results);
        std::vector<std::vector<std::string>> rows;
        for (const char* label : {"1GB", "full"}) {
            const std::string k = std::string("disc.") + label + ".";
            const std::string tree = Gb(v[k + "bytes"]) + ", " + Grouped(std::uint64_t(v[k + "files"])) + " files";
            const double write = v[k + "velunor_write"], xorriso = v[k + "xorriso"], md5 = v[k + "xorriso_md5"];
            rows.push_back({tree + ": image build + write (" + Grouped(std::uint64_t(v[k + "image_bytes"])) + " B)",
                            Sec(write), "`xorriso -as mkisofs -R -J` " + Sec(xorriso), Ratio(write, xorriso), "≤ 1.0x",
                            Verdict(write <= xorriso)});
            rows.push_back({"", "", "`xorriso ... --md5` " + Sec(md5), Ratio(write, md5), "", ""});
            rows.push_back({"", "", "`cp -r` " + Sec(v[k + "cp"]), Ratio(write, v[k + "cp"]), "", ""});
            rows.push_back({"", "", "a real 16x DVD adds " + Sec(v[k + "image_bytes"] / 22e6), "", "", ""});
            // The verification proves every byte against its recorded MD5, as
            // xorriso -check_md5_r does on the same image.
            const double verify = v[k + "verify"], cat = v[k + "cat"];
            const double check = v[k + "check"], xorrisoCheck = v[k + "xorriso_check_md5"];
            rows.push_back({tree + ": read-back verification", Sec(verify), "`xorriso -check_md5_r` " + Sec(xorrisoCheck),
                            Ratio(verify, xorrisoCheck), "≤ 1.0x", Verdict(verify <= xorrisoCheck)});
            rows.push_back({"", "", "`md5sum` " + Sec(v[k + "md5sum"]), Ratio(verify, v[k + "md5sum"]), "", ""});
            rows.push_back({"", "", "`cat` " + Sec(cat), Ratio(verify, cat), "", ""});
            rows.push_back({tree + ": re-check (`velunor-cli check`)", Sec(check), "`xorriso -check_md5_r` " +
                            Sec(xorrisoCheck), Ratio(check, xorrisoCheck), "≤ 1.2x", Verdict(check <= 1.2 * xorrisoCheck)});
            rows.push_back({"", "peak " + Fixed(v[k + "check_rss_kb"] / 1024.0, 1) + " MB",
                            "peak " + Fixed(v[k + "xorriso_check_rss_kb"] / 1024.0, 1) + " MB", "", "", ""});
            report.checks.push_back({"Image build + write, " + tree, write, "s", "xorriso -as mkisofs -R -J", xorriso, 1.0});
            report.checks.push_back({"Verification, " + tree, verify, "s", "xorriso -check_md5_r", xorrisoCheck, 1.0});
            report.checks.push_back({"Re-check, " + tree, check, "s", "xorriso -check_md5_r", xorrisoCheck, 1.2});
        }
        report.sections["DISC"] = Table({"Step", "Velunor", "Reference", "Ratio", "Target", ""}, rows);
    }

    // The new selection over 100,000 rows: the collection phase on a
    // database where only the selection has work to do (empty study folders,
    // or none at all). Three runs each; the slowest counts.
    void Selection() {
        Step("New selection over 100,000 rows");
        const fs::path root = work / "selection" / "root";
        const fs::path missing = work / "selection" / "missing";
        for (int i = kSelectionRows - kSelectionNew + 1; i <= kSelectionRows; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "S%06d", i);
            fs::create_directories(root / name);
        }
        std::vector<std::vector<std::string>> rows;
        auto measure = [&](const std::string& kind, const std::string& serverType, const std::string& server,
                           velunor::Database& db) {
            const fs::path program = work / "selection" / kind;
            WriteIni(program, serverType, server, work / "selection" / "staging", work / "iso-unused", 0);
            for (bool exists : {true, false}) {
                const std::string place = (exists ? root : missing).string();
                db.Execute("UPDATE tblArchives SET ArchiveUNC = ?, ArchivePath = ?", {place, place});
                double slowest = 0;
                for (int i = 0; i < 3; ++i) slowest = std::max(slowest, RunCollect(program, false).collect);
                const std::string what = kind + ", " + (exists ? "every folder exists (the first 1,000 are taken)"
                                                               : "no folder exists (5,000 look-ups)");
                rows.push_back({what, Sec(slowest), "≤ 5 s", Verdict(slowest <= 5)});
                if (kind != "SQLite") report.checks.push_back({"New selection, 100,000 rows, " + what, slowest, "s", "", 0, 5});
            }
        };
        if (const char* pg = std::getenv("VELUNOR_PG_SERVER"); pg && *pg) {
            const std::string cs = velunor::BuildConnectionString("PostgreSQL", pg);
            auto db = velunor::OpenDatabase("PostgreSQL", pg, cs, 300);
            for (const char* drop : {"DROP VIEW IF EXISTS View_Studies", "DROP TABLE IF EXISTS tblStudies",
                                     "DROP TABLE IF EXISTS tblArchives"})
                db->Execute(drop);
            velunor::CreateArchiveSchema(*db, velunor::SchemaDialect::Postgres);
            FillSelectionRows(*db, true, root);
            db->Execute("ANALYZE");
            measure("PostgreSQL", "PostgreSQL", pg, *db);
        } else {
            rows.push_back({"PostgreSQL: no server (run through `scripts/with-postgres.sh`)", "-", "< 5 s", "-"});
            report.failures.push_back("selection: no PostgreSQL server");
        }
        const fs::path file = work / "selection" / "archive.sqlite";
        velunor::CreateSqliteArchive(file);
        {
            auto db = velunor::OpenDatabase("SQLite3", file.string(), "", 300);
            FillSelectionRows(*db, false, root);
            measure("SQLite", "SQLite3", file.string(), *db);
        }
        fs::remove_all(work / "selection");
        report.sections["SELECTION"] = Table({"Database, study folders", "Velunor (slowest of 3)", "Target", ""}, rows);
    }

    // velunor-cli run --yes in a fresh program directory on the archive
    // database `db` (copied) with LastMediaNr `lastDisc`; the image it
    // wrote is left in `images`. Throws when the run did not write the disc.
    Outcome WholeRun(const fs::path& program, const fs::path& db, const fs::path& images, int lastDisc) {
        fs::remove_all(program);
        fs::remove_all(images);
        fs::create_directories(program);
        fs::copy_file(db, program / "archive.sqlite");
        WriteIni(program, "SQLite3", (program / "archive.sqlite").string(), program / "staging", images, lastDisc);
        fs::copy_file(fs::path(VELUNOR_CLI_PATH), program / "velunor-cli");
        ::sync();
        SpawnOptions captured;
        captured.capture = true;
        captured.mayFail = true;
        const Outcome run = Spawn({(program / "velunor-cli").string(), "run", "--yes", "--notice-ms", "0"}, captured);
        const fs::path image = images / ("DVD " + std::to_string(lastDisc + 1) + ".iso");
        if (run.exitCode != 0 || !fs::exists(image))
            throw std::runtime_error("velunor-cli ended with " + std::to_string(run.exitCode) + ": " +
                                     (run.lines.empty() ? "" : run.lines.back().second) + " " +
                                     ReadText(program / "Logs" / "Error.log"));
        return run;
    }

    // A whole disc through velunor-cli, then the same job scripted with the
    // reference tools on the same data; then the peak memory of a run whose
    // archive holds one very large file.
    void EndToEnd() {
        Step("A whole disc end to end (velunor-cli run)");
        const fs::path program = work / "e2e";
        const fs::path images = work / "e2e-iso";
        const Outcome run = WholeRun(program, data / "archive.sqlite", images, kLastDisc);
        const fs::path image = images / ("DVD " + std::to_string(kLastDisc + 1) + ".iso");
        const std::uint64_t imageBytes = fs::file_size(image);
        // The phases begin where the runner names them.
        const std::vector<std::pair<std::string, std::string>> names{{"Gathering data", "Collection (`DatenKopieren`)"},
                                                                     {"Create dicomdir", "DICOMDIR (`DicomDir`)"},
                                                                     {"Create DVD", "Image build + write (`DVDCreate`)"},
                                                                     {"Verify DVD", "Verification (`DVDVerify`)"},
                                                                     {"Update database", "Database update (`DBUpdate`)"}};
        std::vector<double> begins;
        for (const auto& [line, title] : names) {
            auto it = std::find_if(run.lines.begin(), run.lines.end(),
                                   [&](const auto& l) { return l.second == "Velunor: " + line; });
            if (it == run.lines.end()) throw std::runtime_error("velunor-cli never began \"" + line + "\"");
            begins.push_back(it->first);
        }
        begins.push_back(run.seconds);
        const std::string summary = run.lines.empty() ? "" : run.lines.back().second;
        fs::remove_all(images);
        fs::remove_all(program);

        // The same disc by the reference tools: DCMTK re-encodes the sources
        // in one process (carry-over into 1/, new into 2/, under names
        // dcmmkdir accepts), dcmmkdir, xorriso with the MD5 of every file,
        // and xorriso's check of every file against its MD5.
        const fs::path ref = work / "e2e-ref";
        fs::remove_all(ref);
        const std::string reencoder = VELUNOR_BENCH_DCMTK_REENCODE_PATH;
        double reencode = Timed({reencoder, (ref / "disc" / "1").string(), "1", PartRoot(data, kParts[2]).string()});
        reencode += Timed({reencoder, (ref / "disc" / "2").string(), std::to_string(parts[kParts[2].name].files + 1),
                           PartRoot(data, kParts[0]).string(), PartRoot(data, kParts[1]).string()});
        const double dcmmkdir = Timed({"dcmmkdir", "-q", "-Pgp", "-Nxc", "-nb", "+r", "+id", (ref / "disc").string(), "+D",
                                       (ref / "disc" / "DICOMDIR").string(), "1", "2"});
        const fs::path refImage = ref / "reference.iso";
        const double xorriso = Timed(
            {"xorriso", "-as", "mkisofs", "-R", "-J", "--md5", "-quiet", "-o", refImage.string(), (ref / "disc").string()});
        const double check = Timed({"xorriso", "-md5", "on", "-indev", refImage.string(), "-check_md5_r", "sorry", "/", "--"});
        fs::remove_all(ref);

        const std::vector<std::pair<std::string, double>> refs{{"DCMTK, one process", reencode},
                                                               {"dcmmkdir", dcmmkdir},
                                                               {"xorriso -as mkisofs -R -J --md5", xorriso},
                                                               {"xorriso -check_md5_r", check},
                                                               {"", 0}};
        std::vector<std::vector<std::string>> rows;
        rows.push_back({"Start-up, drive detection", Sec(begins[0]), "", "", "", ""});
        double sumRef = 0;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const double own = begins[i + 1] - begins[i];
            const auto& [refName, refSeconds] = refs[i];
            sumRef += refSeconds;
            rows.push_back({names[i].second, Sec(own), refName.empty() ? "" : "`" + refName + "` " + Sec(refSeconds),
                            refName.empty() ? "" : Ratio(own, refSeconds), "", ""});
        }
        const Check whole{"Whole disc end to end (" + Gb(double(imageBytes)) + " image)", run.seconds, "s",
                          "the same job by DCMTK, dcmmkdir and xorriso", sumRef, kWholeDiscTarget, false};
        rows.push_back({"**Whole run** (" + Gb(double(imageBytes)) + " image, start-up and polling included)",
                        "**" + Sec(run.seconds) + "**", "**sum " + Sec(sumRef) + "**", "**" + Ratio(run.seconds, sumRef) + "**",
                        "≤ " + Fixed(kWholeDiscTarget, 1) + "x", Verdict(whole.Met())});
        report.checks.push_back(whole);
        const double peak = double(run.maxRssKb) / 1024.0, limit = 64 + kLargestFileMb;
        rows.push_back({"Peak memory of velunor-cli", Fixed(peak, 1) + " MB", "", "",
                        "≤ " + Fixed(limit, 1) + " MB (64 MB + largest file)", Verdict(peak <= limit)});
        report.checks.push_back({"Peak memory of a whole run (largest file " + Fixed(kLargestFileMb, 1) + " MB)", peak,
                                 "MB", "", 0, limit});
        rows.push_back({"A real 16x DVD would add", Sec(double(imageBytes) / 22e6) + " of writing", "", "", "", ""});

        // One study of one very large file (1 GB at --size-gb 4), alone in
        // an archive of its own.
        const fs::path big = work / "e2e-big";
        const std::uint64_t bigBytes = std::min<std::uint64_t>(std::uint64_t(0.25e9 * args.sizeGb), 1ull << 30);
        Spawn({Self().string(), "--generate-big-child", big.string(), std::to_string(bigBytes)});
        const double bigMb = double(Measure(big / "archive").bytes) / (1024.0 * 1024.0);
        const Outcome bigRun = WholeRun(big / "program", big / "archive.sqlite", big / "iso", 0);
        fs::remove_all(big);
        const double bigPeak = double(bigRun.maxRssKb) / 1024.0, bigLimit = 64 + bigMb;
        rows.push_back({"Peak memory of velunor-cli, an archive of one " + Fixed(bigMb, 0) + " MB file",
                        Fixed(bigPeak, 1) + " MB in " + Sec(bigRun.seconds), "", "",
                        "≤ " + Fixed(bigLimit, 1) + " MB (64 MB + largest file)", Verdict(bigPeak <= bigLimit)});
        report.checks.push_back({"Peak memory of a whole run (one file of " + Fixed(bigMb, 0) + " MB)", bigPeak, "MB", "",
                                 0, bigLimit});
        report.sections["E2E"] = "Runner's summary: \"" + summary + "\"\n\n" +
                                 Table({"Phase", "Velunor", "Reference", "Ratio", "Target", ""}, rows);
    }
};

std::string MachineSection(const Args& args, const std::string& started, double minutes, const std::string& loadBefore,
                           const std::string& loadAfter) {
    auto version = [](const std::string& package) {
        const std::string v = Capture("dpkg-query -W -f='${Version}' " + package + " 2>/dev/null");
        return v.empty() ? std::string("?") : v;
    };
    std::string free = Capture("free -h");
    std::string out;
    out += "- Run: " + started + ", " + Fixed(minutes, 0) + " minutes, `--size-gb " + Fixed(args.sizeGb, 1) +
           "`, commit " + Capture("git -C '" + fs::current_path().string() + "' rev-parse --short HEAD 2>/dev/null") +
           "\n";
    out += "- Machine: " + Capture("nproc") + " cores (`nproc`), Debian " + Capture("cat /etc/debian_version") +
           ", load average (1, 5, 15 minutes) before / after the run: " + loadBefore + " / " + loadAfter + "\n";
    out += "- Memory (`free -h` at the start):\n\n```\n" + free + "\n```\n\n";
    out += "- Versions: DCMTK " + version("libdcmtk17") + ", libburn " + version("libburn4") + ", libisofs " +
           version("libisofs6") + ", libisoburn/xorriso " + version("xorriso") + ", coreutils " +
           version("coreutils") + ", SQLite " + version("libsqlite3-0") + ", PostgreSQL " + version("postgresql-15") +
           ", psqlODBC " + version("odbc-postgresql") + ", g++ " + std::string(__VERSION__) + "\n";
    return out;
}

int BenchAll(const Args& args) {
    const auto begin = Clock::now();
    const std::string started = Capture("date '+%Y-%m-%d %H:%M %Z'");
    const std::string loadBefore = Capture("cut -d' ' -f1-3 /proc/loadavg");

    Bench b;
    b.args = args;
    b.work = args.work;
    bool ownWork = false;
    if (b.work.empty()) {
        std::string pattern = (fs::temp_directory_path() / "velunor-bench-all-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data())) throw std::runtime_error("cannot create a work folder");
        b.work = buffer.data();
        ownWork = true;
    }
    fs::create_directories(b.work);
    b.data = b.work / "data";
    b.results = b.work / "results.txt";

    // Room: the data set, the staging tree, two images and a copy at most.
    struct statvfs fsInfo {};
    if (::statvfs(b.work.c_str(), &fsInfo) != 0) throw std::runtime_error("cannot measure " + b.work.string());
    const double freeBytes = double(fsInfo.f_bavail) * double(fsInfo.f_frsize);
    const double needed = 4.2 * args.sizeGb * 1e9 + 2e9;
    std::cout << "velunor-bench-all: work folder " << b.work.string() << ", " << Gb(freeBytes) << " free, "
              << Gb(needed) << " needed\n";
    if (freeBytes < needed)
        throw std::runtime_error("the work folder's file system has " + Gb(freeBytes) + " free, the benchmark needs " +
                                 Gb(needed) + " (use --work or a smaller --size-gb)");

    b.Step("Generating the data set");
    const auto genStart = Clock::now();
    Spawn({Self().string(), "--generate-child", b.data.string(), Fixed(args.sizeGb, 3)});
    const double genSeconds = Since(genStart);
    std::vector<std::vector<std::string>> dataRows;
    std::uint64_t totalFiles = 0, totalBytes = 0;
    for (const Part& p : kParts) {
        const Folder f = Measure(PartRoot(b.data, p));
        b.parts[p.name] = f;
        totalFiles += f.files;
        totalBytes += f.bytes;
        dataRows.push_back({std::string("`") + p.name + "`", p.carryOver ? "on disc 7 alone (`DVD 7`)" : "on no disc",
                            Grouped(f.files), Gb(double(f.bytes))});
    }
    dataRows.push_back({"total", "", Grouped(totalFiles), Gb(double(totalBytes))});
    b.report.sections["DATASET"] = Table({"Part", "Studies", "Files", "Size"}, dataRows) +
                                   "\nGenerated in " + Sec(genSeconds) + ".\n";

    const std::vector<std::pair<std::string, std::function<void()>>> steps{
        {"DICOM", [&] { b.Dicom(); }},       {"COLLECT", [&] { b.Collect(); }},
        {"DISC", [&] { b.Disc(); }},         {"SELECTION", [&] { b.Selection(); }},
        {"E2E", [&] { b.EndToEnd(); }}};
    for (const auto& [name, step] : steps) {
        try {
            step();
        } catch (const std::exception& e) {
            b.report.Fail(name, e.what());
        }
        if (name == "DISC") fs::remove_all(b.work / "staging-full");
    }

    const double minutes = Since(begin) / 60;
    const std::string loadAfter = Capture("cut -d' ' -f1-3 /proc/loadavg");
    std::vector<std::vector<std::string>> summary;
    int met = 0;
    for (const Check& c : b.report.checks) {
        summary.push_back(SummaryRow(c));
        met += c.Met() ? 1 : 0;
    }
    b.report.sections["SUMMARY"] =
        Table({"Benchmark", "Velunor", "Reference", "Ratio", "Target", ""}, summary) + "\n" + std::to_string(met) +
        " of " + std::to_string(b.report.checks.size()) + " targets met" +
        (b.report.failures.empty() ? "." : "; not measured: " + std::to_string(b.report.failures.size()) + " step(s).") +
        "\n";
    b.Step("End");
    b.report.sections["RUN"] = MachineSection(args, started, minutes, loadBefore, loadAfter) +
                               "\nLoad average (1, 5, 15 minutes) and memory available (`MemAvailable`) as each step "
                               "began:\n\n" +
                               Table({"Step", "Load average", "Memory available"}, b.conditions);

    std::cout << "\n==== Summary\n" << b.report.sections["SUMMARY"];
    if (!args.templateFile.empty() && !args.outFile.empty()) {
        std::string text = ReadText(args.templateFile);
        if (text.empty()) throw std::runtime_error("empty template " + args.templateFile.string());
        for (const auto& [name, markdown] : b.report.sections) {
            const std::string placeholder = "@" + name + "@";
            for (std::size_t pos; (pos = text.find(placeholder)) != std::string::npos;)
                text.replace(pos, placeholder.size(), markdown);
        }
        WriteText(args.outFile, text);
        std::cout << "Wrote " << args.outFile.string() << "\n";
    }
    if (!args.jsonFile.empty()) {
        WriteText(args.jsonFile, SummaryJson(b.report.checks));
        std::cout << "Wrote " << args.jsonFile.string() << "\n";
    }
    if (ownWork && !args.keep) fs::remove_all(b.work);
    return b.report.failures.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::vector<std::string> a(argv + 1, argv + argc);
        if (a.size() == 3 && a[0] == "--generate-child") return GenerateChild(a[1], std::stod(a[2]));
        if (a.size() == 3 && a[0] == "--generate-big-child") return GenerateBigChild(a[1], std::stoull(a[2]));
        if ((a.size() == 2 || (a.size() == 3 && a[2] == "--dicomdir")) && a[0] == "--collect-child")
            return CollectChild(a[1], a.size() == 3);
        Args args;
        for (std::size_t i = 0; i < a.size(); ++i) {
            auto value = [&]() -> std::string {
                if (i + 1 >= a.size()) throw std::runtime_error(a[i] + " needs a value");
                return a[++i];
            };
            if (a[i] == "--size-gb") args.sizeGb = std::stod(value());
            else if (a[i] == "--work") args.work = value();
            else if (a[i] == "--template") args.templateFile = value();
            else if (a[i] == "--out") args.outFile = value();
            else if (a[i] == "--json") args.jsonFile = value();
            else if (a[i] == "--no-dcmconv") args.dcmconv = false;
            else if (a[i] == "--keep") args.keep = true;
            else throw std::runtime_error("unknown option " + a[i] +
                                          "\nusage: velunor-bench-all [--size-gb S] [--work DIR] [--template FILE] "
                                          "[--out FILE] [--json FILE] [--no-dcmconv] [--keep]");
        }
        // Above 4.4 GB the carry-over and the new studies no longer fit one
        // disc image (4,500,000,000 bytes).
        if (args.sizeGb < 0.1 || args.sizeGb > 4.4) throw std::runtime_error("--size-gb must be in 0.1 .. 4.4");
        return BenchAll(args);
    } catch (const std::exception& e) {
        std::cerr << "velunor-bench-all: " << e.what() << "\n";
        return 2;
    }
}
