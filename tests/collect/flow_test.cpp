// The course of the whole phase: no new studies, a cancel in each stretch,
// and failures before and during staging.
#include <gtest/gtest.h>

#include "collect/collect.hpp"
#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
namespace {

const std::string kNoNewStudies = "Keine neuen Untersuchungen gefunden!";

TEST(Flow, NoNewStudiesWritesNoDiscEvenWithCarryOverStudies) {
    CollectEnv env;
    env.shell.settings.AuthBurn = 1;   // the decision is not reached: no question
    env.AddDicomStudy(1, "c1", 1, "DVD 0");

    EXPECT_FALSE(DatenKopieren(env.run));
    EXPECT_EQ(FileNames(env.Staging("DVD/1")).size(), 1u);
    ASSERT_EQ(env.prompter.shown.size(), 1u);
    EXPECT_EQ(env.prompter.shown[0].text, kNoNewStudies);
    EXPECT_EQ(env.prompter.shown[0].icon, Icon::Information);
    EXPECT_EQ(env.prompter.shown[0].buttons, Buttons::Ok);
    EXPECT_EQ(env.window.Value(Control::pbSammeln), 10000);
    EXPECT_TRUE(env.state.summary.nothingToWrite);
    EXPECT_EQ(env.state.summary.why, "no new studies found");

    env.prompter.shown.clear();
    env.shell.settings.Archive = 1;
    EXPECT_FALSE(DatenKopieren(env.run));
    EXPECT_TRUE(env.prompter.shown.empty());
}

TEST(Flow, CancelBeforeTheCarryOverPassStagesNothing) {
    CollectEnv env;
    env.AddDicomStudy(1, "c1", 1, "DVD 0");
    env.AddDicomStudy(2, "n2", 1, std::nullopt);
    env.window.onYield = [&] { env.state.CancelRequested = true; };

    EXPECT_FALSE(DatenKopieren(env.run));
    EXPECT_TRUE(FileNames(env.Staging("DVD/1")).empty());
    EXPECT_TRUE(FileNames(env.Staging("DVD/2")).empty());
    EXPECT_TRUE(env.prompter.shown.empty());   // straight to the decision: nothing there, no question
    EXPECT_EQ(env.window.Value(Control::pbSammeln), 10000);
}

TEST(Flow, CancelDuringTheCarryOverPassFinishesTheStudyInHand) {
    CollectEnv env;
    env.shell.settings.AuthBurn = 1;
    env.prompter.answers = {Answer::Yes};
    env.AddDicomStudy(1, "c1", 2, "DVD 0");
    env.AddDicomStudy(2, "c2", 1, "DVD 0");
    env.AddDicomStudy(3, "n3", 1, std::nullopt);
    env.window.onYield = [&] {
        if (!FileNames(env.Staging("DVD/1")).empty()) env.state.CancelRequested = true;
    };

    // The study in hand is finished; then the decision, with no new data:
    // a disc of carry-over studies alone would fail its verification, so
    // none is written and nobody is asked.
    EXPECT_FALSE(DatenKopieren(env.run));
    EXPECT_EQ(FileNames(env.Staging("DVD/1")), (std::vector<std::string>{"IM00001.dcm", "IM00002.dcm"}));
    EXPECT_TRUE(FileNames(env.Staging("DVD/2")).empty());
    EXPECT_TRUE(env.prompter.shown.empty());
    EXPECT_TRUE(env.state.summary.nothingToWrite);
}

TEST(Flow, CancelDuringTheNewSelectionKeepsTheCarryOverStudies) {
    CollectEnv env;
    env.shell.settings.AuthBurn = 1;
    env.prompter.answers = {Answer::No};
    env.AddDicomStudy(1, "c1", 1, "DVD 0");
    env.AddDicomStudy(2, "n2", 1, std::nullopt);
    env.AddDicomStudy(3, "n3", 1, std::nullopt);
    // pbSammeln reaches half once after the carry-over pass and is set to
    // half again when the new selection starts.
    int halves = 0;
    env.window.onChange = [&](Control c) {
        if (c == Control::pbSammeln && env.window.Value(Control::pbSammeln) == 5000) ++halves;
    };
    env.window.onYield = [&] {
        if (halves == 2) env.state.CancelRequested = true;
    };

    EXPECT_FALSE(DatenKopieren(env.run));
    EXPECT_EQ(FileNames(env.Staging("DVD/1")).size(), 1u);
    EXPECT_TRUE(FileNames(env.Staging("DVD/2")).empty());
    // Not the no-new-studies message, and no question over no new data.
    EXPECT_TRUE(env.prompter.shown.empty());
    EXPECT_EQ(env.state.summary.why, "no new study was staged");
}

TEST(Flow, CancelDuringTheNewStudyPassLeavesTheStudyInHandOutOfDvd2) {
    CollectEnv env;
    env.AddDicomStudy(1, "n1", 1, std::nullopt);
    env.AddDicomStudy(2, "n2", 2, std::nullopt);
    env.AddDicomStudy(3, "n3", 1, std::nullopt);
    env.window.onYield = [&] {
        if (fs::exists(env.Staging("DVD/2/IM00001.dcm")) && fs::exists(env.Staging("DVDTemp/IM00001.dcm")))
            env.state.CancelRequested = true;
    };

    EXPECT_FALSE(DatenKopieren(env.run));
    EXPECT_EQ(FileNames(env.Staging("DVD/2")), std::vector<std::string>{"IM00001.dcm"});
    EXPECT_EQ(ReadFacts(env.Staging("DVD/2/IM00001.dcm")).studyUid, CollectEnv::StudyUid(1));
    // Study 2 was staged whole into DVDTemp/ but never reached DVD/2/.
    EXPECT_EQ(FileNames(env.Staging("DVDTemp")), (std::vector<std::string>{"IM00001.dcm", "IM00002.dcm"}));
    EXPECT_EQ(env.state.summary.newStudies, 1);
}

TEST(Flow, AFolderThatCannotBeCreatedEndsTheRunWithoutCleanUp) {
    CollectEnv env;
    WriteAll(env.tmp / "plain-file", "x");
    const std::string root = (env.tmp / "plain-file").string() + "/";
    env.shell.settings.TempPath = root;
    env.AddDicomStudy(1, "n1", 1, std::nullopt);

    EXPECT_FALSE(DatenKopieren(env.run));
    auto log = env.ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].ends_with("MakePath(" + root + "DVD/)")) << log[0];
    EXPECT_EQ(log[0].find(std::string(CollectEnv::kStamp) + " 0 "), std::string::npos);   // a system error number
    ASSERT_EQ(env.prompter.shown.size(), 1u);
    EXPECT_EQ(env.prompter.shown[0].text.rfind("[Error #", 0), 0u);
    EXPECT_EQ(env.window.Value(Control::pbSammeln), 0);
}

