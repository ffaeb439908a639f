// DVDCreate and RecalcIsoSize: the drive check, the image, the size limit,
// the burn settings and the start of the burn.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/error.hpp"
#include "disc/disc.hpp"
#include "disc/dvd_writer.hpp"
#include "tests/disc/disc_test_support.hpp"
#include "tests/support/scripted_drive.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
const std::string kInsert = "Please insert a blank DVD\r\nand confirm.";

struct DVDCreateTest : ::testing::Test {
    test::DiscHarness h;
    test::ScriptedDrive drive;

    DVDCreateTest() {
        h.writer = &drive;
        drive.drives = {test::ScriptedDrive::Drive{}};
        h.state.DriveIndex = 0;
        h.state.MediaNumber = 16;
    }

    bool Create() {
        velunor::Run run = h.run();
        return DVDCreate(run);
    }

    std::vector<std::string> CallsFrom(const std::string& first) const {
        auto it = std::find(drive.calls.begin(), drive.calls.end(), first);
        return {it, drive.calls.end()};
    }
};

TEST_F(DVDCreateTest, BurnsWithTheSettingsInTheirOrder) {
    h.shell.settings.DVDSpeed = 24;
    EXPECT_TRUE(Create());
    const std::string clone = "CloneDirectoryToISO(/," + h.shell.settings.TempPath + "DVD/*)";
    EXPECT_EQ(drive.calls,
              (std::vector<std::string>{"SelectDrive(0)", "LoadTray(1)", "DiscStatus", "AllowRemoval(0)", "ImageOption(1)",
                                        "NewImage", clone, "BurnMode(1)", "BurnSwitch1(1)", "BurnSwitch2(1)",
                                        "VolumeLabel(DVD 17)", "BurnSwitch3(0)", "BurnSwitch4(0)", "SetWriteSpeed(33120)",
                                        "StartBurn"}));
    EXPECT_EQ(h.state.BurnState, 0);
    EXPECT_FALSE(h.window.IsEnabled(Control::cmdCancel));
    EXPECT_TRUE(h.window.IsVisible(Control::pbDisk));
    EXPECT_EQ(h.window.Value(Control::pbDisk), 0);
    EXPECT_EQ(h.window.Caption(Control::lblDVD), "Create DVD");
    EXPECT_EQ(h.window.Caption(Control::lblCur), "Starting burn");
    EXPECT_TRUE(h.prompter.shown.empty());
}

TEST_F(DVDCreateTest, SpeedZeroBurnsAtTheDrivesHighestSpeed) {
    drive.drives[0].maxSpeed = 33240;
    EXPECT_TRUE(Create());
    EXPECT_EQ(drive.Count("SetWriteSpeed(33240)"), 1);
}

TEST_F(DVDCreateTest, NoDiscTwiceAsksTwiceAndEndsTheRun) {
    drive.discStatus = {1, 1};
    EXPECT_FALSE(Create());
    const std::vector<std::string> attempt = {"SelectDrive(0)", "LoadTray(1)", "DiscStatus", "AllowRemoval(1)",
                                              "LoadTray(0)"};
    std::vector<std::string> twice = attempt;
    twice.insert(twice.end(), attempt.begin(), attempt.end());
    EXPECT_EQ(drive.calls, twice);
    EXPECT_EQ(h.prompter.texts(), std::vector<std::string>(2, "[Error #0] " + kInsert));
    const auto log = h.ErrorLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.find("confirm.DVDCreate") != std::string::npos; }),
              2);
    EXPECT_EQ(h.state.BurnState, -1);
}

TEST_F(DVDCreateTest, NoDiscWithArchiveMovesTheTrayWithoutAnyDialog) {
    h.shell.settings.Archive = 1;
    drive.discStatus = {1, 1};
    EXPECT_FALSE(Create());
    std::vector<std::string> tray;
    for (const auto& c : drive.calls)
        if (c.rfind("LoadTray", 0) == 0) tray.push_back(c);
    EXPECT_EQ(tray, (std::vector<std::string>{"LoadTray(1)", "LoadTray(0)", "LoadTray(1)", "LoadTray(0)"}));
    EXPECT_TRUE(h.prompter.shown.empty());
    const auto log = h.ErrorLog();  // the request's own line break splits each entry
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.find("confirm.DVDCreate") != std::string::npos; }),
              2);
    EXPECT_EQ(h.state.BurnState, -1);
}

