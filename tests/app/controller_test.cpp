// The run controller with fake phases: what each phase is handed, what ends
// a run, how a recorded disc is finished, and the timers.
#include <gtest/gtest.h>

#include <unistd.h>

#include "app/error.hpp"
#include "app/media_number.hpp"
#include "app/program/controller.hpp"
#include "tests/support/recorded_events.hpp"
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

using test::ReadAll;
using test::ScriptedDrive;

// A controller with fake phases that record what they were handed.
struct ControllerFixture : ::testing::Test {
    test::TempDir dir;
    test::RecordedEvents events;
    Shell shell{dir.path(), events};
    ScriptedDrive drive;
    std::vector<std::string> calls;
    Collected collected;           // what the collection returns
    bool dicomdirOk = true;
    BurnStart burn = BurnStart::Started;
    bool verifyOk = true;
    bool collectThrows = false;
    Recorded recorded;             // what the database update returns
    std::optional<Drive> detected = Drive{0, "VENDORPRODUCT", 22160};
    std::unique_ptr<RunController> c;

    ControllerFixture() {
        shell.log.markerPath = dir / "Velunor.ready";
        shell.settings.MSGDVDName = "Label it DVD {NAME}";
        shell.settings.TempPath = (dir / "staging").string() + "/";
        collected.lastDisc = 7;
        collected.write = true;
    }

    void Make(const std::string& args = "") {
        Phases p;
        p.DatenKopieren = [this](velunor::Run& run) {
            calls.push_back(std::string("DatenKopieren") + (run.Cancelled() ? " cancelled" : ""));
            if (collectThrows) throw Error(42, "broken");
            return collected;
        };
        p.DicomDir = [this](velunor::Run&, const StagedDisc& d) {
            calls.push_back("DicomDir " + d.Label());
            return dicomdirOk;
        };
        p.DVDCreate = [this](velunor::Run&, const StagedDisc& d, const Drive& drv) {
            calls.push_back("DVDCreate " + d.Label() + " on " + drv.name);
            return burn;
        };
        p.DVDVerify = [this](velunor::Run&, const StagedDisc& d) -> std::optional<VerifiedDisc> {
            calls.push_back("DVDVerify " + d.Label());
            if (!verifyOk) return std::nullopt;
            return VerifiedDisc{d, {"1.1"}, {"2.1", "2.2"}, false};
        };
        p.DBUpdate = [this](velunor::Run&, const VerifiedDisc& v) {
            calls.push_back("DBUpdate " + v.disc.Label() + " " + std::to_string(v.studies2.size()));
            // Recording happens before anything of the disc is cleared away.
            EXPECT_TRUE(std::filesystem::exists(v.disc.tree.dvd2 / "staged.dcm"));
            EXPECT_EQ(drive.Count("Eject"), 0);
            return recorded;
        };
        p.DetectDrive = [this](velunor::Run&) {
            calls.push_back("detect");
            return detected;
        };
        p.BurnEvents = [](velunor::Run&, std::function<void(bool)> done) {
            DiscWriterEvents ev;
            ev.BurnComplete = [done] { done(true); };
            ev.WriteError = [done](std::int32_t, std::int32_t, const std::string&, const std::string&) { done(false); };
            return ev;
        };
        c = std::make_unique<RunController>(shell, drive, std::move(p), args);
    }

    void Stage() {
        const StagingTree t(shell.settings.TempPath);
        std::filesystem::create_directories(t.dvd2);
        test::WriteAll(t.dvd2 / "staged.dcm", "x");
    }

    // Start, then the burn completes on the next tick.
    void RunToTheEnd() {
        Stage();
        c->StartClicked();
        drive.burning = true;
        drive.burnScript = {{ScriptedDrive::Ev::Complete, 0, 0, ""}};
        for (int i = 0; i < 5 && c->Active(); ++i) c->TimerDVDTick();
        ASSERT_FALSE(c->Active());
    }
};

TEST_F(ControllerFixture, ARecordedDiscIsFinishedInTheSafeOrderAndTheOutcomeSaysWhatHappened) {
    Make();
    EXPECT_FALSE(c->CanStart());
    c->StartClicked();   // before detection: nothing
    c->TimerDVDTick();
    ASSERT_TRUE(c->CanStart());
    recorded.recordedStudies = 2;
    recorded.failedUpdates = 1;
    recorded.journalKept = true;
    collected.partlyUnreadable = {"/a/"};
    RunToTheEnd();

    EXPECT_EQ(calls, (std::vector<std::string>{"detect", "DatenKopieren", "DicomDir DVD 8",
                                               "DVDCreate DVD 8 on VENDORPRODUCT", "DVDVerify DVD 8",
                                               "DBUpdate DVD 8 2"}));
    EXPECT_EQ(events.phases, (std::vector<RunPhase>{RunPhase::Collect, RunPhase::DicomDir, RunPhase::Disc,
                                                     RunPhase::Verify, RunPhase::Record}));
    // Eject, staging emptied, then the number: nothing of disc 8 is left
    // behind a stored 8.
    EXPECT_EQ(drive.Count("Eject"), 1);
    EXPECT_FALSE(std::filesystem::exists(StagingTree(shell.settings.TempPath).dvd2 / "staged.dcm"));
    EXPECT_EQ(ReadLastMediaNr(dir.path()), 8);
    ASSERT_EQ(events.outcomes.size(), 1u);
    const RunOutcome& o = events.Last();
    EXPECT_TRUE(o.discWritten && o.discRecorded && o.numberStored && o.journalKept);
    EXPECT_EQ(o.discNumber, 8);
    EXPECT_EQ(o.studies2, (std::vector<std::string>{"2.1", "2.2"}));
    EXPECT_EQ(o.recordedStudies, 2);
    EXPECT_EQ(o.failedUpdates, 1);
    EXPECT_EQ(events.asked.back().text,
              "Label it DVD 8\r\n\r\n2 studies recorded, 1 failed.\r\nThe failed updates wait in the record journal; "
              "the next run records them.\r\n1 studies archived with unreadable files (see Logs/Error.log).");
    EXPECT_GE(drive.Count("AllowRemoval(1)"), 1);
}

