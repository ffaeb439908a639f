#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <map>

#include "app/error.hpp"
#include "app/program/controller.hpp"
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

using test::ReadAll;

// A controller on a headless window with fake phases that record their calls.
struct ControllerFixture : ::testing::Test {
    test::TempDir dir;
    test::ScriptedPrompter prompter;
    HeadlessWindow window{prompter, test::FakeSleep{}};
    Shell shell{dir.path(), window};
    test::ScriptedDrive drive;
    std::vector<std::string> calls;
    std::map<std::string, bool> results{{"DatenKopieren", true}, {"DicomDir", true}, {"DVDCreate", true},
                                        {"DVDVerify", true}, {"DBUpdate", true}};
    bool detectFinds = true;
    std::unique_ptr<RunController> c;

    ControllerFixture() {
        shell.log.markerPath = dir / "Velunor.ready";
        shell.settings.MSGDVDName = "Label it DVD {NAME}, then {NAME} again";
        shell.settings.StartupPending = true;
        shell.settings.TempPath = (dir / "staging").string() + "/";
    }

    std::function<bool(velunor::Run&)> Fake(const std::string& name) {
        return [this, name](velunor::Run& run) {
            calls.push_back(name);
            if (name == "DBUpdate" && results[name]) ++run.state.MediaNumber;
            return results[name];
        };
    }

    void Make(const std::string& args = "") {
        Phases p;
        p.DatenKopieren = Fake("DatenKopieren");
        p.DicomDir = Fake("DicomDir");
        p.DVDCreate = Fake("DVDCreate");
        p.DVDVerify = Fake("DVDVerify");
        p.DBUpdate = Fake("DBUpdate");
        p.ShowDetectWindow = [this](velunor::Run& run) {
            calls.push_back("fDetect");
            if (detectFinds) run.window().SetEnabled(Control::cmdStarten, true);
        };
        p.BurnEvents = [](velunor::Run& run) {
            DiscWriterEvents ev;
            ev.BurnComplete = [&run] { run.state.BurnState = 1; };
            ev.WriteError = [&run](std::int32_t, std::int32_t, const std::string&, const std::string&) {
                run.state.BurnState = -1;
            };
            return ev;
        };
        c = std::make_unique<RunController>(shell, drive, std::move(p), args);
        c->Load();
    }

    void Detect() { c->TimerDVDTick(); }

    void ExpectIdle() {
        EXPECT_FALSE(c->state.RunActive);
        EXPECT_TRUE(window.IsEnabled(Control::cmdStarten));
        EXPECT_FALSE(window.IsEnabled(Control::cmdCancel));
        EXPECT_TRUE(window.IsEnabled(Control::mnuFile));
        EXPECT_FALSE(window.TimerEnabled(Timer::TimerDVD));
        EXPECT_GE(drive.Count("AllowRemoval(1)"), 1);
    }
};

TEST_F(ControllerFixture, LoadShowsWindowWithInsertTextAndStartDisabledUntilDetection) {
    Make();
    EXPECT_TRUE(window.MainWindowVisible());
    EXPECT_EQ(window.Caption(Control::lblInfo), "Please insert a empty DVD and click on 'Start'.");
    EXPECT_FALSE(window.IsEnabled(Control::cmdStarten));
    EXPECT_TRUE(window.IsEnabled(Control::cmdCancel));
    EXPECT_TRUE(window.TimerEnabled(Timer::TimerDVD));
    EXPECT_TRUE(window.TimerEnabled(Timer::TimerReady));
    EXPECT_FALSE(window.TimerEnabled(Timer::TimerWrite));
    EXPECT_FALSE(shell.settings.DebugMode);
    for (Control l : {Control::lblSammeln, Control::lblDicomDir, Control::lblDVD, Control::lblVerifyDVD,
                      Control::lblUpdate})
        EXPECT_FALSE(window.IsVisible(l));

    Detect();
    EXPECT_EQ(calls, std::vector<std::string>{"fDetect"});
    EXPECT_FALSE(shell.settings.StartupPending);
    EXPECT_FALSE(window.TimerEnabled(Timer::TimerDVD));
    EXPECT_TRUE(window.IsEnabled(Control::cmdStarten));
}

