// Whole runs of the real velunor-cli in a child process on a generated
// archive whose studies arrive in batches, actions (SIGKILL, faults) at
// chosen moments of a run, and an independent check of what the database
// records against what the images hold.
#pragma once

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

// True in a build with AddressSanitizer, whose quarantine keeps freed memory:
// resident memory says nothing about leaks there (LeakSanitizer does), so
// the memory rules are not judged.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

using test::ArchiveKind;

inline std::string Slurp(const std::filesystem::path& p) { return test::ReadAll(p); }

struct ScenarioOptions {
    ArchiveKind kind = ArchiveKind::Sqlite;
    std::uint64_t seed = 1;
    int batches = 6;              // groups of studies that arrive one after the other (generated then)
    int studiesPerBatch = 3;
    int filesPerStudy = 3;
    std::uint64_t fileBytes = 65536;
    int zipPercent = 20;
    int unreadable = 1;           // studies with an unreadable file (archived with their other files)
    int authBurn = 1;             // AuthBurn of velunor.ini
};

// A temporary world for whole runs: the archive database (SQLite file or
// private PostgreSQL schema) and the studies that arrive, a program folder
// with a copy of velunor-cli and its velunor.ini, the staging tree, the
// image folder and the runs' TMPDIR. Throws std::runtime_error when any of
// it cannot be made.
class Scenario {
public:
    explicit Scenario(const ScenarioOptions& options);

    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path prog() const { return root() / "prog"; }
    std::filesystem::path staging() const { return root() / "staging"; }
    std::filesystem::path images() const { return root() / "iso"; }
    std::filesystem::path cli() const { return prog() / "velunor-cli"; }
    std::filesystem::path logs() const { return prog() / "Logs"; }
    std::filesystem::path tmp() const { return root() / "tmp"; }
    test::TestArchive& db() { return *db_; }
    const archive::Archive& archive() const { return generated_; }

    // velunor.ini: database, TempPath, ImageFolder, AuthBurn, Archive=1, `extra`.
    void WriteIni(const std::string& extra = "", std::optional<int> authBurn = {});
    // The next batch arrives; false when all have.
    bool ReleaseNextBatch();
    int released() const { return released_; }
    int BatchOf(const archive::Study& s) const;   // -1: came through Arrive()
    // Studies that arrived and are on no disc yet.
    int Waiting();
    // Studies generated with `o` below a root of their own arrive; returns
    // their indexes in archive().studies.
    std::vector<std::size_t> Arrive(archive::Options o);
    // Cuts one readable file of a study to two thirds; false when none is left.
    bool Corrupt(std::size_t study, std::mt19937_64& rng);
    // nullopt when missing; throws when it holds no number.
    std::optional<std::int32_t> LastMediaNr() const;

private:
    ScenarioOptions options_;
    test::TempDir dir_;
    std::unique_ptr<test::TestArchive> db_;
    archive::Archive generated_;
    std::vector<int> batchOf_;
    int released_ = 0;
    int arrivals_ = 0;
};

// The DICOM objects of a study still readable at its source.
std::set<std::string> ReadableObjects(const archive::Study& s);

// A moment of a run: the `occurrence`-th entry (or `deletion`) ending with
// `nameEndsWith` in a watched folder ("prog", "iso", "tmp", "DVD", "DVD/1",
// "DVD/2", "DVDTemp", "Unzip"), without one the start; plus a delay.
struct Moment {
    std::string folder;
    std::string nameEndsWith;
    int occurrence = 1;
    bool deletion = false;
    std::chrono::microseconds delay{0};
    std::string Describe() const;
};

struct Action {
    Moment at;
    std::function<void(pid_t child)> act;
};

// For `velunor-cli run --yes --notice-ms 0` (killed after 5 minutes).
struct ChildOptions {
    std::vector<Action> actions{};
    std::optional<std::uint64_t> fileSizeLimit{};   // RLIMIT_FSIZE in bytes
    std::map<std::string, std::string> env{};       // TMPDIR is the scenario's
    bool sampleResources = false;                   // count its descriptors while it runs
};

struct ChildResult : test::ProcessResult {
    bool recorded = false;             // not killed, and LastMediaNr advanced
    std::vector<std::string> fired;    // the moments acted on, described
    std::map<std::string, double> milestones;   // seconds from the start to the first of each
    std::string LastLine() const;
};
inline bool Recorded(const ChildResult& r) { return r.recorded; }

// Runs the scenario's velunor-cli once, acting at the moments.
ChildResult RunCli(const Scenario& scenario, const ChildOptions& options);

// When the child reached the milestones that KillMoment's delays follow.
inline std::map<std::string, double> PhaseLengths(const ChildResult& r) { return r.milestones; }

// The kill moments (`index` modulo kKillMoments): anywhere between two
// milestones, or at a file event of every stretch of a run.
inline constexpr int kKillMoments = 14;
Moment KillMoment(int index, std::mt19937_64& rng, const std::map<std::string, double>& milestones);

// An independent read of an image (xorriso, DCMTK): its volume label and,
// per folder "1" and "2", the SOP Instance UIDs of each Study Instance UID.
struct ImageContent {
    std::string volumeId;
    std::map<std::string, std::map<std::string, std::set<std::string>>> folders;
};

// The archive's invariants (docs/reliability.md), checked against the images.
class Checker {
public:
    explicit Checker(Scenario& scenario) : s_(scenario) {}
    // The violations found. completedDisc: the run recorded its disc (nothing
    // may be left over); pendingRecords: it kept updates in the record journal.
    std::vector<std::string> Check(bool completedDisc, bool pendingRecords = false);
    // Every readable study but the last batch's is on two consecutive discs.
    std::vector<std::string> CheckDrained();
    std::int32_t lastMediaNr() const { return last_; }
    // StudyDirectory2 per study id as the last Check read it.
    const std::map<int, std::string>& values() const { return values_; }

private:
    const ImageContent& Image(std::int32_t disc);
    Scenario& s_;
    std::int32_t last_ = 0;
    bool seen_ = false;
    std::map<std::int32_t, std::pair<std::string, ImageContent>> cache_;   // by size and time
    std::map<std::int32_t, std::string> recordedKeys_;
    std::map<int, std::string> values_;
};

// Runs of velunor-cli with a fault in each of `steps` steps, every invariant
// checked after every run; after a fault a disc must be recorded within
// three runs, and at the end the archive is drained.
//   crash: a SIGKILL at kill moment kinds[i] (every kind in turn when empty)
//   soak:  a fault drawn from every kind once per round in a seeded order;
//          peak memory and descriptors of the plain runs must stay flat
struct SuiteOptions {
    ScenarioOptions scenario{};
    bool soak = false;
    int steps = 14;
    std::vector<int> kinds{};
    std::uint64_t seed = 1;
    std::function<void(const std::string&)> log{};   // a line per step
};
struct SuiteReport {
    int tried = 0;      // faults that struck
    int survived = 0;   // ... after which every invariant held and a disc was recorded
    int missed = 0;     // the run ended before the moment came
    int runs = 0;
    int discs = 0;
    std::vector<std::string> failures;
    std::string resources;               // the soak: peak memory and descriptors
    std::string Summary() const;
};
int FaultKinds();   // the soak's kinds of fault
SuiteReport RunSuite(const SuiteOptions& options);

}  // namespace velunor::reliability
