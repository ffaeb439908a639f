// DVDVerify on real images written by the disc writer, read back through
// libisofs and parsed by the DICOM toolkit.
#include <gtest/gtest.h>

#include <algorithm>

#include "disc/disc.hpp"
#include "disc/dvd_writer.hpp"
#include "tests/disc/disc_test_support.hpp"
#include "tests/support/scripted_drive.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::WriteAll;

struct DVDVerifyTest : ::testing::Test {
    test::DiscHarness h;
    std::unique_ptr<DVDWriter> w;
    int yields = 0;

    DVDVerifyTest() {
        h.shell.settings.ImageFolder = h.images().string();
        w = std::make_unique<DVDWriter>(h.shell.settings);
        h.writer = w.get();
        h.window.onYield = [this] { ++yields; };
    }

    // Writes the staging tree as "DVD 1.iso" and returns its path.
    fs::path WriteImage() {
        w->ScanDrives(false);
        EXPECT_TRUE(w->SelectDrive(0));
        w->NewImage();
        w->ImageOption(true);
        EXPECT_TRUE(w->CloneDirectoryToISO("/", StagingTree(h.shell.settings.TempPath).DiscPattern())) << w->LastProblem();
        w->VolumeLabel("DVD 1");
        bool complete = false;
        DiscWriterEvents ev;
        ev.BurnComplete = [&] { complete = true; };
        w->SetEvents(ev);
        EXPECT_TRUE(w->StartBurn()) << w->LastProblem();
        EXPECT_TRUE(test::PumpUntil(*w, [&] { return !w->Burning(); }));
        EXPECT_TRUE(complete);
        return h.images() / "DVD 1.iso";
    }

    bool Verify() {
        velunor::Run run = h.run();
        return DVDVerify(run);
    }

    // The verdict, and the failed image set aside (logged without a box) so
    // that the next run writes the disc again.
    void ExpectFailure() {
        EXPECT_FALSE(Verify());
        EXPECT_EQ(h.prompter.texts(), std::vector<std::string>{"[Error #0] Verification failed!"});
        const auto log = h.ErrorLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_NE(log[0].find(" 0 Verification failed!DVDVerify"), std::string::npos);
        EXPECT_NE(log[1].find(" 0 The image failed its verification and was renamed DVD 1.iso.unverified; the next "
                              "run writes the disc againDVDVerify"),
                  std::string::npos)
            << log[1];
        EXPECT_FALSE(fs::exists(h.images() / "DVD 1.iso"));
        EXPECT_TRUE(fs::exists(h.images() / "DVD 1.iso.unverified"));
    }
};

TEST_F(DVDVerifyTest, AGoodDiscYieldsTheDistinctStudiesInTheOrderFound) {
    // 1/: a1, a2 of study A and b3 of B; 2/: c1, c2 of C and d1 of A again.
    test::StageStudy(h.dvd() / "1", "1.2.826.0.1.A", 2, "a");
    test::StageStudy(h.dvd() / "1", "1.2.826.0.1.B", 1, "b", 3);
    test::StageStudy(h.dvd() / "2", "1.2.826.0.1.C", 2, "c");
    test::StageStudy(h.dvd() / "2", "1.2.826.0.1.A", 1, "d");
    WriteAll(h.dvd() / "Dicomdir", "an index");
    fs::create_directories(h.dvd() / "2" / "sub");  // subfolders are not visited
    test::StageStudy(h.dvd() / "2" / "sub", "1.2.826.0.1.Z", 1, "z");
    WriteImage();
    h.state.DiscStudies1 = {"stale"};
    h.state.DiscStudies2 = {"stale"};

    ASSERT_TRUE(Verify());
    EXPECT_EQ(h.state.DiscStudies1, (std::vector<std::string>{"1.2.826.0.1.A", "1.2.826.0.1.B"}));
    EXPECT_EQ(h.state.DiscStudies2, (std::vector<std::string>{"1.2.826.0.1.C", "1.2.826.0.1.A"}));
    EXPECT_TRUE(h.window.IsVisible(Control::pbVer));
    // 0 when reset and again when shown; each step of 5000 / 3; 5000 between the folders.
    EXPECT_EQ(h.Bar(Control::pbVer), (std::vector<int>{0, 0, 1667, 3333, 5000, 5000, 6667, 8333, 10000}));
    EXPECT_EQ(yields, 4 * 6);
    EXPECT_TRUE(h.prompter.shown.empty());
}

TEST_F(DVDVerifyTest, TheFirstDiscOfAnArchiveHasAnEmpty1) {
    test::StageStudy(h.dvd() / "2", "1.2.826.0.2", 2, "x");
    WriteImage();
    ASSERT_TRUE(Verify());
    EXPECT_TRUE(h.state.DiscStudies1.empty());
    EXPECT_EQ(h.state.DiscStudies2, std::vector<std::string>{"1.2.826.0.2"});
    EXPECT_EQ(h.Bar(Control::pbVer), (std::vector<int>{0, 0, 5000, 7500, 10000}));
}

TEST_F(DVDVerifyTest, TwoHundredFilesOfOneStudyAreOneEntry) {
    test::StageStudy(h.dvd() / "2", "1.2.826.0.3", 200, "f", 1, 512);
    WriteImage();
    ASSERT_TRUE(Verify());
    EXPECT_EQ(h.state.DiscStudies2, std::vector<std::string>{"1.2.826.0.3"});
    EXPECT_EQ(h.window.Value(Control::pbVer), 10000);
}

