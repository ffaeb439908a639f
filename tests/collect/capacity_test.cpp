// The capacity gate of the new-study pass: studies move into DVD/2/ while
// DVDTemp/ and DVD/2/ together stay below the limit; a study that can never
// fit is withdrawn without holding up the others.
#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
namespace {

// At the real limit: DVD/2/ holds a sparse filler (placed once the staging
// tree is prepared) that leaves the study exactly no room, or one byte.
TEST(CollectCapacity, TheGateStopsAtExactlyTheByteLimit) {
    CollectEnv env;
    env.AddDicomStudy(1, "n1", 1, std::nullopt, 1000);
    env.Collect();
    const std::uintmax_t study = FolderBytes(env.Staging("DVD/2"));   // once re-encoded
    ASSERT_GT(study, 1000u);
    for (const bool fits : {false, true}) {
        SCOPED_TRACE(fits ? "one byte to spare" : "no room");
        bool placed = false;
        env.events.onYield = [&] {
            if (!std::exchange(placed, true)) SparseFile(env.Staging("DVD/2/filler.bin"), 2'000'000'000 - study - fits);
        };
        env.events.asked.clear();
        env.events.answers = {Answer::Yes};

        const Collected out = env.Collect();

        EXPECT_TRUE(out.write);
        EXPECT_EQ(fs::exists(env.Staging("DVD/2/IM00001.dcm")), fits);
        EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
        // 1907 MB either way: a full disc is written unasked, one where
        // everything fitted is asked about.
        EXPECT_EQ(env.events.asked.size(), fits ? 1u : 0u);
    }
}

// Scaled down a thousandfold: a study of 5.4 "GB" fills a disc by itself
// (proven by its third file; what was re-encoded ahead of it is dropped);
// 1.2 and 0.9 after it do not fit together, so the second waits. Alone, it
// leaves nothing to write.
TEST(CollectCapacity, AStudyLargerThanADiscIsWithdrawnAndNamedAndTheOthersGoOn) {
    CollectEnv env;
    env.shell.settings.Archive = 1;
    const fs::path big = env.AddDicomStudy(1, "big", 6, std::nullopt, 900'000);
    env.AddDicomStudy(2, "n2", 1, std::nullopt, 1'200'000);
    env.AddDicomStudy(3, "n3", 1, std::nullopt, 900'000);
    env.AddDicomStudy(4, "n4", 1, std::nullopt, 100);   // would fit, but the disc is full
    const CollectLimits limits{.capacityBytes = 2'000'000, .megabyte = 1000};

    Collected out = env.Collect(limits);

    EXPECT_TRUE(out.write);   // asked, and a full disc is written even on No
    EXPECT_EQ(Instances(env.Staging("DVD/2")), std::multiset<std::string>{Uid(2, 1)});
    EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
    for (int id = 1; id <= 4; ++id) EXPECT_EQ(env.Dir2(id), std::nullopt) << id;
    EXPECT_EQ(out.oversizedStudies, 1);
    EXPECT_TRUE(AnyLineHas(env.ErrorLog(), big.string(), StudyUid(1)));

    env.archive.db().Execute("UPDATE tblStudies SET StudyDirectory2 = 'DVD 7' WHERE StudyID <> 1");
    out = env.Collect(limits);
    EXPECT_TRUE(out.nothingToWrite);
    EXPECT_EQ(out.oversizedStudies, 1);
    EXPECT_TRUE(FileNames(env.Staging("DVD/2")).empty());
    EXPECT_EQ(env.Dir2(1), std::nullopt);
}

}  // namespace
}  // namespace velunor::test
