// A short soak in the test suite: six runs in one process (the unattended
// window's controller) and six velunor-cli runs, with seeded faults between
// them; descriptors must not change and every invariant must hold. The
// 20-run soak is velunor-soak (scripts/soak.sh).
#include <gtest/gtest.h>

#include "tests/reliability/soak.hpp"

namespace velunor::reliability {
namespace {

TEST(Soak, SixRunsInOneProcessAndSixCliRunsStayFlatAndKeepTheInvariants) {
    SoakOptions o;
    o.runs = 6;
    o.seed = 3;
    for (const auto& p : RunSoak(o)) ADD_FAILURE() << p;
}

}  // namespace
}  // namespace velunor::reliability