TEST_F(DVDVerifyTest, OneFlippedByteFailsTheDisc) {
    test::StageStudy(h.dvd() / "2", "1.2.826.0.4", 3, "f", 1, 50000);
    const fs::path image = WriteImage();
    std::string bytes = ReadAll(image);
    const std::string staged = ReadAll(h.dvd() / "2" / "f2.dcm");
    const std::size_t at = bytes.find(staged.substr(staged.size() - 256));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 17] = static_cast<char>(bytes[at + 17] ^ 0x40);
    WriteAll(image, bytes);
    h.shell.settings.DebugMode = true;
    ExpectFailure();
    // The DICOM parse alone would accept the damaged pixel byte: the checksum finds it.
    EXPECT_NE(ReadAll(h.dir / "Logs" / "Debug.log").find("f2.dcm on the medium"), std::string::npos);
    EXPECT_NE(ReadAll(h.dir / "Logs" / "Debug.log").find("MD5 mismatch"), std::string::npos);
    // What was read before the damaged file stays, but the run skips the database.
    EXPECT_EQ(h.state.DiscStudies2, std::vector<std::string>{"1.2.826.0.4"});
}

TEST_F(DVDVerifyTest, ATruncatedImageFails) {
    test::StageStudy(h.dvd() / "2", "1.2.826.0.5", 3, "f", 1, 50000);
    const fs::path image = WriteImage();
    fs::resize_file(image, fs::file_size(image) - 4096);
    ExpectFailure();
}

TEST_F(DVDVerifyTest, AMissingOrEmptyFolderFails) {
    // Only 1/ holds files; 2/ is empty.
    test::StageStudy(h.dvd() / "1", "1.2.826.0.6", 1, "f");
    WriteImage();
    h.state.DiscStudies2 = {"from an earlier disc"};
    ExpectFailure();
    EXPECT_EQ(h.state.DiscStudies1, std::vector<std::string>{"1.2.826.0.6"});
    EXPECT_TRUE(h.state.DiscStudies2.empty());
}

TEST_F(DVDVerifyTest, ADiscWithout2Fails) {
    fs::remove_all(h.dvd() / "2");
    test::StageStudy(h.dvd() / "1", "1.2.826.0.7", 1, "f");
    WriteImage();
    ExpectFailure();
}

TEST_F(DVDVerifyTest, ADiscWithout1FailsAndArchiveKeepsItSilent) {
    fs::remove_all(h.dvd() / "1");
    test::StageStudy(h.dvd() / "2", "1.2.826.0.8", 1, "f");
    WriteImage();
    h.shell.settings.Archive = 1;
    EXPECT_FALSE(Verify());
    EXPECT_TRUE(h.prompter.shown.empty());
    ASSERT_FALSE(h.ErrorLog().empty());
    EXPECT_NE(h.ErrorLog().front().find("Verification failed!DVDVerify"), std::string::npos);
}

TEST_F(DVDVerifyTest, AFailedImageIsSetAsideUnderAFreeName) {
    test::StageStudy(h.dvd() / "2", "1.2.826.0.10", 1, "f");
    WriteAll(h.dvd() / "2" / "readme.txt", "not a DICOM file");
    WriteAll(h.images() / "DVD 1.iso.unverified", "an earlier failure");
    WriteImage();
    EXPECT_FALSE(Verify());
    EXPECT_EQ(ReadAll(h.images() / "DVD 1.iso.unverified"), "an earlier failure");
    EXPECT_TRUE(fs::exists(h.images() / "DVD 1.iso.unverified-2"));
    EXPECT_FALSE(fs::exists(h.images() / "DVD 1.iso"));
    // The drive is free for the disc again.
    w->VolumeLabel("DVD 1");
    EXPECT_EQ(w->DiscStatus(), kDiscReady);
}

TEST_F(DVDVerifyTest, AFileThatIsNotDicomFails) {
    test::StageStudy(h.dvd() / "2", "1.2.826.0.9", 1, "f");
    WriteAll(h.dvd() / "2" / "readme.txt", "not a DICOM file");
    WriteImage();
    ExpectFailure();
}

TEST(DVDVerifyScripted, TheSameStudyInBothFoldersAndAStepBeyondTheBarIsSkipped) {
    test::DiscHarness h;
    test::ScriptedDrive drive;
    h.writer = &drive;
    auto file = [&](const std::string& study, int n) {
        const fs::path p = h.dir / ("f" + std::to_string(n));
        test::WriteDicomFile(p, study, study + "." + std::to_string(n), 64, static_cast<unsigned>(n));
        const std::string bytes = ReadAll(p);
        return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    };
    drive.disc["1"]["x"] = file("1.2.3", 1);
    // Eleven files in 2/: 5000 + 11 x 5000/11 passes 10000 by a rounding
    // error on the last step, which is therefore not taken.
    for (int i = 0; i < 11; ++i) drive.disc["2"]["y" + std::to_string(10 + i)] = file("1.2.3", 20 + i);
    velunor::Run run = h.run();
    ASSERT_TRUE(DVDVerify(run));
    EXPECT_EQ(h.state.DiscStudies1, std::vector<std::string>{"1.2.3"});
    EXPECT_EQ(h.state.DiscStudies2, std::vector<std::string>{"1.2.3"});
    EXPECT_EQ(h.window.Value(Control::pbVer), 9545);
}

}  // namespace
}  // namespace velunor
