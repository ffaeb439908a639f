// The capacity gate of the new-study pass: studies move into DVD/2/ while
// DVDTemp/ and DVD/2/ together stay below the limit.
#include <gtest/gtest.h>

#include <set>

#include "collect/collect.hpp"
#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
namespace {

TEST(Capacity, AStudyThatDoesNotFitEndsThePassAndWaits) {
    // 1.2 and 0.9 of a 2.0 limit, scaled down from gigabytes to megabytes.
    CollectEnv env;
    env.AddDicomStudy(1, "n1", 1, std::nullopt, 1'200'000);
    env.AddDicomStudy(2, "n2", 1, std::nullopt, 900'000);
    env.AddDicomStudy(3, "n3", 1, std::nullopt, 100);   // would fit, but the pass has ended
    CollectLimits limits;
    limits.capacityBytes = 2'000'000;

    EXPECT_TRUE(DatenKopieren(env.run, limits));   // the disc is full: written without a question

    ASSERT_EQ(FileNames(env.Staging("DVD/2")), std::vector<std::string>{"IM00001.dcm"});
    EXPECT_EQ(ReadFacts(env.Staging("DVD/2/IM00001.dcm")).studyUid, CollectEnv::StudyUid(1));
    EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
    EXPECT_EQ(env.Dir2(2), std::nullopt);
    EXPECT_EQ(env.Dir2(3), std::nullopt);
    EXPECT_TRUE(env.prompter.shown.empty());
    EXPECT_EQ(env.state.summary.newStudies, 1);
    EXPECT_FALSE(env.state.summary.nothingToWrite);
    EXPECT_EQ(env.window.Value(Control::pbSammeln), 10000);
}

// A study that fills a disc by itself never fits: it is taken out, named,
// and the studies after it go on as if it were not there. When it was the
// only new study, no disc is written at all (a disc without new data fails
// its verification, again on every later run).
TEST(Capacity, AStudyLargerThanADiscIsWithdrawnNamedAndNeverHoldsUpTheOthers) {
    CollectEnv env;
    env.shell.settings.Archive = 1;
    const fs::path big = env.AddDicomStudy(1, "big", 3, std::nullopt, 900'000);   // 2.7 of a 2.0 limit
    env.AddDicomStudy(2, "n2", 1, std::nullopt, 30'000);
    env.AddDicomStudy(3, "n3", 1, std::nullopt, 30'000);
    CollectLimits limits;
    limits.capacityBytes = 2'000'000;
    limits.megabyte = 1000;   // the decision's thresholds scaled alike: 60 "MB" asks
    env.prompter.answers = {Answer::Yes};

    EXPECT_TRUE(DatenKopieren(env.run, limits));

    std::set<std::string> staged;
    for (const auto& name : FileNames(env.Staging("DVD/2"))) staged.insert(ReadFacts(env.Staging("DVD/2") / name).studyUid);
    EXPECT_EQ(staged, (std::set<std::string>{CollectEnv::StudyUid(2), CollectEnv::StudyUid(3)}));
    EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
    EXPECT_EQ(env.Dir2(1), std::nullopt);   // visible as waiting, never marked
    EXPECT_EQ(env.state.summary.oversizedStudies, 1);
    EXPECT_EQ(env.state.summary.newStudies, 2);
    const auto log = env.ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    for (const std::string& part : {big.string(), CollectEnv::StudyUid(1), std::string("larger than one disc"),
                                    std::string("at least 2701")})
        EXPECT_NE(log[0].find(part), std::string::npos) << part << " in " << log[0];

    // Alone, it leaves nothing to write.
    env.archive.db().Execute("UPDATE tblStudies SET StudyDirectory2 = 'DVD 7' WHERE StudyID <> 1");
    env.prompter.answers = {Answer::Yes};
    EXPECT_FALSE(DatenKopieren(env.run, limits));
    EXPECT_TRUE(FileNames(env.Staging("DVD/2")).empty());
    EXPECT_TRUE(env.state.summary.nothingToWrite);
    EXPECT_EQ(env.state.summary.oversizedStudies, 1);
    EXPECT_EQ(env.Dir2(1), std::nullopt);
}

// Bytes one study of a single 1000-pixel file takes once staged.
std::uintmax_t StagedSizeOfOneSmallStudy() {
    CollectEnv probe;
    probe.AddDicomStudy(1, "n1", 1, std::nullopt, 1000);
    DatenKopieren(probe.run);
    return FolderBytes(probe.Staging("DVD/2"));
}

// A run with the default limit whose DVD/2/ already holds `filler` bytes
// (a sparse file placed after the staging preparation) when the study of
// StagedSizeOfOneSmallStudy() comes to the gate.
struct FilledRun {
    CollectEnv env;
    bool result = false;

    explicit FilledRun(std::uintmax_t filler, Answer answer) {
        env.AddDicomStudy(1, "n1", 1, std::nullopt, 1000);
        env.prompter.answers.push_back(answer);
        bool placed = false;
        env.window.onChange = [this, filler, &placed](Control c) {
            if (c == Control::pbSammeln && !placed && env.window.Value(Control::pbSammeln) == 5000) {
                placed = true;
                SparseFile(env.Staging("DVD/2/filler.bin"), filler);
            }
        };
        result = DatenKopieren(env.run);
        env.window.onChange = nullptr;
    }
};

TEST(Capacity, ExactlyTwoBillionBytesStopsThePass) {
    const std::uintmax_t study = StagedSizeOfOneSmallStudy();
    ASSERT_GT(study, 1000u);

    FilledRun full(2'000'000'000 - study, Answer::No);
    EXPECT_TRUE(full.result);
    EXPECT_EQ(FileNames(full.env.Staging("DVD/2")), std::vector<std::string>{"filler.bin"});
    EXPECT_TRUE(FileNames(full.env.Staging("DVDTemp")).empty());
    EXPECT_TRUE(full.env.prompter.shown.empty());   // 1907 MB and a full disc: no question

    FilledRun fits(2'000'000'000 - study - 1, Answer::Yes);
    EXPECT_TRUE(fits.result);
    EXPECT_EQ(FileNames(fits.env.Staging("DVD/2")), (std::vector<std::string>{"IM00001.dcm", "filler.bin"}));
    // Everything fitted and 1700 MB or more are there: the operator is asked.
    ASSERT_EQ(fits.env.prompter.shown.size(), 1u);
    EXPECT_EQ(fits.env.prompter.shown[0].text,
              "Available volume of new data (1907 MB) is less than DVD capacity (2000 MB).\r\n\r\nContinue?");
}

}  // namespace
}  // namespace velunor::test
