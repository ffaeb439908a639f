// The burn's event handlers and the notice window fNot.
#include <gtest/gtest.h>

#include "app/error.hpp"
#include "disc/disc.hpp"
#include "tests/disc/disc_test_support.hpp"
#include "tests/support/scripted_drive.hpp"

namespace velunor {
namespace {

using Ev = test::ScriptedDrive::Ev;

// A drive that notes the run's BurnState whenever its tray moves.
struct TrayWatch : test::ScriptedDrive {
    RunState* state = nullptr;
    std::vector<int> burnStateAtTray;
    bool jam = false;
    void LoadTray(bool close) override {
        test::ScriptedDrive::LoadTray(close);
        burnStateAtTray.push_back(state->BurnState);
        if (jam) throw Error(-1, "The tray does not move");
    }
};

struct BurnEventsTest : ::testing::Test {
    test::DiscHarness h;
    TrayWatch drive;
    DiscWriterEvents ev;
    int yields = 0;

    BurnEventsTest() {
        drive.state = &h.state;
        h.writer = &drive;
        h.window.onYield = [this] { ++yields; };
        velunor::Run run = h.run();
        ev = BurnEvents(run);  // the Run object itself goes away here
        h.state.BurnState = 0;
    }
};

TEST_F(BurnEventsTest, CachingThenWritingResetsTheBarOnce) {
    ev.CachingProgress(40);
    EXPECT_EQ(h.window.Caption(Control::lblCur), "Caching data (40%)");
    EXPECT_EQ(h.window.Maximum(Control::pbDisk), 100);
    EXPECT_EQ(h.window.Value(Control::pbDisk), 40);
    EXPECT_EQ(yields, 1);

    h.barValues.clear();
    ev.WriteProgress(0, 50, 1000);
    EXPECT_EQ(h.window.Caption(Control::lblCur), "Writing disc (5%) ");
    EXPECT_EQ(h.window.Maximum(Control::pbDisk), 1000);
    EXPECT_EQ(h.window.Value(Control::pbDisk), 50);
    EXPECT_EQ(h.Bar(Control::pbDisk).front(), 0);  // reset before the new range

    h.barValues.clear();
    ev.WriteProgress(0, 125, 1000);
    EXPECT_EQ(h.window.Caption(Control::lblCur), "Writing disc (12%) ");
    for (int v : h.Bar(Control::pbDisk)) EXPECT_NE(v, 0);
    EXPECT_EQ(yields, 3);

    // After an earlier step's text ("Calculate dvd-size", "Closing ...") the bar restarts too.
    h.window.SetCaption(Control::lblCur, "Calculate dvd-size");
    h.barValues.clear();
    ev.WriteProgress(0, 10, 1000);
    EXPECT_EQ(h.Bar(Control::pbDisk).front(), 0);
}

TEST(BurnRoundPercent, NearestWholeNumberHalvesToEven) {
    EXPECT_EQ(RoundPercent(1, 8), 12);    // 12.5
    EXPECT_EQ(RoundPercent(3, 8), 38);    // 37.5
    EXPECT_EQ(RoundPercent(5, 1000), 0);  // 0.5
    EXPECT_EQ(RoundPercent(15, 1000), 2);  // 1.5
    EXPECT_EQ(RoundPercent(2, 3), 67);
    EXPECT_EQ(RoundPercent(1000, 1000), 100);
    EXPECT_EQ(RoundPercent(2147483647, 2147483647), 100);
    EXPECT_EQ(RoundPercent(1, 0), 0);
}

TEST_F(BurnEventsTest, ClosingStepsAreShown) {
    ev.ClosingTrack();
    EXPECT_EQ(h.window.Caption(Control::lblCur), "Closing track");
    ev.ClosingDisc();
    EXPECT_EQ(h.window.Caption(Control::lblCur), "Closing disc");
}

TEST_F(BurnEventsTest, CompletionOpensTheTrayShowsTheNoticeAndOnlyThenSetsTheState) {
    h.window.SetMaximum(Control::pbDisk, 500);
    h.window.SetValue(Control::pbDisk, 480);
    ev.BurnComplete();

    EXPECT_EQ(h.window.Value(Control::pbDisk), 500);
    EXPECT_EQ(drive.calls, (std::vector<std::string>{"AllowRemoval(1)", "LoadTray(0)", "LoadTray(1)"}));
    // The tray opened and closed again while BurnState was still 0.
    EXPECT_EQ(drive.burnStateAtTray, (std::vector<int>{0, 0}));
    EXPECT_EQ(h.state.BurnState, 1);
    ASSERT_EQ(h.window.notices.size(), 1u);
    EXPECT_EQ(h.window.notices[0].title, "Attention");
    EXPECT_EQ(h.window.notices[0].text, "Please do not remove the 'DVD' from the drive,\r\nit must be verified yet.");
    EXPECT_EQ(h.window.notices[0].interval, std::chrono::milliseconds(7500));
    // Tray closed after one step, window closed after the second.
    EXPECT_EQ(h.sleep.total, std::chrono::milliseconds(15000));
    EXPECT_TRUE(h.prompter.shown.empty());
}

TEST_F(BurnEventsTest, ATrayThatDoesNotMoveEndsTheRunWithoutVerification) {
    drive.jam = true;
    ev.BurnComplete();
    EXPECT_EQ(h.state.BurnState, -1);
    EXPECT_NE(h.ErrorLog().at(0).find("-1 The tray does not moveDVDWriter_BurnComplete"), std::string::npos);
}

TEST_F(BurnEventsTest, AWriteErrorResetsTheBarsAndReportsTheMessage) {
    for (Control pb : {Control::pbSammeln, Control::pbDB, Control::pbDicomDir, Control::pbDisk, Control::pbVer})
        h.window.SetValue(pb, 77);
    h.barValues.clear();
    ev.WriteError(0, 0, "Cannot write desired amount of 32768 bytes (No space left on device)", "");

    EXPECT_EQ(drive.calls, std::vector<std::string>{"AbortBurn"});
    EXPECT_EQ(h.barValues, (std::vector<std::pair<Control, int>>{{Control::pbSammeln, 0},
                                                                 {Control::pbDB, 0},
                                                                 {Control::pbDicomDir, 0},
                                                                 {Control::pbDisk, 0},
                                                                 {Control::pbVer, 0}}));
    EXPECT_EQ(h.state.BurnState, -1);
    const std::string message = "Cannot write desired amount of 32768 bytes (No space left on device)";
    EXPECT_EQ(h.prompter.texts(), (std::vector<std::string>{"[Error #-1] " + message, message}));
    EXPECT_NE(h.ErrorLog().at(0).find("-1 " + message + "DVDWriter_WriteError"), std::string::npos);

    h.prompter.shown.clear();
    h.shell.settings.Archive = 1;
    ev.WriteError(0, 0, message, "");
    EXPECT_TRUE(h.prompter.shown.empty());
    EXPECT_EQ(h.ErrorLog().size(), 2u);
}

TEST_F(BurnEventsTest, EventsArriveOnlyThroughPollInTheirOrder) {
    drive.SetEvents(ev);
    auto step = [](Ev e, std::int32_t a = 0, std::int32_t b = 0) {
        test::ScriptedDrive::Step s;
        s.ev = e;
        s.a = a;
        s.b = b;
        return s;
    };
    drive.burnScript = {step(Ev::Caching, 100), step(Ev::Write, 10, 20), step(Ev::Write, 20, 20),
                        step(Ev::ClosingTrack), step(Ev::ClosingDisc), step(Ev::Complete)};
    ASSERT_TRUE(drive.StartBurn());
    std::vector<std::string> captions;
    for (int i = 0; i < 10 && h.state.BurnState == 0; ++i) {
        drive.Poll();
        captions.push_back(h.window.Caption(Control::lblCur));
    }
    EXPECT_EQ(captions, (std::vector<std::string>{"Caching data (100%)", "Writing disc (50%) ", "Writing disc (100%) ",
                                                  "Closing track", "Closing disc", "Closing disc"}));
    EXPECT_EQ(h.state.BurnState, 1);
}

}  // namespace
}  // namespace velunor
