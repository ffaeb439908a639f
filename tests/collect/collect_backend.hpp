// Tests that run against each archive database product: instantiated as
// Sqlite/... and as Postgres/... (the latter need the server of
// scripts/with-postgres.sh; ctest -E Postgres leaves them out).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {

class BackendTest : public ::testing::TestWithParam<ArchiveKind> {
protected:
    void SetUp() override { env = std::make_unique<CollectEnv>(GetParam()); }
    std::unique_ptr<CollectEnv> env;
};

}  // namespace velunor::test
