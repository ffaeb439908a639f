// The archive's life in the test suite: 150 consecutive unattended runs of
// the run controller with arrivals and seeded faults (life.hpp). Every rule
// must hold after every run, every kind of fault must have struck, and the
// archive must have kept writing discs. The 1,000-run life is velunor-life
// (scripts/reliability.sh soak).
#include <gtest/gtest.h>

#include <iostream>

#include "tests/reliability/life.hpp"

namespace velunor::reliability {
namespace {

TEST(Life, OneHundredFiftyUnattendedRunsKeepEveryStudyInOneStateThroughSeededFaults) {
    LifeOptions o;
    o.runs = 150;
    o.seed = 11;
    const LifeReport r = RunLife(o);
    std::cout << r.Table();
    if (!r.failures.empty())
        for (const auto& line : r.lines) std::cout << line << "\n";
    for (const auto& f : r.failures) ADD_FAILURE() << f;
    for (const char* fault : {"corrupt new", "corrupt carry-over", "database gone", "database refuses",
                              "verification", "killed", "second run"})
        EXPECT_GT(r.faults.count(fault) ? r.faults.at(fault) : 0, 0) << fault << " never struck";
    for (const char* kind : {"larger than a disc", "just below the room", "just above the room"})
        EXPECT_GT(r.arrivals.count(kind) ? r.arrivals.at(kind) : 0, 0) << kind;
    // About one disc every two runs arrives; faults cost some.
    EXPECT_GE(r.discs, o.runs / 3);
}

}  // namespace
}  // namespace velunor::reliability