// Whatever ends a run early (a phase failing or throwing), no later phase
// runs, nothing is recorded and the number stays.
TEST_F(ControllerFixture, AFailureAnywhereEndsTheRunWithoutLaterPhasesAndKeepsTheNumber) {
    struct Case {
        const char* name;
        std::function<void(ControllerFixture&)> fault;
        std::size_t phasesRun;
    };
    const Case cases[] = {
        {"nothing to write", [](ControllerFixture& f) { f.collected.write = false; }, 1},
        {"collection throws", [](ControllerFixture& f) { f.collectThrows = true; }, 1},
        {"DICOMDIR", [](ControllerFixture& f) { f.dicomdirOk = false; }, 2},
        {"burn not started", [](ControllerFixture& f) { f.burn = BurnStart::Failed; }, 3},
        {"write error", [](ControllerFixture& f) { f.drive.burnScript = {{ScriptedDrive::Ev::Error, 0, 0, "bad"}}; }, 3},
        {"verification", [](ControllerFixture& f) { f.verifyOk = false; }, 4},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        calls.clear();
        events.outcomes.clear();
        collected.write = true;
        dicomdirOk = verifyOk = true;
        collectThrows = false;
        burn = BurnStart::Started;
        Make();
        c->TimerDVDTick();
        Stage();
        k.fault(*this);
        c->StartClicked();
        drive.burning = true;
        if (drive.burnScript.empty()) drive.burnScript = {{ScriptedDrive::Ev::Complete, 0, 0, ""}};
        for (int i = 0; i < 5 && c->Active(); ++i) c->TimerDVDTick();
        EXPECT_FALSE(c->Active());
        EXPECT_EQ(calls.size(), k.phasesRun + 1);
        EXPECT_EQ(ReadLastMediaNr(dir.path()), 0);
        ASSERT_EQ(events.outcomes.size(), 1u);
        EXPECT_FALSE(events.Last().discRecorded);
        EXPECT_TRUE(c->CanStart());
        drive.burnScript.clear();
    }
    // A phase that throws all the same is logged under its name.
    EXPECT_NE(ReadAll(dir / "Logs" / "Error.log").find("42 brokenDatenKopieren"), std::string::npos);
}

// An image that stays in the image folder and could not be recorded keeps
// its number for the next run's take-over; a number that cannot be stored
// is said plainly.
TEST_F(ControllerFixture, TheNumberAdvancesOnlyWhenTheDiscUsedItAndAFailedStoreIsSaid) {
    Make();
    c->TimerDVDTick();
    recorded.numberUsed = false;
    RunToTheEnd();
    EXPECT_EQ(ReadLastMediaNr(dir.path()), 0);
    EXPECT_FALSE(events.Last().discRecorded);
    EXPECT_FALSE(std::filesystem::exists(StagingTree(shell.settings.TempPath).dvd2 / "staged.dcm"));
    EXPECT_EQ(drive.Count("Eject"), 0);

    recorded.numberUsed = true;
    std::filesystem::create_directory(dir / "LastMediaNr");   // cannot be replaced
    RunToTheEnd();
    EXPECT_TRUE(events.Last().discRecorded);
    EXPECT_FALSE(events.Last().numberStored);
    EXPECT_NE(events.asked.back().text.find("LastMediaNr could not be stored"), std::string::npos);
}

TEST_F(ControllerFixture, ArgumentsSelectDebugAndUnattendedModes) {
    Make("debug");
    EXPECT_TRUE(shell.settings.DebugMode);
    EXPECT_FALSE(c->Unattended());
    shell.settings.DebugMode = false;
    for (const char* a : {"auto", "AUTO"}) {
        Make(a);
        EXPECT_TRUE(c->Unattended()) << a;
    }
    for (const char* a : {"Debug", "AUTO x", ""}) {
        Make(a);
        EXPECT_FALSE(c->Unattended() || shell.settings.DebugMode) << a;
    }
    for (const char* a : {"config", "-CONFIG", "xconfigx", "/Config"}) EXPECT_TRUE(WantsConfigDialog(a)) << a;
    for (const char* a : {"", "AUTO", "debug", "conf ig"}) EXPECT_FALSE(WantsConfigDialog(a)) << a;
}