TEST_F(ControllerFixture, ArgumentsSelectDebugAndUnattendedModes) {
    Make("debug");
    EXPECT_TRUE(shell.settings.DebugMode);
    EXPECT_TRUE(window.MainWindowVisible());
    EXPECT_FALSE(c->state.AutoMode);

    shell.settings.DebugMode = false;
    Make("Debug");
    EXPECT_FALSE(shell.settings.DebugMode);

    window.SetCaption(Control::lblInfo, "");
    Make("auto");
    EXPECT_TRUE(c->state.AutoMode);
    EXPECT_FALSE(window.MainWindowVisible());
    EXPECT_TRUE(window.TimerEnabled(Timer::TimerWrite));
    EXPECT_EQ(c->AutoTickLimit, 240);
    EXPECT_EQ(window.Caption(Control::lblInfo), "");

    Make("AUTO x");
    EXPECT_FALSE(c->state.AutoMode);
    EXPECT_TRUE(window.MainWindowVisible());
}

TEST(EntrySwitch, ConfigAnywhereInTheArgumentsOpensTheDialog) {
    for (const char* a : {"config", "-CONFIG", "xconfigx", "/Config", "NOCONFIG"}) EXPECT_TRUE(WantsConfigDialog(a)) << a;
    for (const char* a : {"", "AUTO", "debug", "conf ig"}) EXPECT_FALSE(WantsConfigDialog(a)) << a;
    char a0[] = "velunor", a1[] = "a", a2[] = "b";
    char* argv[] = {a0, a1, a2};
    EXPECT_EQ(ArgumentText(3, argv), "a b");
}

TEST_F(ControllerFixture, FullRunRecordsADiscAndShowsTheCompletionMessage) {
    Make();
    Detect();
    c->state.MediaNumber = 16;
    c->StartClicked();
    EXPECT_EQ(calls, (std::vector<std::string>{"fDetect", "DatenKopieren", "DicomDir", "DVDCreate"}));
    EXPECT_TRUE(c->state.RunActive);
    EXPECT_FALSE(window.IsVisible(Control::Picture1));
    EXPECT_FALSE(window.IsEnabled(Control::cmdStarten));
    EXPECT_FALSE(window.IsEnabled(Control::mnuFile));
    EXPECT_TRUE(window.TimerEnabled(Timer::TimerDVD));
    EXPECT_EQ(c->state.BurnState, 0);

    // While writing, ticks change nothing.
    c->TimerDVDTick();
    EXPECT_TRUE(c->state.RunActive);
    drive.burning = true;
    drive.burnScript = {{test::ScriptedDrive::Ev::Write, 1, 2, ""}, {test::ScriptedDrive::Ev::Complete, 0, 0, ""}};
    c->TimerDVDTick();
    EXPECT_TRUE(c->state.RunActive);
    c->TimerDVDTick();  // delivers BurnComplete, then verifies and records in the same tick
    EXPECT_EQ(calls.back(), "DBUpdate");
    EXPECT_EQ(prompter.shown.back().text, "Label it DVD 17, then 17 again");
    EXPECT_EQ(prompter.shown.back().icon, Icon::Information);
    for (Control l : {Control::lblSammeln, Control::lblDicomDir, Control::lblDVD, Control::lblVerifyDVD,
                      Control::lblUpdate})
        EXPECT_TRUE(window.IsVisible(l));
    ExpectIdle();
}

TEST_F(ControllerFixture, CompletionMessageIsShownEvenWhenEmptyAndWithArchiveSet) {
    shell.settings.MSGDVDName = "";
    shell.settings.Archive = 1;
    Make();
    Detect();
    c->StartClicked();
    c->state.BurnState = 1;
    c->TimerDVDTick();
    ASSERT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(prompter.shown[0].text, "");
}

TEST_F(ControllerFixture, AFailingPhaseReturnsToIdleWithoutLaterPhases) {
    for (const char* failing : {"DatenKopieren", "DicomDir", "DVDCreate"}) {
        SCOPED_TRACE(failing);
        calls.clear();
        results = {{"DatenKopieren", true}, {"DicomDir", true}, {"DVDCreate", true}, {"DVDVerify", true}, {"DBUpdate", true}};
        results[failing] = false;
        drive.calls.clear();
        shell.settings.StartupPending = true;
        Make();
        Detect();
        c->StartClicked();
        EXPECT_EQ(calls.back(), failing);
        ExpectIdle();
        EXPECT_TRUE(prompter.shown.empty());  // phases report their own errors
    }
}

