#include "tests/collect/collect_backend.hpp"

namespace velunor::test {
INSTANTIATE_TEST_SUITE_P(Sqlite, BackendTest, ::testing::Values(ArchiveKind::Sqlite));
INSTANTIATE_TEST_SUITE_P(Postgres, BackendTest, ::testing::Values(ArchiveKind::Postgres));
}  // namespace velunor::test
