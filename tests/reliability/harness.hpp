// Reliability harness: whole archive runs of the real velunor-cli in a child
// process, on a generated archive that arrives in batches, with actions
// (SIGKILL, faults) fired at chosen moments of a run, and an independent
// check of what the database records against what the images hold.
//
// Used by the crash-safety, fault-injection and soak tests and by the
// separate commands velunor-crash-suite and velunor-soak.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/archive_db.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor::reliability {

using test::ArchiveKind;

// The StudyDirectory2 value that keeps a study out of every selection until
// its batch "arrives".
inline constexpr const char* kNotYetArrived = "arrives later";

struct ScenarioOptions {
    ArchiveKind kind = ArchiveKind::Sqlite;
    std::uint64_t seed = 1;
    int batches = 6;              // groups of studies that arrive one after the other
    int studiesPerBatch = 3;
    int filesPerStudy = 3;
    std::uint64_t fileBytes = 65536;
    int zipPercent = 20;
    int unreadable = 1;           // studies with an unreadable file (archived with their other files)
    std::filesystem::path cli;    // the velunor-cli copied into the program directory
    std::string extraIni;         // more lines for velunor.ini
    int authBurn = 1;             // AuthBurn of velunor.ini: 1 every run asks, 0 the size decides
};

// A temporary world for whole runs: the generated archive (every batch but
// the released ones marked kNotYetArrived), its database (SQLite file or a
// private PostgreSQL schema), a program directory holding a copy of
// velunor-cli and its velunor.ini, the staging tree and the image folder.
// `batches` may be 0: studies then only come through Arrive().
// Throws std::runtime_error when any of it cannot be made.
class Scenario {
public:
    explicit Scenario(const ScenarioOptions& options);

    const ScenarioOptions& options() const { return options_; }
    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path prog() const { return root() / "prog"; }
    std::filesystem::path staging() const { return root() / "staging"; }
    std::filesystem::path images() const { return root() / "iso"; }
    std::filesystem::path cli() const { return prog() / "velunor-cli"; }
    std::filesystem::path logs() const { return prog() / "Logs"; }
    // The child's TMPDIR: what a run leaves in the system's temporary folder.
    std::filesystem::path tmp() const { return root() / "tmp"; }
    test::TestArchive& db() { return *db_; }
    const archive::Archive& archive() const { return generated_; }

    // (Re)writes velunor.ini: the database, TempPath, ImageFolder,
    // AuthBurn (the option's unless given), Archive=1, and `extra`.
    void WriteIni(const std::string& extra = "", std::optional<int> authBurn = {});

    // The next batch arrives: its studies get StudyDirectory2 NULL. Returns
    // false when every batch has arrived.
    bool ReleaseNextBatch();
    int released() const { return released_; }
    int batches() const { return options_.batches; }
    // The batch a study belongs to (0-based); -1 for a study that came
    // through Arrive().
    int BatchOf(const archive::Study& s) const;
    bool Arrived(const archive::Study& s) const;

    // New studies arrive at once (StudyDirectory2 NULL): generated with
    // `o` (its `out` and `unreadable` are ignored) below an archive root of
    // their own, with study ids after every earlier one. Returns their
    // indexes in archive().studies.
    std::vector<std::size_t> Arrive(archive::Options o);
    // Makes one readable DICOM file or ZIP archive of a study unreadable
    // (cut to two thirds, as a file damaged on the archive's disks). Returns
    // false when the study has no such file left.
    bool Corrupt(std::size_t study, std::mt19937_64& rng);

    // The first line of LastMediaNr as a number; nullopt when the file is
    // missing. Throws std::runtime_error when it holds no number.
    std::optional<std::int32_t> LastMediaNr() const;

private:
    ScenarioOptions options_;
    test::TempDir dir_;
    std::unique_ptr<test::TestArchive> db_;
    archive::Archive generated_;
    std::vector<int> batchOf_;   // per study; -1: arrived through Arrive()
    int released_ = 0;
    int arrivals_ = 0;
    int nextArchiveId_ = 1;
};

// The DICOM objects of a study that can still be read at its source: what
// every disc it is recorded on must hold.
std::set<std::string> ReadableObjects(const archive::Study& s);

// A moment of a run: a phase line of velunor-cli ("Gathering data",
// "Create dicomdir", "Create DVD", "Verify DVD", "Update database"), or the
// `occurrence`-th creation (or rename into) of an entry whose name ends with
// `nameEndsWith` in one of the watched folders ("prog", "iso", "DVD",
// "DVD/1", "DVD/2", "DVDTemp", "Unzip"); plus a delay after it.
struct Moment {
    std::string phase;
    std::string folder;
    std::string nameEndsWith;
    int occurrence = 1;
    bool deletion = false;    // the entry's deletion instead of its creation
    std::chrono::microseconds delay{0};

    std::string Describe() const;
};

// Something done to the running child at a moment.
struct Action {
    Moment at;
    std::function<void(pid_t child)> act;
};

struct ChildOptions {
    std::vector<std::string> args{"run", "--yes", "--notice-ms", "0"};
    std::vector<Action> actions;
    std::optional<std::uint64_t> fileSizeLimit;           // RLIMIT_FSIZE in bytes (SIGXFSZ ignored)
    std::map<std::string, std::string> env;               // set for the child (TMPDIR: the scenario's)
    std::chrono::seconds timeout{300};                    // then SIGKILL, and the result says so
    bool sampleResources = false;                         // count /proc/<pid>/fd while it runs
};

struct ChildResult : test::ProcessResult {
    std::vector<std::string> fired;   // descriptions of the moments reached, in order
    std::map<std::string, double> phaseStart;   // seconds from start to each phase line