TEST_F(ControllerFixture, FailedVerificationSkipsTheDatabaseAndFailedBurnEndsTheRun) {
    results["DVDVerify"] = false;
    Make();
    Detect();
    c->StartClicked();
    c->state.BurnState = 1;
    c->TimerDVDTick();
    EXPECT_EQ(calls.back(), "DVDVerify");
    EXPECT_TRUE(prompter.shown.empty());
    ExpectIdle();

    calls.clear();
    c->StartClicked();
    drive.burning = true;
    drive.burnScript = {{test::ScriptedDrive::Ev::Error, 0, 0, "write failed"}};
    c->TimerDVDTick();
    EXPECT_EQ(c->state.BurnState, -1);
    EXPECT_EQ(calls.back(), "DVDCreate");
    ExpectIdle();
}

TEST_F(ControllerFixture, ThrowingPhaseIsLoggedAndEndsTheRun) {
    Make();
    Detect();
    Phases p;
    p.DatenKopieren = [](velunor::Run&) -> bool { throw Error(3, "boom"); };
    c = std::make_unique<RunController>(shell, drive, std::move(p), "");
    c->Load();
    window.SetEnabled(Control::cmdStarten, true);
    c->StartClicked();
    EXPECT_FALSE(c->state.RunActive);
    EXPECT_EQ(prompter.texts().back(), "[Error #3] boom");
    EXPECT_NE(ReadAll(dir / "Logs" / "Error.log").find(" 3 boomDatenKopieren"), std::string::npos);
}

TEST_F(ControllerFixture, MissingPhaseSaysSoAndNeverPretendsSuccess) {
    Make();
    Detect();
    c = std::make_unique<RunController>(shell, drive, Phases{}, "");
    c->Load();
    window.SetEnabled(Control::cmdStarten, true);
    c->StartClicked();
    EXPECT_FALSE(c->state.RunActive);
    EXPECT_EQ(prompter.texts().back(), "[Error #0] not available in this build");
}

TEST_F(ControllerFixture, UnattendedStartComesOnTheTickAfterTheLimitAndNotDuringARun) {
    Make("AUTO");
    Detect();
    for (int i = 0; i < 240; ++i) c->TimerWriteTick();
    EXPECT_EQ(calls.size(), 1u);  // only detection so far
    EXPECT_EQ(c->AutoTickCount, 240);
    c->TimerWriteTick();          // the 241st tick starts a run
    EXPECT_EQ(calls.back(), "DVDCreate");
    EXPECT_EQ(c->AutoTickCount, 0);
    EXPECT_TRUE(c->state.RunActive);

    // A run is active: the next count ends without a start but begins anew.
    for (int i = 0; i < 241; ++i) c->TimerWriteTick();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "DatenKopieren"), 1);
    EXPECT_EQ(c->AutoTickCount, 0);
}

TEST_F(ControllerFixture, NoDriveMeansNoUnattendedStart) {
    detectFinds = false;
    Make("AUTO");
    Detect();
    for (int i = 0; i < 241; ++i) c->TimerWriteTick();
    EXPECT_EQ(calls, std::vector<std::string>{"fDetect"});
}

TEST_F(ControllerFixture, CancelOnlySetsTheFlagWhichTheNextStartClears) {
    Make();
    Detect();
    c->CancelClicked();
    EXPECT_TRUE(c->state.CancelRequested);
    EXPECT_EQ(calls.size(), 1u);
    bool seen = true;
    Phases p;
    p.DatenKopieren = [&](velunor::Run& run) { seen = run.state.CancelRequested; return false; };
    c = std::make_unique<RunController>(shell, drive, std::move(p), "");
    c->state.CancelRequested = true;
    c->StartClicked();
    EXPECT_FALSE(seen);
}

TEST_F(ControllerFixture, CloseBoxIsRefusedDuringARunButTheDoorIsFreedEveryTime) {
    Make();
    Detect();
    EXPECT_TRUE(c->CloseRequest(true));
    c->StartClicked();
    drive.calls.clear();
    EXPECT_FALSE(c->CloseRequest(true));
    EXPECT_TRUE(c->CloseRequest(false));
    EXPECT_EQ(drive.Count("AllowRemoval(1)"), 2);
}

