// The archive's life: consecutive unattended runs of the real run controller
// with arrivals and seeded faults (see life.hpp).
#include "tests/reliability/life.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <thread>

#include "app/program/program.hpp"

namespace velunor::reliability {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

enum class Fault { None, CorruptNew, CorruptCarryOver, DatabaseGone, DatabaseRefuses, Verification, Killed, SecondRun };

const char* Name(Fault f) {
    switch (f) {
    case Fault::None: return "none";
    case Fault::CorruptNew: return "corrupt new";
    case Fault::CorruptCarryOver: return "corrupt carry-over";
    case Fault::DatabaseGone: return "database gone";
    case Fault::DatabaseRefuses: return "database refuses";
    case Fault::Verification: return "verification";
    case Fault::Killed: return "killed";
    case Fault::SecondRun: return "second run";
    }
    return "?";
}

// Faults after which a run may end without a disc.
bool StopsTheRun(Fault f) {
    return f == Fault::DatabaseGone || f == Fault::DatabaseRefuses || f == Fault::Verification || f == Fault::Killed;
}

long StatusKb(const std::string& key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    return 0;
}

int OpenFds() {
    int n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it) ++n;
    return n - 1;   // the iterator's own descriptor
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

std::string Mb(std::uintmax_t bytes) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(2) << static_cast<double>(bytes) / 1e6 << " MB";
    return s.str();
}

// Files and sizes in the staging tree: what a run that must not start
// leaves as it was.
std::string StagingListing(const fs::path& staging) {
    std::string out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(staging, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        out += it->path().lexically_relative(staging).string();
        if (it->is_regular_file()) out += " " + std::to_string(it->file_size());
        out += "\n";
    }
    return out;
}

// Overwrites an image with zeros after its system area: nothing of it reads
// back.
void DamageImage(const fs::path& iso) {
    std::error_code ec;
    const auto size = fs::file_size(iso, ec);
    if (ec || size <= 32768) return;
    std::fstream f(iso, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(32768);
    const std::string zeros(65536, '\0');
    for (std::uintmax_t at = 32768; at < size; at += zeros.size())
        f.write(zeros.data(), static_cast<std::streamsize>(std::min<std::uintmax_t>(zeros.size(), size - at)));
}

// The run events of the life's window: every question answered Yes, the
// last outcome kept, and a hook when a phase starts. Keeps nothing else, so
// that a thousand runs do not grow the process.
struct LifeEvents : RunEvents {
    RunOutcome last;
    int started = 0;
    std::function<void(RunPhase)> onPhase;

    void RunStarted() override { ++started; }
    void PhaseStarted(RunPhase phase) override {
        if (onPhase) onPhase(phase);
    }
    void Progress(RunPhase, int) override {}
    void Status(const std::string&) override {}
    void CancelAllowed(bool) override {}
    Answer Ask(const Question& q) override { return q.buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok; }
    void Notice(const std::string&, const std::string&, std::chrono::milliseconds,
                const std::function<bool()>& onTick) override {
        for (int tick = 0; tick < 100 && onTick(); ++tick) {
        }
    }
    void Drive(const std::string&, bool) override {}
    void Yield() override {}
    void RunEnded(const RunOutcome& outcome) override { last = outcome; }
};

// A window of the program on this process: headless, unattended, no waits.
struct Window {
    LifeEvents events;
    Shell shell;
    std::unique_ptr<DiscWriter> writer;
    std::unique_ptr<RunController> controller;

    Window(const Scenario& s, const CollectLimits& limits) : shell(s.prog(), events) {
        shell.log.markerPath = s.root() / "Velunor.ready";
        shell.timing.noticeStep = std::chrono::milliseconds(0);
        shell.timing.detectDelay = std::chrono::milliseconds(0);
        shell.timing.autoTickLimit = 0;   // every TimerWrite tick starts a run
        LoadConfiguration(shell.settings, s.prog());
        writer = MakeProgramWriter(shell.settings);
        controller = std::make_unique<RunController>(shell, *writer, ProgramPhases(limits), "AUTO");
        controller->TimerDVDTick();   // drive detection
    }

    // Ticks TimerDVD until the active run has ended; false when it did not
    // within a minute.
    bool Finish() {
        for (int tick = 0; tick < 30000 && controller->Active(); ++tick) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            controller->TimerDVDTick();
        }
        return !controller->Active();
    }
};