TEST_F(DVDCreateTest, ADiscInsertedAfterTheFirstRequestIsUsed) {
    drive.discStatus = {2, 0};
    EXPECT_TRUE(Create());
    EXPECT_EQ(h.prompter.shown.size(), 1u);
    EXPECT_EQ(drive.Count("StartBurn"), 1);
}

TEST_F(DVDCreateTest, ACloneThatFailsIsLogged) {
    drive.cloneResult = false;
    EXPECT_FALSE(Create());
    EXPECT_EQ(h.prompter.texts(), std::vector<std::string>{"[Error #0] CloneDirectoryToISO failed"});
    EXPECT_EQ(h.state.BurnState, -1);
    EXPECT_EQ(drive.Count("StartBurn"), 0);
}

TEST_F(DVDCreateTest, TheImageLimitIsInclusive) {
    drive.blocks = 1;
    drive.bytesPerBlock = 4'500'000'000.0;
    EXPECT_TRUE(Create());
    EXPECT_TRUE(h.prompter.shown.empty());

    drive.calls.clear();
    drive.bytesPerBlock = 4'500'000'001.0;
    EXPECT_FALSE(Create());
    ASSERT_EQ(h.prompter.shown.size(), 2u);
    EXPECT_EQ(h.prompter.shown[0].text, "Too many data for one DVD!");
    EXPECT_EQ(h.prompter.shown[0].icon, Icon::Exclamation);
    EXPECT_EQ(h.prompter.shown[1].text, "[Error #0] RecalcISOSize failed");
    EXPECT_EQ(h.state.BurnState, -1);
    EXPECT_EQ(drive.Count("StartBurn"), 0);
    // Without Archive "Too many data" is shown, not logged.
    const auto log = h.ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(" 0 RecalcISOSize failedDVDCreate"), std::string::npos);
}

TEST_F(DVDCreateTest, AnImageTooLargeWithArchiveIsOnlyLogged) {
    h.shell.settings.Archive = 1;
    drive.bytesPerBlock = 4'500'000'000.0;  // x 1000 blocks
    EXPECT_FALSE(Create());
    EXPECT_TRUE(h.prompter.shown.empty());
    const auto log = h.ErrorLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].find("-1 Too many data for one DVD!RecalcIsoSize"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find(" 0 RecalcISOSize failedDVDCreate"), std::string::npos) << log[1];
}

TEST_F(DVDCreateTest, AFailedStartShowsTheInsertRequestEvenWithArchive) {
    h.shell.settings.Archive = 1;
    drive.startBurnResult = false;
    drive.problem = "DVD 1.iso exists already";
    EXPECT_FALSE(Create());
    ASSERT_EQ(h.prompter.shown.size(), 1u);
    EXPECT_EQ(h.prompter.shown[0].text, kInsert);
    EXPECT_EQ(h.prompter.shown[0].icon, Icon::Critical);
    EXPECT_EQ(h.state.BurnState, -1);
    // The reason reaches the log only.
    EXPECT_NE(h.ErrorLog().at(0).find(" 0 StartBurn failed: DVD 1.iso exists alreadyDVDCreate"), std::string::npos);
}

TEST_F(DVDCreateTest, AnErrorInsideIsLoggedAndFreesTheDoor) {
    struct JammedTray : test::ScriptedDrive {
        void LoadTray(bool close) override {
            test::ScriptedDrive::LoadTray(close);
            throw Error(5, "Tray jammed");
        }
    } jammed;
    jammed.drives = {test::ScriptedDrive::Drive{}};
    h.writer = &jammed;
    EXPECT_FALSE(Create());
    EXPECT_EQ(h.prompter.texts(), std::vector<std::string>{"[Error #5] Tray jammed"});
    EXPECT_NE(h.ErrorLog().at(0).find(" 5 Tray jammedDVDCreate"), std::string::npos);
    EXPECT_EQ(h.state.BurnState, -1);
    EXPECT_EQ(jammed.calls.back(), "AllowRemoval(1)");
}