TEST_F(ControllerFixture, StartResetsTheBarsAndASecondStartDuringARunIsIgnored) {
    Make();
    Detect();
    for (Control pb : {Control::pbSammeln, Control::pbDB, Control::pbDicomDir, Control::pbDisk, Control::pbVer})
        window.SetValue(pb, 77);
    c->StartClicked();
    for (Control pb : {Control::pbSammeln, Control::pbDB, Control::pbDicomDir, Control::pbDisk, Control::pbVer})
        EXPECT_EQ(window.Value(pb), 0);
    c->StartClicked();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "DatenKopieren"), 1);
}

// A run keeps the settings it started with: a reload during the run (an
// operator's edit) applies when the run has ended.
TEST_F(ControllerFixture, TimerReadyReloadsTheConfigurationButARunKeepsItsOwn) {
    Make();
    Detect();
    test::WriteAll(dir / "velunor.ini", "[CONFIG]\nDVDSpeed=12\nTempPath=" + (dir / "stage").string() + "\n");
    c->TimerReadyTick();
    EXPECT_EQ(shell.settings.DVDSpeed, 12);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "stage" / "DVD" / "1"));

    c->StartClicked();   // burning now
    ASSERT_TRUE(c->state.RunActive);
    test::WriteAll(dir / "velunor.ini", "[CONFIG]\nDVDSpeed=4\nTempPath=" + (dir / "other").string() + "\n");
    c->TimerReadyTick();
    EXPECT_EQ(shell.settings.DVDSpeed, 12);
    EXPECT_EQ(shell.settings.TempPath, (dir / "stage").string() + "/");
    drive.burning = true;
    drive.burnScript = {{test::ScriptedDrive::Ev::Complete, 0, 0, ""}};
    c->TimerDVDTick();   // verification, update, end of the run
    ASSERT_FALSE(c->state.RunActive);
    EXPECT_EQ(shell.settings.DVDSpeed, 4);
    EXPECT_EQ(shell.settings.TempPath, (dir / "other").string() + "/");
}

// One run at a time per program folder and staging tree, also between two
// controllers of one process: the second starts nothing and says why, and
// an unattended one tries again at its next tick.
TEST_F(ControllerFixture, ASecondControllerStartsNothingWhileARunHoldsTheLock) {
    Make();
    Detect();
    c->StartClicked();
    ASSERT_TRUE(c->state.RunActive);

    // Another program folder that shares the staging tree is kept out as
    // well as the same program folder is.
    test::ScriptedPrompter prompter2;
    HeadlessWindow window2{prompter2, test::FakeSleep{}};
    std::filesystem::create_directories(dir / "other-program");
    Shell shell2{dir / "other-program", window2};
    shell2.settings = shell.settings;
    shell2.settings.StartupPending = true;
    shell2.log.markerPath = dir / "Velunor2.ready";
    test::ScriptedDrive drive2;
    std::vector<std::string> calls2;
    Phases p;
    p.DatenKopieren = [&](velunor::Run&) {
        calls2.push_back("DatenKopieren");
        return false;
    };
    p.ShowDetectWindow = [](velunor::Run& run) { run.window().SetEnabled(Control::cmdStarten, true); };
    RunController second(shell2, drive2, std::move(p), "AUTO");
    second.Load();
    second.TimerDVDTick();
    second.AutoTickLimit = 0;
    second.TimerWriteTick();

    EXPECT_TRUE(calls2.empty());
    EXPECT_FALSE(second.state.RunActive);
    EXPECT_TRUE(second.state.summary.couldNotStart);
    const std::string why = "another run is active (process " + std::to_string(::getpid()) + ")";
    EXPECT_EQ(second.state.summary.why, why);
    EXPECT_EQ(window2.Caption(Control::lblCur), why);
    EXPECT_EQ(second.AutoTickCount, second.AutoTickLimit);   // the next tick tries again

    drive.burning = true;
    drive.burnScript = {{test::ScriptedDrive::Ev::Complete, 0, 0, ""}};
    c->TimerDVDTick();
    ASSERT_FALSE(c->state.RunActive);
    second.TimerWriteTick();
    EXPECT_EQ(calls2, std::vector<std::string>{"DatenKopieren"});
}

}  // namespace
}  // namespace velunor
