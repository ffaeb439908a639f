// The phases against a scripted optical drive: detection, DVDCreate and the burn's handlers.
#include <gtest/gtest.h>

#include "app/error.hpp"
#include "disc/disc.hpp"
#include "tests/disc/disc_test_support.hpp"
#include "tests/support/scripted_drive.hpp"

namespace velunor {
namespace {

using OpticalDrive = test::ScriptedDrive::Drive;
constexpr auto npos = std::string::npos;

// A drive that notes at each tray move whether the run heard how the burn ended; it may jam.
struct TrayWatch : test::ScriptedDrive {
    std::optional<bool> written;
    std::vector<bool> toldAtTray;
    bool jam = false;
    TrayWatch() { drives = {Drive{}}; }
    void LoadTray(bool close) override {
        test::ScriptedDrive::LoadTray(close);
        toldAtTray.push_back(written.has_value());
        if (jam) throw Error(5, "Tray jammed");
    }
};

struct ScriptedDriveTest : ::testing::Test {
    test::DiscHarness h;
    TrayWatch drive;

    ScriptedDriveTest() { h.writer = &drive; }
    std::optional<Drive> Detect() {
        velunor::Run run = h.run();
        return ShowDetectWindow(run);
    }
    BurnStart Create(std::int32_t previous = 16) {
        velunor::Run run = h.run();
        return DVDCreate(run, h.Disc(previous), Drive{0, "VENDORPRODUCT", 22160});
    }
};

TEST_F(ScriptedDriveTest, DetectionSelectsTheFirstUsableDvdWriterOrNone) {
    drive.drives = {OpticalDrive{.usable = false}, OpticalDrive{.cap9 = false},
                    OpticalDrive{.vendor = "PLUS", .product = "ONLY", .cap9 = false, .cap38 = true, .maxSpeed = 33240},
                    OpticalDrive{.vendor = "LATER"}};
    ASSERT_TRUE(Detect());
    EXPECT_EQ(drive.selected, 2);

    // The first writer cannot be selected: none, silently (not the next one).
    drive.drives = {OpticalDrive{.selectable = false}, OpticalDrive{}};
    EXPECT_FALSE(Detect());
    EXPECT_FALSE(h.events.driveReady);
    EXPECT_TRUE(h.events.asked.empty());

    // No DVD writer: logged, and asked once more whatever Archive says.
    drive.drives = {OpticalDrive{.cap9 = false}};
    for (const std::int16_t archive : {0, 1}) {
        h.shell.settings.Archive = archive;
        EXPECT_FALSE(Detect());
    }
    EXPECT_EQ(h.events.Texts(), (std::vector<std::string>{"[Error #0] No DVD-Writer found", "No DVD-Writer found",
                                                           "No DVD-Writer found"}));
    EXPECT_NE(h.Log().find("No DVD-Writer found"), npos);
}

TEST_F(ScriptedDriveTest, DVDCreateBurnsDiscNPlusOneOnlyOnABlankDiscAndRefusesWhatCannotBeBurned) {
    // No blank disc after two requests: nothing is written.
    drive.discStatus = {1, 2};
    EXPECT_EQ(Create(), BurnStart::Failed);
    EXPECT_EQ(drive.Count("StartBurn"), 0);
    EXPECT_EQ(h.events.Texts(), std::vector<std::string>(2, "[Error #0] Please insert a blank DVD"));

    // A disc inserted after the first request is burned, at the speed set.
    h.shell.settings.DVDSpeed = 24;
    drive.discStatus = {1, 0};
    EXPECT_EQ(Create(16), BurnStart::Started);
    EXPECT_EQ(drive.label, "DVD 17");
    EXPECT_EQ(drive.speed, 24 * 1380);
    EXPECT_FALSE(h.events.cancelAllowed);

    // Speed 0 is the drive's highest; the number never wraps.
    h.shell.settings.DVDSpeed = 0;
    EXPECT_EQ(Create(INT32_MAX), BurnStart::Started);
    EXPECT_EQ(drive.label, "DVD 2147483648");
    EXPECT_EQ(drive.speed, 22160);

    // An image of 4,500,000,000 bytes is burned; one byte more is refused.
    drive.blocks = 1;
    drive.bytesPerBlock = 4'500'000'000.0;
    EXPECT_EQ(Create(), BurnStart::Started);
    drive.bytesPerBlock += 1;
    h.events.asked.clear();
    EXPECT_EQ(Create(), BurnStart::Failed);
    EXPECT_EQ(h.events.asked.at(0).text, "Too many data for one DVD!");
    EXPECT_EQ(drive.Count("StartBurn"), 3);

    // A burn that does not start: the insert request, even with Archive set.
    h.shell.settings.Archive = 1;
    drive.bytesPerBlock = 2048;
    drive.startBurnResult = false;
    h.events.asked.clear();
    EXPECT_EQ(Create(), BurnStart::Failed);
    EXPECT_EQ(h.events.Texts(), std::vector<std::string>{"Please insert a blank DVD"});

    // An error inside (a jammed tray) is logged and frees the door.
    drive.jam = true;
    EXPECT_EQ(Create(), BurnStart::Failed);
    EXPECT_EQ(drive.calls.back(), "AllowRemoval(1)");
    EXPECT_NE(h.Log().find("Tray jammed"), npos);
}

TEST_F(ScriptedDriveTest, TheBurnEndsAfterTheTrayNoticeOrFailsWithEveryBarReset) {
    DiscWriterEvents ev;
    {
        velunor::Run run = h.run();  // the handlers outlive it
        ev = BurnEvents(run, [&](bool w) { drive.written = w; });
    }
    ev.WriteProgress(0, 10, 0);  // no total: nothing to show
    ev.BurnComplete();
    EXPECT_EQ(drive.written, true);
    // The tray opened, and closed again during the notice, before the run heard of it.
    EXPECT_EQ(drive.toldAtTray, (std::vector<bool>{false, false}));

    // A write error: every bar back to 0, the message asked.
    for (RunPhase p : kRunPhases) h.events.Progress(p, 77);
    drive.written.reset();
    ev.WriteError(0, 0, "Cannot write (No space left on device)", "");
    EXPECT_EQ(drive.written, false);
    for (RunPhase p : kRunPhases) EXPECT_EQ(h.events.Progress(p), 0);
    EXPECT_EQ(h.events.Texts().back(), "Cannot write (No space left on device)");

    // A tray that does not move after the burn: failed.
    drive.jam = true;
    drive.written.reset();
    ev.BurnComplete();
    EXPECT_EQ(drive.written, false);
}

}  // namespace
}  // namespace velunor
