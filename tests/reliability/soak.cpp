// The soak: consecutive velunor-cli runs on a growing archive with seeded
// random faults between them, watching memory and file descriptors (see
// soak.hpp).
#include "tests/reliability/soak.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sstream>


namespace velunor::reliability {
namespace {

namespace fs = std::filesystem;
using Options = SoakOptions;

struct Sample {
    int run = 0;
    std::string fault;
    std::string outcome;
    long rssKb = 0;   // peak of the child
    int fds = 0;
};

// Debris of a killed run, in every place a run writes.
void PlantDebris(Scenario& s, std::mt19937_64& rng) {
    const int label = s.LastMediaNr().value_or(0) + 1;
    test::WriteAll(s.images() / (".DVD " + std::to_string(label) + ".iso.part"), std::string(70000, 'p'));
    test::WriteAll(s.prog() / "LastMediaNr.tmp", " 9");
    test::WriteAll(s.staging() / "DVD/1/.IM00001.dcm.Ab12Cd", "half a DICOM fi");
    test::WriteAll(s.staging() / "DVD/2/stale.dcm", "debris");
    test::WriteAll(s.staging() / "DVDTemp/half.dcm", "debris");
    test::WriteAll(s.staging() / "Unzip/x.zip", "debris");
    test::WriteAll(s.staging() / "DVD/.Dicomdir.Zz99Yy", "debris");
    const fs::path work = s.tmp() / ("velunor-dicomdir-soak" + std::to_string(rng() % 100000));
    fs::create_directories(work);
    test::WriteAll(work / ".owner", "");
    test::WriteAll(work / "F0000001", "a link's worth of data");
}

// The database away for one run, and back afterwards.
class DatabaseAway {
public:
    explicit DatabaseAway(Scenario& s) : s_(s) {
        if (s.db().kind() == ArchiveKind::Sqlite) {
            file_ = s.db().server();
            fs::rename(file_, file_.string() + ".away");
        } else {
            // A relay that is stopped at once: its port refuses connections.
            proxy_ = std::make_unique<DbProxy>(1);
            proxy_->Stop();
        }
    }
    ~DatabaseAway() {
        std::error_code ec;
        if (!file_.empty()) fs::rename(file_.string() + ".away", file_, ec);
    }
    DatabaseAway(const DatabaseAway&) = delete;
    DatabaseAway& operator=(const DatabaseAway&) = delete;
    // The PGPORT that reaches nothing (PostgreSQL only).
    std::string port() const { return proxy_ ? std::to_string(proxy_->port()) : ""; }

private:
    Scenario& s_;
    fs::path file_;
    std::unique_ptr<DbProxy> proxy_;
};

bool Recorded(const std::string& lastLine) { return lastLine.find("written and recorded") != std::string::npos; }

// Studies that arrived and are on no disc yet.
bool Waiting(Scenario& s) {
    auto rows = s.db().Open()->Query(
        "SELECT count(*) AS n FROM tblStudies WHERE StudyDirectory2 IS NULL OR StudyDirectory2 = ''");
    return rows->Next() && rows->Field("n").value_or("0") != "0";
}

ScenarioOptions ScenarioFor(const Options& o) {
    ScenarioOptions so;
    so.kind = o.kind;
    so.seed = o.seed;
    so.batches = o.runs + 3;
    so.studiesPerBatch = 3;
    so.filesPerStudy = 3;
    so.fileBytes = 200000;
    return so;
}

void Print(const std::vector<Sample>& samples) {
    std::cout << std::left << std::setw(5) << "run" << std::setw(28) << "fault" << std::right << std::setw(12)
              << "peak RSS KB" << std::setw(6) << "fds" << "  outcome\n";
    for (const auto& x : samples)
        std::cout << std::left << std::setw(5) << x.run << std::setw(28) << x.fault << std::right << std::setw(12)
                  << x.rssKb << std::setw(6) << x.fds << "  " << x.outcome << "\n";
}

// Drains: studies still waiting go onto discs, then one more batch carries
// the last ones over. Returns the problems found.
std::vector<std::string> Drain(Scenario& s, Checker& checker, const std::function<std::string()>& run) {
    std::vector<std::string> problems;
    for (int round = 0; round < 2; ++round) {
        for (int attempt = 0; attempt < 3 && Waiting(s); ++attempt) {
            const std::string last = run();
            for (const auto& v : checker.Check(Recorded(last))) problems.push_back("drain: " + v);
        }
        if (Waiting(s)) problems.push_back("drain: studies stayed on no disc");
        if (round == 0 && !s.ReleaseNextBatch()) break;
    }
    for (const auto& v : checker.CheckDrained()) problems.push_back("drain: " + v);
    return problems;
}

// ---------------------------------------------------------------- velunor-cli runs

std::vector<std::string> SoakCli(const Options& o) {
    std::vector<std::string> problems;
    Scenario s(ScenarioFor(o));
    Checker checker(s);
    std::mt19937_64 rng(o.seed);
    std::map<std::string, double> lengths;
    std::vector<Sample> samples;
    for (int i = 1; i <= o.runs; ++i) {
        if (!Waiting(s)) s.ReleaseNextBatch();
        ChildOptions co;
        co.sampleResources = true;
        std::unique_ptr<DatabaseAway> away;
        std::string fault = "none";
        switch (i == 1 ? 0 : rng() % 6) {
        case 1: {
            Moment m = KillMoment(static_cast<int>(rng() % 16), rng, lengths);
            co.actions.push_back({m, [](pid_t pid) { ::kill(pid, SIGKILL); }});
            fault = "SIGKILL: " + (!m.phase.empty() ? m.phase
                                   : m.deletion     ? "emptying " + m.folder
                                                    : m.folder + "/*" + m.nameEndsWith);
            break;
        }
        case 2:
            PlantDebris(s, rng);
            fault = "debris of a killed run";
            break;
        case 3:
            away = std::make_unique<DatabaseAway>(s);
            if (!away->port().empty()) co.env["PGPORT"] = away->port();
            fault = "database gone";
            break;
        case 4:
            co.fileSizeLimit = 1000000;
            fault = "image folder full";
            break;
        default: break;
        }
        ChildResult r = RunCli(s, co);
        const bool killed = !r.fired.empty() && r.signalled;
        // 0 or 1; 2 (could not start) only without a database; anything else
        // is a crash or a sanitizer's finding.
        const bool expected = r.status == 0 || r.status == 1 || (r.status == 2 && away);
        if (!killed && (r.signalled || !expected))
            problems.push_back("cli run " + std::to_string(i) + " (" + fault + "): velunor-cli ended with " +
                               (r.signalled ? std::string("a signal") : "status " + std::to_string(r.status)) + ": " +
                               r.output.substr(r.output.size() > 2000 ? r.output.size() - 2000 : 0));
        const bool recorded = Recorded(r.LastLine());
        if (recorded) {
            // Phase lengths of a whole run, for the kill moments.
            const std::vector<std::string> order{"Gathering data", "Create dicomdir", "Create DVD", "Verify DVD",
                                                 "Update database"};
            for (std::size_t k = 0; k < order.size(); ++k) {
                auto at = r.phaseStart.find(order[k]);
                if (at == r.phaseStart.end()) continue;
                auto next = k + 1 < order.size() ? r.phaseStart.find(order[k + 1]) : r.phaseStart.end();
                lengths[order[k]] = (next == r.phaseStart.end() ? r.seconds : next->second) - at->second;
            }
        }
        away.reset();
        const std::string last = r.LastLine();
        samples.push_back({i, fault, killed ? "killed" : last.substr(std::min<std::size_t>(9, last.size())),
                           r.maxRssKb, r.maxFds});
        for (const auto& v : checker.Check(recorded && !r.signalled))
            problems.push_back("cli run " + std::to_string(i) + " (" + fault + "): " + v);
    }
    for (const auto& p : Drain(s, checker, [&] { return RunCli(s, {}).LastLine(); })) problems.push_back("cli " + p);

    std::cout << "velunor-cli runs:\n";
    Print(samples);
    // Flat: a run that wrote a disc peaks at about the same memory and
    // descriptors as the others (the discs are of a size).
    std::vector<long> rss;
    std::vector<int> fds;
    for (const auto& x : samples)
        if (Recorded(x.outcome)) {
            rss.push_back(x.rssKb);
            fds.push_back(x.fds);
        }
    if (rss.size() >= 4) {
        const auto [minRss, maxRss] = std::minmax_element(rss.begin(), rss.end());
        const auto [minFds, maxFds] = std::minmax_element(fds.begin(), fds.end());
        std::cout << "runs that recorded a disc: peak RSS " << *minRss << ".." << *maxRss << " KB, descriptors "
                  << *minFds << ".." << *maxFds << "\n";
        if (*maxRss > *minRss * 3 / 2) problems.push_back("cli: peak memory varies beyond 1.5x between runs");
        if (*maxFds > *minFds + 4) problems.push_back("cli: open descriptors vary by more than 4 between runs");
    } else if (o.runs >= 10) {
        problems.push_back("cli: fewer than 4 runs recorded a disc");
    }
    return problems;
}

}  // namespace

std::vector<std::string> RunSoak(const SoakOptions& options) { return SoakCli(options); }

}  // namespace velunor::reliability