// What the life knows of a study besides the scenario.
struct Known {
    std::string kind;               // "ordinary", "just below", "just above", "larger than a disc"
    std::uintmax_t pixelBytes = 0;  // nominal pixel data of one image object
    int arrivedInRun = 0;
    int discsAtArrival = 0;
};

class Life {
public:
    explicit Life(const LifeOptions& o) : o_(o), rng_(o.seed), limits_{o.capacityBytes, 1000, o.megabyte} {
        ScenarioOptions so;
        so.kind = ArchiveKind::Sqlite;
        so.seed = o.seed;
        so.batches = 0;
        so.authBurn = 0;   // unattended: the size decides
        s_ = std::make_unique<Scenario>(so);
        checker_ = std::make_unique<Checker>(*s_);
        ::setenv("TMPDIR", s_->tmp().c_str(), 1);
    }

    LifeReport Live();

private:
    // A broken rule, reported the first time it is seen.
    void Fail(const std::string& what) {
        if (reported_.insert(what).second) report_.failures.push_back("run " + std::to_string(run_) + ": " + what);
    }
    std::string ErrorLog() const { return Slurp(s_->logs() / "Error.log"); }

    std::int32_t Last() const { return s_->LastMediaNr().value_or(0); }
    bool Waiting(const std::string& value) const { return value.empty(); }
    std::string ValueOf(const archive::Study& st) const {
        auto it = checker_->values().find(st.studyId);
        return it == checker_->values().end() ? std::string() : it->second;
    }
    // Larger than a disc, counting what can be read: a study that arrived
    // too large but lost files to corruption may fit, and is then archived.
    bool Oversized(const archive::Study& st) const {
        return known_.at(st.studyId).kind == "larger than a disc" && (st.readable || StagedBytes(st) >= o_.capacityBytes);
    }
    // What the study's readable objects take at least once staged: 98 % of
    // their nominal pixel data (the generator rounds images to even
    // squares; reports count nothing).
    std::uintmax_t StagedBytes(const archive::Study& st) const {
        std::uintmax_t images = 0;
        for (const auto& f : st.files)
            if ((f.kind == archive::File::Kind::Dicom || f.kind == archive::File::Kind::Zip) && f.modality != "SR" &&
                f.modality != "DOC")
                ++images;
        return images * known_.at(st.studyId).pixelBytes * 98 / 100;
    }
    // Waiting studies that fit on a disc, in the order the selection
    // takes them (arrival), with their staged sizes.
    std::vector<std::uintmax_t> WaitingSizes() const;
    std::uintmax_t RoomLeft() const;

    void Arrivals(bool corrupt);
    void ArriveOne(const std::string& kind, std::uintmax_t bytes, bool corrupt, bool corruptAll);
    bool CorruptCarryOver();
    std::string RunInProcess(Fault fault, bool& recorded, bool& journalKept, bool& fired);
    std::string RunKilledChild(bool& recorded);
    void SecondWindow();
    void CheckAfter(Fault fault, bool recorded, bool pending, std::int32_t lastBefore, int verifyBefore,
                    bool discWorthWaiting);
    void Close();

    LifeOptions o_;
    std::mt19937_64 rng_;
    CollectLimits limits_;
    std::unique_ptr<Scenario> s_;
    std::unique_ptr<Checker> checker_;
    std::unique_ptr<Window> w_;
    LifeReport report_;
    std::map<int, Known> known_;
    std::set<std::int32_t> unscaledDiscs_;   // written by a velunor-cli child (shipped limits)
    std::map<std::int32_t, int> verifyFailures_;
    std::map<std::string, double> cliLengths_;
    std::set<std::string> reported_;
    int run_ = 0;
    int stalledRuns_ = 0;
    bool journalPending_ = false;
    bool damageArmed_ = false;
    bool damageFired_ = false;
    int fdsAfterFifth_ = -1;
    long rssAfterTenth_ = 0;
};

std::vector<std::uintmax_t> Life::WaitingSizes() const {
    std::vector<std::uintmax_t> sizes;
    for (const auto& st : s_->archive().studies)
        if (!Oversized(st) && Waiting(ValueOf(st)) && !ReadableObjects(st).empty()) sizes.push_back(StagedBytes(st));
    return sizes;
}