    // "Velunor: ..." last line of the output, or "".
    std::string LastLine() const;
};

// True when the child's last line says it recorded a disc.
bool Recorded(const ChildResult& r);
// Seconds each phase of the child's run took, from its phase lines.
std::map<std::string, double> PhaseLengths(const ChildResult& r);

// Runs the scenario's velunor-cli once and fires the actions at their
// moments. Returns when the child has ended. Throws std::runtime_error when
// it cannot be started.
ChildResult RunCli(const Scenario& scenario, const ChildOptions& options);

// A TCP relay on 127.0.0.1 in front of the PostgreSQL test server, so that
// "the database goes away" can be done to one child alone: Stop() closes
// every relayed connection and the listening socket, so new connections
// are refused. Runs one thread; bounded waits only.
class DbProxy {
public:
    // Relays to 127.0.0.1:`targetPort`. Throws std::runtime_error when it
    // cannot listen.
    explicit DbProxy(int targetPort);
    ~DbProxy();
    DbProxy(const DbProxy&) = delete;
    DbProxy& operator=(const DbProxy&) = delete;
    int port() const { return port_; }
    // Idempotent; safe from any thread.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

// The independent read of one image: its volume label and, per folder "1"
// and "2", the SOP Instance UIDs found for each Study Instance UID
// (xorriso extracts, dcmdump reads).
struct ImageContent {
    std::string volumeId;
    std::map<std::string, std::map<std::string, std::set<std::string>>> folders;
    bool Holds(const std::string& folder, const std::string& studyUid) const;
};
ImageContent ReadImage(const std::filesystem::path& iso, const std::filesystem::path& scratch);

// Checks the archive's invariants against the images, remembering what it
// saw between calls:
// - LastMediaNr, once there, holds a number that never decreases;
// - every image is "DVD k.iso" with volume label "DVD k", k at most
//   LastMediaNr + 1, and every k of 1..LastMediaNr has one; the image of a
//   recorded disc never changes again;
// - every StudyDirectory2 value is NULL, "", kNotYetArrived, "not readable",
//   "DVD k" or "DVD a|DVD a+1"; kNotYetArrived only for batches that did not
//   arrive; "not readable" only for a study none of whose objects can be
//   read (a study with one unreadable file is archived with the others);
// - a "DVD ..." value never disappears or changes, except "DVD n" becoming
//   "DVD n|DVD n+1";
// - "DVD n" alone names the last disc (a study on an earlier disc alone was
//   not carried over, and never will be), unless the caller says the last
//   run kept updates for a later run (pendingRecords);
// - a study recorded on disc k is found by the independent read on image k
//   ("DVD k": in 2/; "DVD a|DVD b": anywhere on a, in 1/ of b) with every
//   object of it that can be read (no staged file lost);
// - the carry-over set 1/ of image k holds only studies that image k - 1
//   holds;
// - once LastMediaNr has advanced, DVD/1/ holds no file (it would be
//   carried onto the next disc as a part of a study);
// - with completedDisc: nothing is left over (no image of LastMediaNr + 1,
//   no ".*.iso.part", no LastMediaNr.tmp, no file in the staging folders,
//   nothing in the runs' temporary folder).
class Checker {
public:
    explicit Checker(Scenario& scenario) : s_(scenario) {}
    // Returns the violations found (empty when every invariant holds).
    std::vector<std::string> Check(bool completedDisc, bool pendingRecords = false);
    // Every arrived study with a readable object, but those of the last
    // arrived batch, is on two consecutive discs.
    std::vector<std::string> CheckDrained();
    std::int32_t lastMediaNr() const { return last_; }
    int imagesRead() const { return static_cast<int>(cache_.size()); }
    // The independent read of image k (cached while the file is unchanged).
    const ImageContent& Image(std::int32_t disc);
    // StudyDirectory2 per study id as the last Check read it.
    const std::map<int, std::string>& values() const { return values_; }

private:
    std::string ImageKey(std::int32_t disc) const;
    Scenario& s_;
    std::int32_t last_ = 0;
    bool seen_ = false;
    std::map<std::int32_t, std::pair<std::string, ImageContent>> cache_;   // key: size+mtime
    std::map<std::int32_t, std::string> recordedKeys_;                      // images of recorded discs
    std::map<int, std::string> values_;
};

// The crash-safety suite: kills velunor-cli with SIGKILL at `killPoints`
// moments spread over every phase, then lets it run again, checking the
// invariants after every step, and finally drains the archive.
struct CrashOptions {
    ScenarioOptions scenario;
    int killPoints = 14;
    std::vector<int> kinds;    // KillMoment indexes to cycle through; empty: all 16
    std::uint64_t seed = 1;
    std::function<void(const std::string&)> log;   // progress lines (may be empty)
};
struct CrashReport {
    int tried = 0;       // kills delivered while the run was still going
    int survived = 0;    // ... after which every invariant held and the next run recorded a disc
    int missed = 0;      // the run ended before the moment came
    int runs = 0;
    int discs = 0;
    std::map<std::string, int> triedPerPhase;
    std::map<std::string, int> leftovers;   // what kills left behind for the next run, how often
    std::vector<std::string> failures;
    std::string Summary() const;
};
CrashReport RunCrashSuite(const CrashOptions& options);

// The kill moments the crash suite cycles through (16 kinds; `index` picks
// one): phase lines with delays drawn from the phase's measured length in
// seconds, and the file events of staging, the DICOMDIR, the image write,
// publication and the LastMediaNr write, with short random delays.
Moment KillMoment(int index, std::mt19937_64& rng, const std::map<std::string, double>& phaseLength);

// Text of a file ("" when missing).
std::string Slurp(const std::filesystem::path& p);

}  // namespace velunor::reliability