TEST(Flow, ADatabaseThatCannotBeOpenedEndsTheRunAfterPreparation) {
    CollectEnv env;
    env.shell.settings.Server = (env.tmp / "missing.sqlite").string();
    fs::create_directories(env.Staging("DVD/2"));
    WriteAll(env.Staging("DVD/2/stale.dcm"), "x");

    EXPECT_FALSE(DatenKopieren(env.run));
    auto log = env.ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("missing.sqlite"), std::string::npos) << log[0];
    EXPECT_TRUE(log[0].ends_with(" ImgNr: 0DatenKopieren")) << log[0];
    EXPECT_FALSE(fs::exists(env.tmp / "missing.sqlite"));
    EXPECT_FALSE(fs::exists(env.Staging("DVD/2/stale.dcm")));
    EXPECT_EQ(env.window.Value(Control::pbSammeln), 10000);

    env.shell.settings.ServerType = "";
    env.shell.settings.Archive = 1;
    EXPECT_FALSE(DatenKopieren(env.run));
    log = env.ErrorLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].rfind(std::string(CollectEnv::kStamp) + " 0 ", 0), 0u) << log[1];
    EXPECT_EQ(env.prompter.shown.size(), 1u);   // the second error was logged without a box
}

TEST(Flow, ProgressBarsStartAtZeroAndFillByHalves) {
    CollectEnv env;
    for (Control c : {Control::pbDB, Control::pbDicomDir, Control::pbDisk, Control::pbVer})
        env.window.SetValue(c, 700);
    env.AddDicomStudy(1, "c1", 1, "DVD 0");
    env.AddDicomStudy(2, "c2", 1, "DVD 0");
    env.AddDicomStudy(3, "n3", 1, std::nullopt);
    env.AddDicomStudy(4, "n4", 1, std::nullopt);
    std::vector<int> values;
    env.window.onChange = [&](Control c) {
        if (c == Control::pbSammeln) values.push_back(env.window.Value(Control::pbSammeln));
    };

    DatenKopieren(env.run);

    for (Control c : {Control::pbDB, Control::pbDicomDir, Control::pbDisk, Control::pbVer})
        EXPECT_EQ(env.window.Value(c), 0);
    EXPECT_EQ(values, (std::vector<int>{0, 2500, 5000, 5000, 7500, 10000, 10000, 10000}));
}

}  // namespace
}  // namespace velunor::test