// The unattended tick starts a run on the tick after the limit, never
// during a run and never without a drive; a manual program ignores it.
TEST_F(ControllerFixture, UnattendedStartsComeOnTheTickAfterTheLimitOnly) {
    shell.timing.autoTickLimit = 2;
    Make();
    c->TimerDVDTick();
    for (int i = 0; i < 5; ++i) c->TimerWriteTick();
    EXPECT_EQ(events.runsStarted, 0);

    Make("AUTO");
    detected.reset();
    c->TimerDVDTick();
    for (int i = 0; i < 5; ++i) c->TimerWriteTick();
    EXPECT_EQ(events.runsStarted, 0);

    detected = Drive{0, "d", 1};
    Make("AUTO");
    c->TimerDVDTick();
    c->TimerWriteTick();
    c->TimerWriteTick();
    EXPECT_EQ(events.runsStarted, 0);
    c->TimerWriteTick();
    EXPECT_EQ(events.runsStarted, 1);
    ASSERT_TRUE(c->Active());
    for (int i = 0; i < 6; ++i) c->TimerWriteTick();
    EXPECT_EQ(events.runsStarted, 1);
}

TEST_F(ControllerFixture, CancelReachesThePhaseOnlyInItsOwnRunAndTheCloseBoxWaitsForTheRun) {
    Make();
    c->TimerDVDTick();
    c->CancelClicked();
    collected.write = false;
    c->StartClicked();
    EXPECT_EQ(calls.back(), "DatenKopieren");   // an earlier click does not cancel a new run
    collected.write = true;
    c->StartClicked();
    c->CancelClicked();
    EXPECT_TRUE(c->Active());
    EXPECT_FALSE(c->CloseRequest(true));
    EXPECT_TRUE(c->CloseRequest(false));
    const int freed = drive.Count("AllowRemoval(1)");
    EXPECT_GE(freed, 2);
}

// A run keeps the settings it started with: a reload during the run (an
// operator's edit) applies when the run has ended.
TEST_F(ControllerFixture, TimerReadyReloadsTheConfigurationButARunKeepsItsOwn) {
    Make();
    c->TimerDVDTick();
    test::WriteAll(dir / "velunor.ini", "[CONFIG]\nDVDSpeed=12\nTempPath=" + (dir / "stage").string() + "\n");
    c->TimerReadyTick();
    EXPECT_EQ(shell.settings.DVDSpeed, 12);
    Stage();
    c->StartClicked();
    ASSERT_TRUE(c->Active());
    test::WriteAll(dir / "velunor.ini", "[CONFIG]\nDVDSpeed=4\nTempPath=" + (dir / "other").string() + "\n");
    c->TimerReadyTick();
    EXPECT_EQ(shell.settings.TempPath, (dir / "stage").string() + "/");
    drive.burning = true;
    drive.burnScript = {{ScriptedDrive::Ev::Complete, 0, 0, ""}};
    c->TimerDVDTick();
    c->TimerDVDTick();
    ASSERT_FALSE(c->Active());
    EXPECT_EQ(shell.settings.DVDSpeed, 4);
    EXPECT_EQ(shell.settings.TempPath, (dir / "other").string() + "/");
}

// One run at a time per program folder and staging tree, also between two
// controllers of one process: the second starts nothing and says why, and
// an unattended one tries again at its next tick.
TEST_F(ControllerFixture, ASecondControllerStartsNothingWhileARunHoldsTheLock) {
    Make();
    c->TimerDVDTick();
    Stage();
    c->StartClicked();
    ASSERT_TRUE(c->Active());

    test::RecordedEvents events2;
    std::filesystem::create_directories(dir / "other-program");
    Shell shell2{dir / "other-program", events2};
    shell2.settings = shell.settings;
    shell2.timing.autoTickLimit = 0;
    shell2.log.markerPath = dir / "Velunor2.ready";
    int started = 0;
    Phases p;
    p.DatenKopieren = [&](velunor::Run&) {
        ++started;
        return Collected{};
    };
    p.DetectDrive = [](velunor::Run&) { return std::optional<Drive>(Drive{0, "d", 1}); };
    RunController second(shell2, drive, std::move(p), "AUTO");
    second.TimerDVDTick();
    second.TimerWriteTick();

    EXPECT_EQ(started, 0);
    const std::string why = "another run is active (process " + std::to_string(::getpid()) + ")";
    EXPECT_TRUE(events2.Last().couldNotStart);
    EXPECT_EQ(events2.Last().why, why);
    EXPECT_EQ(events2.statuses.back(), why);

    drive.burning = true;
    drive.burnScript = {{ScriptedDrive::Ev::Complete, 0, 0, ""}};
    c->TimerDVDTick();
    c->TimerDVDTick();
    ASSERT_FALSE(c->Active());
    second.TimerWriteTick();   // the very next tick
    EXPECT_EQ(started, 1);
}

}  // namespace
}  // namespace velunor
