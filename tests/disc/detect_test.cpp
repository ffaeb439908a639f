// Drive detection: LoadDriveCombo, ShowDriveInfo and the wait window fDetect.
#include <gtest/gtest.h>

#include "app/error.hpp"
#include "disc/disc.hpp"
#include "tests/disc/disc_test_support.hpp"
#include "tests/support/scripted_drive.hpp"

namespace velunor {
namespace {

using Drive = test::ScriptedDrive::Drive;

struct DriveDetectTest : ::testing::Test {
    test::DiscHarness h;
    test::ScriptedDrive drive;

    DriveDetectTest() { h.writer = &drive; }

    bool Detect() {
        velunor::Run run = h.run();
        return LoadDriveCombo(run);
    }
    std::string DriveLabel() const { return h.window.Caption(Control::lblDrive); }
};

TEST_F(DriveDetectTest, NoDriveIsReportedTwiceAndStartStaysDisabled) {
    h.shell.settings.ASAPI = 3;
    velunor::Run run = h.run();
    ShowDetectWindow(run);

    ASSERT_EQ(h.window.notices.size(), 1u);
    EXPECT_EQ(h.window.notices[0].title, "Information");
    EXPECT_EQ(h.window.notices[0].text, "Detecting first 'DVD-Burning-Drive', please wait ...");
    EXPECT_EQ(h.window.notices[0].interval, std::chrono::milliseconds(200));
    EXPECT_EQ(h.sleep.total, std::chrono::milliseconds(200));
    EXPECT_EQ(drive.calls, (std::vector<std::string>{"NewImage", "ScanDrives(1)", "DriveCount"}));
    EXPECT_EQ(h.prompter.texts(), (std::vector<std::string>{"[Error #0] No DVD-Writer found", "No DVD-Writer found"}));
    EXPECT_EQ(h.prompter.shown[1].icon, Icon::Critical);
    ASSERT_EQ(h.ErrorLog().size(), 1u);
    EXPECT_NE(h.ErrorLog()[0].find(" 0 No DVD-Writer foundLoadDriveCombo"), std::string::npos) << h.ErrorLog()[0];
    EXPECT_EQ(h.state.BurnState, -1);
    EXPECT_EQ(h.state.DriveIndex, -1);
    EXPECT_FALSE(h.window.IsEnabled(Control::cmdStarten));
}

TEST_F(DriveDetectTest, WithArchiveSetTheDirectBoxIsStillShown) {
    h.shell.settings.Archive = 1;
    drive.drives = {Drive{.cap9 = false, .cap38 = false}};
    EXPECT_FALSE(Detect());
    EXPECT_EQ(h.prompter.texts(), std::vector<std::string>{"No DVD-Writer found"});
    EXPECT_EQ(h.ErrorLog().size(), 1u);
}

TEST_F(DriveDetectTest, TheFirstQualifyingDriveWinsAndLaterOnesAreNotExamined) {
    drive.drives = {Drive{.vendor = "HL-DT-ST", .product = "DVDRAM GH24NSD1"}, Drive{.vendor = "SECOND"}};
    velunor::Run run = h.run();
    ShowDetectWindow(run);

    EXPECT_EQ(h.state.DriveIndex, 0);
    EXPECT_EQ(DriveLabel(), "HL-DT-STDVDRAM GH24NSD1 [Speed 16.1X/22160 KBs]");
    EXPECT_EQ(h.state.MaxSpeed, 22160);
    EXPECT_TRUE(h.window.IsEnabled(Control::cmdStarten));
    EXPECT_EQ(drive.calls, (std::vector<std::string>{"NewImage", "ScanDrives(0)", "DriveCount", "DriveCapable(0,9)",
                                                     "DriveCapable(0,38)", "DriveUsable(0)", "SelectDrive(0)"}));
    EXPECT_TRUE(h.prompter.shown.empty());
    EXPECT_TRUE(h.ErrorLog().empty());
}

TEST_F(DriveDetectTest, EveryDriveIsAskedAllThreeQuestionsAndPlusROnlyQualifies) {
    drive.drives = {Drive{.cap9 = true, .usable = false}, Drive{.cap9 = false, .cap38 = false},
                    Drive{.vendor = "PLUS", .product = "ONLY", .cap9 = false, .cap38 = true, .maxSpeed = 33240}};
    EXPECT_TRUE(Detect());
    EXPECT_EQ(h.state.DriveIndex, 2);
    EXPECT_EQ(DriveLabel(), "PLUSONLY [Speed 24.1X/33240 KBs]");
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i);
        EXPECT_EQ(drive.Count("DriveCapable(" + n + ",9)"), 1);
        EXPECT_EQ(drive.Count("DriveCapable(" + n + ",38)"), 1);
        EXPECT_EQ(drive.Count("DriveUsable(" + n + ")"), 1);
    }
}

