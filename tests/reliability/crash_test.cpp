// The short crash-safety run of the test suite: velunor-cli killed with
// SIGKILL at one moment of every phase, on SQLite and on PostgreSQL; after
// every kill and every run the database must record only what the images
// hold, and the archive must drain. The full suite is velunor-crash-suite
// (scripts/crash-suite.sh).
#include <gtest/gtest.h>

#include "tests/reliability/harness.hpp"

namespace velunor::reliability {
namespace {

class CrashSafety : public ::testing::TestWithParam<ArchiveKind> {};

TEST_P(CrashSafety, KilledRunsLeaveTheArchiveConsistentAndTheNextRunsDrainIt) {
    CrashOptions o;
    o.scenario.kind = GetParam();
    o.scenario.studiesPerBatch = 2;
    o.scenario.filesPerStudy = 2;
    o.scenario.fileBytes = 32768;
    // One point in each stretch of a run: staging a new study, writing the
    // DICOMDIR, writing the image, after its publication, the database
    // update, the LastMediaNr write, emptying the staging tree.
    o.kinds = {1, 4, 6, 7, 9, 10, 15};
    o.killPoints = 7;
    o.seed = 7;
    std::vector<std::string> lines;
    o.log = [&lines](const std::string& line) { lines.push_back(line); };
    CrashReport report = RunCrashSuite(o);
    for (const auto& f : report.failures) ADD_FAILURE() << f;
    EXPECT_GE(report.tried, 5) << report.Summary();
    EXPECT_EQ(report.survived, report.tried) << report.Summary();
    RecordProperty("summary", report.Summary());
    std::cout << report.Summary() << "\n";
}

INSTANTIATE_TEST_SUITE_P(Backends, CrashSafety, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

}  // namespace
}  // namespace velunor::reliability