// The room left on the disc the waiting studies fill, as the capacity gate
// fills discs one after the other.
std::uintmax_t Life::RoomLeft() const {
    std::uintmax_t filled = 0;
    for (std::uintmax_t bytes : WaitingSizes()) {
        if (filled + bytes >= o_.capacityBytes) filled = 0;
        filled += bytes;
    }
    return filled >= o_.capacityBytes ? 0 : o_.capacityBytes - filled;
}

void Life::ArriveOne(const std::string& kind, std::uintmax_t bytes, bool corrupt, bool corruptAll) {
    auto uniform = [this](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); };
    archive::Options a;
    a.seed = o_.seed * 1000003 + static_cast<std::uint64_t>(report_.runs) * 101 + known_.size();
    a.studies = 1;
    a.filesPerStudy = uniform(2, 4);
    // Square images of the size asked for (ultrasound comes in whole
    // frames of 900 KB, which would blur the sizes that matter here).
    a.modalities = {archive::Modality::CT, archive::Modality::MR, archive::Modality::CR};
    a.roots = uniform(1, 2);
    a.zipPercent = 20;
    a.reports = kind == "ordinary";
    a.syntaxes = {archive::Syntax::ExplicitLittle, archive::Syntax::ImplicitLittle, archive::Syntax::ExplicitBig,
                  archive::Syntax::Deflated};
    // A staged object: its pixel data plus about 1.5 KB of attributes.
    a.fileBytes = std::max<std::uintmax_t>(bytes / static_cast<std::uintmax_t>(a.filesPerStudy), 6000) - 1500;
    for (std::size_t index : s_->Arrive(a)) {
        const archive::Study& st = s_->archive().studies[index];
        known_[st.studyId] = {kind, a.fileBytes, run_, Last()};
        ++report_.arrivals[kind];
        if (st.zipped) ++report_.arrivals["(of them ZIP)"];
        if (!corrupt) continue;
        ++report_.faults[Name(Fault::CorruptNew)];
        const int files = corruptAll ? 100 : 1;
        for (int i = 0; i < files && s_->Corrupt(index, rng_); ++i) {
        }
        if (corruptAll) ++report_.faults["corrupt new (every file)"];
    }
}

void Life::Arrivals(bool corrupt) {
    auto chance = [this](double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; };
    const int count = std::uniform_int_distribution<int>(0, 3)(rng_);
    const std::uintmax_t cap = o_.capacityBytes;
    const int corruptOne = corrupt ? std::uniform_int_distribution<int>(0, std::max(0, count - 1))(rng_) : -1;
    for (int i = 0; i < std::max(count, corrupt ? 1 : 0); ++i) {
        const double u = std::uniform_real_distribution<double>(0, 1)(rng_);
        const double delta = std::uniform_real_distribution<double>(0.002, 0.02)(rng_) * static_cast<double>(cap);
        const std::uintmax_t room = RoomLeft();
        std::string kind = "ordinary";
        double bytes = std::uniform_real_distribution<double>(0.05, 0.5)(rng_) * static_cast<double>(cap);
        if (u < 0.07) {
            kind = "larger than a disc";
            bytes = std::uniform_real_distribution<double>(1.15, 1.5)(rng_) * static_cast<double>(cap);
        } else if (u < 0.2 && static_cast<double>(room) - delta > 0.04 * static_cast<double>(cap)) {
            kind = "just below the room";
            bytes = static_cast<double>(room) - delta;
        } else if (u < 0.33 && static_cast<double>(room) + delta < 0.95 * static_cast<double>(cap)) {
            kind = "just above the room";
            bytes = static_cast<double>(room) + delta;
        }
        ArriveOne(kind, static_cast<std::uintmax_t>(bytes), i == corruptOne, i == corruptOne && chance(0.3));
    }
}

// A source file of a study on the last disc alone becomes unreadable before
// the study is carried over. At least one of its objects stays readable.
bool Life::CorruptCarryOver() {
    const std::string last = "DVD " + std::to_string(Last());
    std::vector<std::size_t> candidates;
    const auto& studies = s_->archive().studies;
    for (std::size_t i = 0; i < studies.size(); ++i)
        if (ValueOf(studies[i]) == last && ReadableObjects(studies[i]).size() >= 2) candidates.push_back(i);
    if (candidates.empty()) return false;
    return s_->Corrupt(candidates[rng_() % candidates.size()], rng_);
}