TEST_F(DriveDetectTest, ADriveThatCannotBeSelectedEndsSilently) {
    drive.drives = {Drive{.selectable = false}, Drive{}};
    velunor::Run run = h.run();
    ShowDetectWindow(run);
    EXPECT_EQ(h.state.DriveIndex, -1);
    EXPECT_EQ(h.state.BurnState, -1);
    EXPECT_EQ(DriveLabel(), "VENDORPRODUCT");
    EXPECT_FALSE(h.window.IsEnabled(Control::cmdStarten));
    EXPECT_TRUE(h.prompter.shown.empty());
    EXPECT_TRUE(h.ErrorLog().empty());
    EXPECT_EQ(drive.Count("DriveUsable(1)"), 0);
}

TEST_F(DriveDetectTest, AnErrorOfTheWriterIsLoggedAndKeepsTheState) {
    struct FailingDrive : test::ScriptedDrive {
        void ScanDrives(bool) override { throw Error(42, "bus reset"); }
    } failing;
    h.writer = &failing;
    h.state.BurnState = 0;
    h.state.DriveIndex = 3;
    EXPECT_FALSE(Detect());
    EXPECT_EQ(h.state.DriveIndex, -1);  // set before the scan
    EXPECT_EQ(h.state.BurnState, 0);
    EXPECT_EQ(h.prompter.texts(), std::vector<std::string>{"[Error #42] bus reset"});
    ASSERT_EQ(h.ErrorLog().size(), 1u);
    EXPECT_NE(h.ErrorLog()[0].find(" 42 bus resetLoadDriveCombo"), std::string::npos);
}

TEST(DriveSpeedFactor, OneDecimalHalvesToEvenShortestForm) {
    EXPECT_EQ(FormatSpeedFactor(22160), "16.1");
    EXPECT_EQ(FormatSpeedFactor(33240), "24.1");
    EXPECT_EQ(FormatSpeedFactor(27600), "20");
    EXPECT_EQ(FormatSpeedFactor(1380), "1");
    EXPECT_EQ(FormatSpeedFactor(0), "0");
    // Exactly halfway between two tenths: 69/138 = 0.05 -> 0.0, 207/138 = 0.15 -> 0.2.
    EXPECT_EQ(FormatSpeedFactor(69), "0");
    EXPECT_EQ(FormatSpeedFactor(207), "0.2");
    EXPECT_EQ(FormatSpeedFactor(-207), "-0.2");
    EXPECT_EQ(FormatSpeedFactor(2147483647), "1556147.6");
}

TEST(DiscVolumeLabel, NumberAfterTheLastDisc) {
    EXPECT_EQ(VolumeLabelFor(16), "DVD 17");
    EXPECT_EQ(VolumeLabelFor(0), "DVD 1");
    EXPECT_EQ(VolumeLabelFor(2147483647), "DVD 2147483648");
}

// The real writer with an image folder: detected like a drive.
TEST_F(DriveDetectTest, TheImageFolderIsDetectedAsTheFirstDrive) {
    h.shell.settings.ImageFolder = h.images().string();
    auto real = MakeDVDWriter(h.shell.settings);
    h.writer = real.get();
    EXPECT_TRUE(Detect());
    EXPECT_EQ(h.state.DriveIndex, 0);
    EXPECT_EQ(DriveLabel(), "Image folder " + h.images().string() + " [Speed 0X/0 KBs]");
}

}  // namespace
}  // namespace velunor
