#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
INSTANTIATE_TEST_SUITE_P(Sqlite, CollectBackend, ::testing::Values(ArchiveKind::Sqlite));
INSTANTIATE_TEST_SUITE_P(Postgres, CollectBackend, ::testing::Values(ArchiveKind::Postgres));
}  // namespace velunor::test