// A second window on the same program folder presses Start while the first
// one's run is active.
void Life::SecondWindow() {
    const std::string before = StagingListing(s_->staging());
    Window second(*s_, limits_);
    second.controller->StartClicked();
    const RunOutcome& sum = second.events.last;
    const std::string expected = "another run is active (process " + std::to_string(::getpid()) + ")";
    if (!sum.couldNotStart || sum.why != expected)
        Fail("a second window pressing Start during an active run: couldNotStart " +
             std::string(sum.couldNotStart ? "true" : "false") + ", why \"" + sum.why + "\", expected \"" + expected +
             "\"");
    if (second.controller->Active()) {
        Fail("the second window started a run while another was active");
        if (!second.Finish()) Fail("the second window's run did not end");
    }
    if (StagingListing(s_->staging()) != before) Fail("the second window's Start changed the staging tree");
}

std::string Life::RunInProcess(Fault fault, bool& recorded, bool& journalKept, bool& fired) {
    RunController& c = *w_->controller;
    const int started = w_->events.started;
    c.TimerWriteTick();
    if (w_->events.started != started + 1) Fail("the unattended tick started no run");
    if (fault == Fault::SecondRun && c.Active()) {
        fired = true;
        SecondWindow();
    }
    if (!w_->Finish()) Fail("the run did not end within a minute");
    const RunOutcome& sum = w_->events.last;
    recorded = sum.discRecorded;
    journalKept = sum.journalKept;
    if (recorded)
        return "DVD " + std::to_string(sum.discNumber) + " recorded (" + std::to_string(sum.studies1.size()) +
               " carried over, " + std::to_string(sum.studies2.size()) + " new" +
               (sum.oversizedStudies ? ", " + std::to_string(sum.oversizedStudies) + " larger than a disc" : "") +
               (sum.partlyUnreadable.empty() ? "" : ", " + std::to_string(sum.partlyUnreadable.size()) + " in part") +
               ")";
    if (!sum.why.empty()) return "no disc: " + sum.why;
    // The last line of the error log, without its time stamp.
    std::string log = ErrorLog();
    while (!log.empty() && (log.back() == '\n' || log.back() == '\r')) log.pop_back();
    const auto start = log.rfind('\n');
    return "no disc: " + log.substr(start == std::string::npos ? 0 : start + 1);
}

// The run done by a velunor-cli child, killed at a random moment.
std::string Life::RunKilledChild(bool& recorded) {
    s_->WriteIni("", 1);   // the child asks, and --yes answers
    ChildOptions co;
    const int kind = static_cast<int>(rng_() % 16);
    const Moment m = KillMoment(kind, rng_, cliLengths_);
    co.actions.push_back({m, [](pid_t pid) { ::kill(pid, SIGKILL); }});
    const std::int32_t lastBefore = Last();
    ChildResult r = RunCli(*s_, co);
    s_->WriteIni();
    for (const auto& [phase, seconds] : PhaseLengths(r)) cliLengths_[phase] = seconds;
    // Images this child wrote hold what the shipped limits let in.
    for (std::int32_t k = lastBefore + 1; fs::exists(s_->images() / ("DVD " + std::to_string(k) + ".iso")); ++k)
        unscaledDiscs_.insert(k);
    const bool killed = !r.fired.empty() && r.signalled;
    recorded = !r.signalled && Recorded(r);
    if (!killed && (r.signalled || (r.status != 0 && r.status != 1)))
        Fail("velunor-cli ended with " + (r.signalled ? std::string("a signal") : "status " + std::to_string(r.status)) +
             ": " + r.output.substr(r.output.size() > 1500 ? r.output.size() - 1500 : 0));
    return (killed ? "killed at " + m.Describe() : "not killed (" + m.Describe() + "): " + r.LastLine());
}