// The whole way with the real writer: a staged tree becomes "DVD 17.iso"
// in the image folder, the events drive the window, fNot closes the tray
// and BurnState becomes 1; then verification reads the image back.
TEST(DVDCreateImageFolder, WritesAndVerifiesARealImage) {
    test::DiscHarness h;
    h.shell.settings.ImageFolder = h.images().string();
    auto writer = MakeDVDWriter(h.shell.settings);
    h.writer = writer.get();
    h.state.MediaNumber = 16;
    test::StageStudy(h.dvd() / "1", "1.2.840.1", 2, "a");
    test::StageStudy(h.dvd() / "2", "1.2.840.2", 3, "b");
    test::StageStudy(h.dvd() / "2", "1.2.840.3", 1, "c");
    test::WriteAll(h.dvd() / "Dicomdir", "index");

    velunor::Run run = h.run();
    ASSERT_TRUE(LoadDriveCombo(run));
    writer->SetEvents(BurnEvents(run));
    h.state.BurnState = 0;
    ASSERT_TRUE(DVDCreate(run)) << (h.ErrorLog().empty() ? "" : h.ErrorLog().back());
    ASSERT_TRUE(test::PumpUntil(*writer, [&] { return h.state.BurnState != 0; }));
    EXPECT_EQ(h.state.BurnState, 1);
    EXPECT_TRUE(fs::exists(h.images() / "DVD 17.iso"));
    EXPECT_EQ(h.window.Value(Control::pbDisk), h.window.Maximum(Control::pbDisk));
    ASSERT_EQ(h.window.notices.size(), 1u);
    EXPECT_EQ(h.window.notices[0].title, "Attention");
    EXPECT_EQ(h.sleep.total, std::chrono::milliseconds(15000));
    EXPECT_TRUE(h.prompter.shown.empty());

    ASSERT_TRUE(DVDVerify(run));
    EXPECT_EQ(h.state.DiscStudies1, std::vector<std::string>{"1.2.840.1"});
    EXPECT_EQ(h.state.DiscStudies2, (std::vector<std::string>{"1.2.840.2", "1.2.840.3"}));
    EXPECT_EQ(h.window.Value(Control::pbVer), 10000);

    // The next run with the same media number (this one ended before its
    // disc was recorded), in a new process: the image of DVD 17 is never
    // written a second time; it is taken over as the medium to verify, the
    // burn is skipped, and the case is logged without a box.
    const auto before = fs::last_write_time(h.images() / "DVD 17.iso");
    h.writer = nullptr;
    writer.reset();
    writer = MakeDVDWriter(h.shell.settings);
    h.writer = writer.get();
    velunor::Run next = h.run();
    ASSERT_TRUE(LoadDriveCombo(next));
    writer->SetEvents(BurnEvents(next));
    test::StageStudy(h.dvd() / "2", "1.2.840.4", 1, "d");   // staged by the next run, waits
    h.state.BurnState = 0;
    h.state.DiscStudies1.clear();
    h.state.DiscStudies2.clear();
    ASSERT_TRUE(DVDCreate(next));
    EXPECT_EQ(h.state.BurnState, 1);
    EXPECT_EQ(fs::last_write_time(h.images() / "DVD 17.iso"), before);
    EXPECT_EQ(h.window.notices.size(), 1u);
    EXPECT_TRUE(h.prompter.shown.empty());
    ASSERT_FALSE(h.ErrorLog().empty());
    EXPECT_NE(h.ErrorLog().back().find("The image of DVD 17 exists already"), std::string::npos);
    ASSERT_TRUE(DVDVerify(next));
    EXPECT_EQ(h.state.DiscStudies1, std::vector<std::string>{"1.2.840.1"});
    EXPECT_EQ(h.state.DiscStudies2, (std::vector<std::string>{"1.2.840.2", "1.2.840.3"}));
}

}  // namespace
}  // namespace velunor
