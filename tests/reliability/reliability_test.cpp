// Whole runs of velunor-cli on SQLite and PostgreSQL, killed in every
// stretch of a run, and struck by every fault of the soak once: after each,
// every invariant holds, a disc is recorded within three runs, and the
// archive drains (velunor-reliability runs the long variants).
#include <gtest/gtest.h>

#include "tests/reliability/harness.hpp"

namespace velunor::reliability {
namespace {

struct Reliability : ::testing::TestWithParam<ArchiveKind> {
    // `atLeast` faults strike (a kill may come after the run ended).
    void ExpectSurvived(const SuiteOptions& o, int atLeast) {
        const SuiteReport r = RunSuite(o);
        for (const auto& f : r.failures) ADD_FAILURE() << f;
        EXPECT_GE(r.tried, atLeast) << r.Summary();
        EXPECT_EQ(r.survived, r.tried) << r.Summary();
        RecordProperty("summary", r.Summary());
    }
};

TEST_P(Reliability, CrashSafety_KilledRunsLeaveTheArchiveConsistentAndTheNextRunsDrainIt) {
    // Staging a new study, the DICOMDIR being built, the image write, its
    // publication, verification and update, LastMediaNr written and stored,
    // the staging tree emptied.
    ExpectSurvived({.scenario = {.kind = GetParam(), .studiesPerBatch = 2, .filesPerStudy = 2, .fileBytes = 32768},
                    .steps = 8, .kinds = {1, 6, 8, 9, 10, 11, 12, 13}, .seed = 7}, 5);
}

TEST_P(Reliability, Faults_EveryFaultStrikesOnceAndTheArchiveStaysConsistentAndDrains) {
    ExpectSurvived({.scenario = {.kind = GetParam()}, .soak = true, .steps = FaultKinds(), .seed = 3}, FaultKinds() - 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, Reliability, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

}  // namespace
}  // namespace velunor::reliability