void Life::CheckAfter(Fault fault, bool recorded, bool pending, std::int32_t lastBefore, int verifyBefore,
                      bool discWorthWaiting) {
    for (const auto& v : checker_->Check(recorded, pending)) Fail(v);
    const std::int32_t last = checker_->lastMediaNr();
    if (last > lastBefore + 1)
        Fail("LastMediaNr went from " + std::to_string(lastBefore) + " to " + std::to_string(last) + " in one run");

    // No number fails its verification twice.
    const int verifyAfter = Count(ErrorLog(), "Verification failed!");
    if (verifyAfter > verifyBefore && ++verifyFailures_[lastBefore + 1] == 2)
        Fail("disc " + std::to_string(lastBefore + 1) + " failed its verification twice");

    // Larger than a disc: waiting, never recorded on a disc of the scaled size.
    for (const auto& st : s_->archive().studies) {
        if (!Oversized(st)) continue;
        const std::string value = ValueOf(st);
        if (value.rfind("DVD ", 0) != 0) continue;
        // Only a disc written with the shipped limits can hold it.
        if (!unscaledDiscs_.count(std::atoi(value.c_str() + 4)))
            Fail("study " + std::to_string(st.studyId) + ", larger than a disc, holds \"" + value + "\"");
    }

    // No stall: a disc's worth waiting gives a disc within two runs that no
    // fault stopped.
    if (recorded) stalledRuns_ = 0;
    else if (discWorthWaiting && !StopsTheRun(fault) && ++stalledRuns_ == 2)
        Fail("runs " + std::to_string(run_ - 1) + " and " + std::to_string(run_) +
             " wrote no disc while a disc's worth of data was waiting");

    // Descriptors and memory of this process.
    if (fault != Fault::Killed) {
        const int fds = OpenFds();
        if (run_ == 5) fdsAfterFifth_ = fds;
        else if (fdsAfterFifth_ >= 0 && fds > fdsAfterFifth_)
            Fail(std::to_string(fds) + " descriptors open, " + std::to_string(fdsAfterFifth_) + " after the fifth run");
    }
    if (run_ == 10) rssAfterTenth_ = StatusKb("VmRSS");
}

void Life::Close() {
    // Every study larger than a disc that waited through five discs has been
    // named in the error log.
    const std::string log = ErrorLog();
    const std::int32_t last = checker_->lastMediaNr();
    for (const auto& st : s_->archive().studies) {
        if (!Oversized(st) || last - known_.at(st.studyId).discsAtArrival < 5 || !ValueOf(st).empty()) continue;
        if (log.find(st.studyUid) == std::string::npos && log.find(st.directory1) == std::string::npos)
            Fail("study " + std::to_string(st.studyId) + " (" + st.directory1 +
                 "), larger than a disc, is not named in Logs/Error.log");
    }
    const long rss = StatusKb("VmRSS");
    // AddressSanitizer holds freed memory in quarantine: resident memory
    // says nothing about leaks there (LeakSanitizer does).
    if (!kUnderAddressSanitizer && run_ > 20 && rss - rssAfterTenth_ > 16 * 1024)
        Fail("resident memory grew from " + std::to_string(rssAfterTenth_) + " KB after run 10 to " +
             std::to_string(rss) + " KB");
    for (const auto& st : s_->archive().studies) {
        const std::string value = ValueOf(st);
        std::string state;
        if (Oversized(st)) state = "larger than a disc";
        else if (value.empty()) state = "waiting";
        else if (value == "not readable") state = "not readable";
        else if (value.find('|') != std::string::npos) state = "on two discs";
        else state = "on the last disc alone";
        ++report_.states[state];
        if (!ReadableObjects(st).empty() && !st.readable && value.rfind("DVD", 0) == 0)
            ++report_.states["(of them archived without an unreadable file)"];
    }
}

