// The decision to burn, on sparse files of the sizes that matter: every row
// of the decision table in both modes, and the AuthBurn question.
#include <gtest/gtest.h>

#include "collect/collect.hpp"
#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
namespace {

constexpr std::uintmax_t kMiB = 1024 * 1024;

const std::string kContinue1 = "Available volume of new data (";
const std::string kContinue2 = " MB) is less than DVD capacity (2000 MB).\r\n\r\nContinue?";
const std::string kAutoQuestion = "Daten für Archiv-DVD zusammengestellt. Brennvorgang starten?";

class Decision : public ::testing::Test {
protected:
    CollectEnv env;

    // DVD/2/ holds `newBytes`, DVD/1/ holds `carryBytes`.
    void Stage(std::uintmax_t newBytes, std::uintmax_t carryBytes = 0) {
        fs::create_directories(env.Staging("DVD/1"));
        fs::create_directories(env.Staging("DVD/2"));
        SparseFile(env.Staging("DVD/2/new.bin"), newBytes);
        SparseFile(env.Staging("DVD/1/carry.bin"), carryBytes);
    }
    bool Decide(bool result, bool gateStopped, std::initializer_list<Answer> answers = {}) {
        env.prompter.answers.assign(answers.begin(), answers.end());
        return DecideBurn(env.run, result, gateStopped);
    }
    std::vector<std::string> Shown() const { return env.prompter.texts(); }
};

TEST_F(Decision, ManualRunAsksBetweenTenAnd1700Megabytes) {
    Stage(10 * kMiB);
    EXPECT_FALSE(Decide(false, false));
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(env.window.Value(Control::pbSammeln), 10000);

    Stage(11 * kMiB);
    EXPECT_TRUE(Decide(false, false, {Answer::Yes}));
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0], kContinue1 + "11" + kContinue2);
    EXPECT_EQ(env.prompter.shown[0].icon, Icon::None);
    EXPECT_EQ(env.prompter.shown[0].buttons, Buttons::YesNo);

    Stage(1699 * kMiB);
    EXPECT_FALSE(Decide(false, false, {Answer::No}));
    EXPECT_EQ(Shown().back(), kContinue1 + "1699" + kContinue2);
}

TEST_F(Decision, ManualRunAfterAFullDiscKeepsTheBurnOnNo) {
    // A large study did not fit: 1500 MB stand in DVD/2/.
    Stage(1500 * kMiB);
    EXPECT_TRUE(Decide(true, true, {Answer::No}));
    EXPECT_EQ(Shown(), std::vector<std::string>{kContinue1 + "1500" + kContinue2});

    // 1700 MB and more on a full disc: no question, the disc is written.
    env.prompter.shown.clear();
    Stage(1800 * kMiB);
    EXPECT_TRUE(Decide(true, true));
    EXPECT_TRUE(Shown().empty());
}

TEST_F(Decision, ManualRunWith1700MegabytesThatAllFittedIsAsked) {
    Stage(1700 * kMiB);
    EXPECT_TRUE(Decide(false, false, {Answer::Yes}));
    EXPECT_EQ(Shown(), std::vector<std::string>{kContinue1 + "1700" + kContinue2});

    Stage(1850 * kMiB);
    EXPECT_FALSE(Decide(false, false, {Answer::No}));
    EXPECT_EQ(Shown().back(), kContinue1 + "1850" + kContinue2);
}

TEST_F(Decision, UnattendedRunBelow1700MegabytesWaitsOnlyWhileEveryStudyFitted) {
    env.state.AutoMode = true;
    Stage(800 * kMiB);
    EXPECT_FALSE(Decide(false, false));
    Stage(1699 * kMiB);
    EXPECT_FALSE(Decide(false, false));
    EXPECT_TRUE(Shown().empty());
    EXPECT_FALSE(env.window.MainWindowVisible());
    // The capacity limit stopped the pass: the next study does not fit
    // whatever later runs wait for, so the disc is as full as it gets and
    // the operator is asked as from 1700 MB.
    Stage(900 * kMiB);
    EXPECT_TRUE(Decide(true, true, {Answer::Yes}));
    EXPECT_EQ(Shown(), std::vector<std::string>{kAutoQuestion});
    EXPECT_TRUE(env.window.MainWindowVisible());
}

TEST_F(Decision, UnattendedRunFrom1700MegabytesShowsTheWindowAndAsks) {
    env.state.AutoMode = true;
    Stage(1701 * kMiB);
    EXPECT_TRUE(Decide(false, false, {Answer::Yes}));
    ASSERT_EQ(Shown(), std::vector<std::string>{kAutoQuestion});
    EXPECT_EQ(env.prompter.shown[0].icon, Icon::Question);
    EXPECT_TRUE(env.window.MainWindowVisible());   // stays shown for the burn
    EXPECT_FALSE(env.window.TimerEnabled(Timer::TimerWrite));

    // Exactly 1700 takes the same row. No hides the window again and lets
    // the unattended timer try later.
    env.window.ShowMainWindow(false);
    Stage(1700 * kMiB);
    EXPECT_FALSE(Decide(true, true, {Answer::No}));
    EXPECT_EQ(Shown().size(), 2u);
    EXPECT_EQ(Shown().back(), kAutoQuestion);
    EXPECT_FALSE(env.window.MainWindowVisible());
    EXPECT_TRUE(env.window.TimerEnabled(Timer::TimerWrite));
}

TEST_F(Decision, AuthBurnAsksWithTheTotalSizeWhateverTheMode) {
    env.shell.settings.AuthBurn = 1;
    // 834.4 MB new and 140.6 MB carried over: 834 + 141.
    Stage(static_cast<std::uintmax_t>(834.4 * kMiB), static_cast<std::uintmax_t>(140.6 * kMiB));
    const std::string question =
        "Daten für Archiv-DVD zusammengestellt.\r\nGesatmgröße: 975 MB\r\n\r\nMöchten Sie den Brennvorgang starten?";
    EXPECT_TRUE(Decide(false, false, {Answer::Yes}));
    EXPECT_EQ(Shown(), std::vector<std::string>{question});
    EXPECT_EQ(env.prompter.shown[0].icon, Icon::Question);

    // No after a full disc: nothing is written.
    EXPECT_FALSE(Decide(true, true, {Answer::No}));
    // Unattended: the same question, no threshold, the window left as it is.
    env.state.AutoMode = true;
    Stage(5 * kMiB);
    EXPECT_TRUE(Decide(false, false, {Answer::Yes}));
    EXPECT_EQ(Shown().size(), 3u);
    EXPECT_EQ(Shown().back(),
              "Daten für Archiv-DVD zusammengestellt.\r\nGesatmgröße: 5 MB\r\n\r\nMöchten Sie den Brennvorgang starten?");
    EXPECT_FALSE(env.window.MainWindowVisible());

    // AuthBurn 2 is not 1: the table applies.
    env.shell.settings.AuthBurn = 2;
    EXPECT_FALSE(Decide(false, false));
    EXPECT_EQ(Shown().size(), 3u);
}

TEST(DecisionSizes, MegabytesRoundHalvesToEven) {
    EXPECT_EQ(SizeInMB(0), 0);
    EXPECT_EQ(SizeInMB(kMiB / 2), 0);
    EXPECT_EQ(SizeInMB(kMiB / 2 + 1), 1);
    EXPECT_EQ(SizeInMB(4 * kMiB + kMiB / 2), 4);
    EXPECT_EQ(SizeInMB(5 * kMiB + kMiB / 2), 6);
    EXPECT_EQ(SizeInMB(2'000'000'000), 1907);
}

}  // namespace
}  // namespace velunor::test