LifeReport Life::Live() {
    const auto start = Clock::now();
    if (std::string problem = StartupProblem(); !problem.empty()) {
        report_.failures.push_back(problem);
        return report_;
    }
    w_ = std::make_unique<Window>(*s_, limits_);
    if (!w_->controller->CanStart()) {
        report_.failures.push_back("the image-folder drive was not found");
        return report_;
    }
    std::vector<Fault> round;
    for (int run = 1; run <= o_.runs; ++run) {
        run_ = run;
        ++report_.runs;
        // The fault of this run.
        Fault fault = Fault::None;
        if (run >= 3 && run % o_.faultEvery == 0) {
            if (round.empty()) {
                round = {Fault::CorruptNew,  Fault::CorruptCarryOver, Fault::DatabaseGone, Fault::DatabaseRefuses,
                         Fault::Verification, Fault::Killed,          Fault::SecondRun};
                std::shuffle(round.begin(), round.end(), rng_);
            }
            fault = round.back();
            round.pop_back();
        }
        Arrivals(fault == Fault::CorruptNew);
        for (const auto& v : checker_->Check(false, journalPending_)) Fail(v);
        const auto sizes = WaitingSizes();
        std::uintmax_t waiting = 0;
        for (auto b : sizes) waiting += b;
        const bool discWorth = waiting >= o_.capacityBytes;
        const std::int32_t lastBefore = Last();
        const int verifyBefore = Count(ErrorLog(), "Verification failed!");

        bool fired = fault == Fault::CorruptNew;
        if (fault == Fault::CorruptCarryOver) fired = CorruptCarryOver();
        const fs::path dbFile = s_->db().server();
        if (fault == Fault::DatabaseGone) {
            fs::rename(dbFile, dbFile.string() + ".away");
            fired = true;
        }
        if (fault == Fault::DatabaseRefuses) {
            s_->db().db().Execute(
                "CREATE TRIGGER life_refuses BEFORE UPDATE ON tblStudies BEGIN SELECT RAISE(ABORT, "
                "'the archive refuses writes'); END");
            fired = true;
        }
        damageArmed_ = fault == Fault::Verification;
        damageFired_ = false;
        w_->events.onPhase = [this](RunPhase phase) {
            if (!damageArmed_ || phase != RunPhase::Verify) return;
            const fs::path iso = s_->images() / ("DVD " + std::to_string(Last() + 1) + ".iso");
            if (!fs::exists(iso)) return;
            DamageImage(iso);
            damageArmed_ = false;
            damageFired_ = true;
        };

        bool recorded = false, journalKept = false;
        std::string outcome;
        const auto runStart = Clock::now();
        if (fault == Fault::Killed) {
            outcome = RunKilledChild(recorded);
            fired = true;
        } else {
            outcome = RunInProcess(fault, recorded, journalKept, fired);
        }
        if (fault == Fault::Verification) fired = damageFired_;
        damageArmed_ = false;
        if (fault == Fault::DatabaseGone) fs::rename(dbFile.string() + ".away", dbFile);
        if (fault == Fault::DatabaseRefuses) s_->db().db().Execute("DROP TRIGGER life_refuses");
        if (fired && fault != Fault::CorruptNew) ++report_.faults[Name(fault)];
        if (recorded) ++report_.discs;

        const double seconds = std::chrono::duration<double>(Clock::now() - runStart).count();
        const bool dbStopped = fault == Fault::DatabaseGone || fault == Fault::Killed;
        if (fault != Fault::Killed) journalPending_ = journalKept || (journalPending_ && dbStopped);
        const std::size_t failuresBefore = report_.failures.size();
        CheckAfter(fired ? fault : Fault::None, recorded, journalPending_, lastBefore, verifyBefore, discWorth);

        std::ostringstream line;
        line << "run " << std::setw(4) << run << "  " << std::left << std::setw(19)
             << (fault == Fault::None ? "" : std::string(Name(fault)) + (fired ? "" : " (missed)")) << std::right
             << std::fixed << std::setprecision(2) << std::setw(6) << seconds << " s  waiting " << std::setw(8)
             << Mb(waiting) << " (" << sizes.size() << ")  -> " << outcome
             << (report_.failures.size() > failuresBefore ? "  FAILED" : "");
        report_.lines.push_back(line.str());
        if (o_.log) o_.log(line.str());
    }
    Close();
    w_.reset();
    report_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return report_;
}

}  // namespace

std::string LifeReport::Table() const {
    std::ostringstream t;
    t << "life: " << runs << " runs, " << discs << " discs recorded, " << std::fixed << std::setprecision(1)
      << seconds << " s\n";
    auto section = [&t](const char* title, const std::map<std::string, int>& rows) {
        t << title << "\n";
        for (const auto& [name, n] : rows) t << "  " << std::left << std::setw(46) << name << std::right << std::setw(6) << n << "\n";
    };
    section("studies per state at the end:", states);
    section("studies arrived:", arrivals);
    section("faults that struck:", faults);
    t << failures.size() << " broken rules\n";
    return t.str();
}

LifeReport RunLife(const LifeOptions& options) { return Life(options).Live(); }

}  // namespace velunor::reliability
