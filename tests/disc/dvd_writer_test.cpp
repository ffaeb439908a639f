// DVDWriter against real libburn and libisofs: images written into an
// image folder through a stdio: drive, read back through libisofs, and the
// ways a burn can fail.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "app/error.hpp"
#include "disc/disc.hpp"
#include "disc/dvd_writer.hpp"
#include "tests/disc/disc_test_support.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::WriteAll;

const std::string kLongName = "1.2.840.113619.2.55.3.604688119.969.1268071029.320.1.dcm";

// What a burn reported through its events.
struct Outcome {
    int complete = 0;
    int errors = 0;
    std::string message;
    std::vector<std::string> sequence;            // event names in order
    std::vector<std::pair<int, int>> progress;    // WriteProgress (current, total)
    int nestedPolls = 0;
};

DiscWriterEvents Record(Outcome& o, DiscWriter* pollInside = nullptr) {
    DiscWriterEvents ev;
    ev.CachingProgress = [&o](std::int16_t) { o.sequence.push_back("Caching"); };
    ev.WriteProgress = [&o, pollInside](std::int32_t, std::int32_t cur, std::int32_t total) {
        o.sequence.push_back("Write");
        o.progress.emplace_back(cur, total);
        if (pollInside) {
            // A handler that yields lets the owner poll again: nothing may be delivered inside.
            const auto before = o.sequence.size();
            pollInside->Poll();
            if (o.sequence.size() != before) ++o.nestedPolls;
        }
    };
    ev.ClosingTrack = [&o] { o.sequence.push_back("ClosingTrack"); };
    ev.ClosingDisc = [&o] { o.sequence.push_back("ClosingDisc"); };
    ev.BurnComplete = [&o] {
        o.sequence.push_back("Complete");
        ++o.complete;
    };
    ev.WriteError = [&o](std::int32_t, std::int32_t, const std::string& m, const std::string&) {
        o.sequence.push_back("Error");
        ++o.errors;
        o.message = m;
    };
    return ev;
}

struct DiscWriterTest : ::testing::Test {
    test::DiscHarness h;
    std::unique_ptr<DVDWriter> w;

    DiscWriterTest() {
        h.shell.settings.ImageFolder = h.images().string();
        w = std::make_unique<DVDWriter>(h.shell.settings);
        h.writer = w.get();
    }

    std::string Pattern() const { return StagingTree(h.shell.settings.TempPath).DiscPattern(); }

    // Selects the image-folder drive and builds the image of the staging tree.
    void Build() {
        w->NewImage();
        w->ScanDrives(false);
        ASSERT_TRUE(w->SelectDrive(0)) << w->LastProblem();
        w->ImageOption(true);
        ASSERT_TRUE(w->CloneDirectoryToISO("/", Pattern())) << w->LastProblem();
    }

    Outcome Burn(const std::string& label, DiscWriter* pollInside = nullptr) {
        Outcome o;
        w->SetEvents(Record(o, pollInside));
        w->VolumeLabel(label);
        EXPECT_TRUE(w->StartBurn()) << w->LastProblem();
        EXPECT_TRUE(test::PumpUntil(*w, [&] { return !w->Burning(); }));
        return o;
    }

    std::vector<std::string> Names(const std::string& folder) {
        std::vector<std::string> out;
        for (const auto& f : w->ListDiscFolder(folder)) out.push_back(f.name);
        return out;
    }

    bool NoTemporaryFiles() {
        for (const auto& e : fs::directory_iterator(h.images()))
            if (e.path().filename().string().find(".part") != std::string::npos) return false;
        return true;
    }
};

TEST_F(DiscWriterTest, ImageFolderDriveIsListedFirstAndFollowsTheSetting) {
    w->ScanDrives(false);
    ASSERT_GE(w->DriveCount(), 1);
    EXPECT_EQ(w->DriveVendor(0) + w->DriveProduct(0), "Image folder " + h.images().string());
    EXPECT_TRUE(w->DriveCapable(0, kCapWritesDvdMinusR));
    EXPECT_TRUE(w->DriveCapable(0, kCapWritesDvdPlusR));
    EXPECT_FALSE(w->DriveCapable(0, 1));
    EXPECT_TRUE(w->DriveUsable(0));
    EXPECT_TRUE(w->SelectDrive(0));
    EXPECT_EQ(w->MaxWriteSpeed(), 0);
    EXPECT_EQ(w->DiscStatus(), kDiscReady);
    // Tray and door calls do nothing to a folder.
    w->LoadTray(false);
    w->AllowRemoval(true);
    w->LoadTray(true);
    w->Eject();
    EXPECT_EQ(w->DiscStatus(), kDiscReady);

    // The setting is read again at the next scan (it may be reloaded every 30 s).
    h.shell.settings.ImageFolder = (h.dir / "missing").string();
    w->ScanDrives(false);
    EXPECT_EQ(w->DriveProduct(0), (h.dir / "missing").string());
    EXPECT_FALSE(w->DriveCapable(0, kCapWritesDvdMinusR));
    EXPECT_FALSE(w->DriveUsable(0));
    EXPECT_FALSE(w->SelectDrive(0));
    EXPECT_NE(w->LastProblem().find("missing or not writable"), std::string::npos);

    h.shell.settings.ImageFolder.clear();
    w->ScanDrives(false);
    for (int i = 0; i < w->DriveCount(); ++i) EXPECT_NE(w->DriveVendor(i), "Image folder ");
    EXPECT_FALSE(w->SelectDrive(w->DriveCount()));
    EXPECT_THROW(w->DriveVendor(w->DriveCount()), Error);
}

TEST_F(DiscWriterTest, WritesARealImageThatReadsBackWithNamesLabelAndChecksums) {
    test::WriteDicomFile(h.dvd() / "1" / "a.dcm", "1.2.3", "1.2.3.1", 5000, 1);
    test::WriteDicomFile(h.dvd() / "2" / kLongName, "1.2.4", "1.2.4.1", 70000, 2);
    WriteAll(h.dvd() / "Dicomdir", "not really a DICOMDIR");
    Build();
    const std::int32_t blocks = w->ImageBlockCount();
    EXPECT_DOUBLE_EQ(w->ImageBytes(blocks, 1), blocks * 2048.0);

    Outcome o = Burn("DVD 17");
    EXPECT_EQ(o.complete, 1);
    EXPECT_EQ(o.errors, 0) << o.message;
    ASSERT_FALSE(o.sequence.empty());
    EXPECT_EQ(o.sequence.back(), "Complete");

    const fs::path image = h.images() / "DVD 17.iso";
    ASSERT_TRUE(fs::exists(image));
    EXPECT_EQ(w->LastImage(), image);
    EXPECT_EQ(fs::file_size(image), static_cast<std::uintmax_t>(blocks) * 2048u);
    EXPECT_TRUE(NoTemporaryFiles());
    EXPECT_EQ(w->DriveLetter(0), image.string());
    // The label is taken: the same label is not ready again.
    EXPECT_EQ(w->DiscStatus(), kImageExists);

    // Read back through libisofs with the real names and the bytes written.
    EXPECT_EQ(Names("1"), std::vector<std::string>{"a.dcm"});
    EXPECT_EQ(Names("2"), std::vector<std::string>{kLongName});
    const auto bytes = w->ReadDiscFile("2", kLongName);
    const std::string staged = ReadAll(h.dvd() / "2" / kLongName);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), staged);
    EXPECT_THROW(w->ListDiscFolder("3"), Error);
    EXPECT_THROW(w->ReadDiscFile("2", "missing.dcm"), Error);
    EXPECT_THROW(w->ReadDiscFile("1", "../2/" + kLongName), Error);

    // An independent reader sees the label with its blank, Rock Ridge and
    // Joliet names in full, and every recorded checksum matching.
    std::string out;
    ASSERT_EQ(test::RunShell("xorriso -indev " + test::Quote(image) + " -pvd_info", out), 0) << out;
    EXPECT_NE(out.find("Volume Id    : DVD 17\n"), std::string::npos) << out;
    ASSERT_EQ(test::RunShell("xorriso -read_fs norock -indev " + test::Quote(image) + " -ls /2", out), 0) << out;
    EXPECT_NE(out.find("'" + kLongName + "'"), std::string::npos) << out;
    ASSERT_EQ(test::RunShell("xorriso -md5 on -indev " + test::Quote(image) + " -check_md5_r sorry / --", out), 0)
        << out;
    EXPECT_NE(out.find("File contents and their MD5 checksums match."), std::string::npos) << out;
}

TEST_F(DiscWriterTest, ProgressOfALargerImageEndsInExactlyOneCompletion) {
    test::StageStudy(h.dvd() / "2", "1.2.5", 12, "f", 1, 4 << 20);
    Build();
    const std::int32_t blocks = w->ImageBlockCount();
    Outcome o = Burn("DVD 3", w.get());

    EXPECT_EQ(o.complete, 1);
    EXPECT_EQ(o.errors, 0) << o.message;
    EXPECT_EQ(o.sequence.back(), "Complete");
    EXPECT_EQ(std::count(o.sequence.begin(), o.sequence.end(), "Complete"), 1);
    EXPECT_LE(std::count(o.sequence.begin(), o.sequence.end(), "ClosingTrack"), 1);
    EXPECT_EQ(o.nestedPolls, 0);
    int last = 0;
    for (auto [cur, total] : o.progress) {
        EXPECT_EQ(total, blocks);
        EXPECT_GE(cur, last);
        EXPECT_LE(cur, total);
        last = cur;
    }
    // No progress event after the end.
    const auto end = std::find(o.sequence.begin(), o.sequence.end(), "Complete");
    EXPECT_EQ(end + 1, o.sequence.end());
    w->Poll();
    EXPECT_EQ(o.complete, 1);
}

TEST_F(DiscWriterTest, AnExistingImageIsNeverOverwritten) {
    test::StageStudy(h.dvd() / "2", "1.2.6", 2, "f");
    const fs::path image = h.images() / "DVD 5.iso";
    WriteAll(image, "an earlier disc");
    Build();
    w->VolumeLabel("DVD 5");
    EXPECT_EQ(w->DiscStatus(), kImageExists);
    EXPECT_FALSE(w->StartBurn());
    EXPECT_NE(w->LastProblem().find("exists already"), std::string::npos);
    EXPECT_EQ(ReadAll(image), "an earlier disc");

    // The image appears while the burn runs: the burn fails, the file stays.
    const fs::path late = h.images() / "DVD 6.iso";
    Outcome o;
    w->SetEvents(Record(o));
    w->VolumeLabel("DVD 6");
    ASSERT_TRUE(w->StartBurn()) << w->LastProblem();
    WriteAll(late, "written by someone else");
    ASSERT_TRUE(test::PumpUntil(*w, [&] { return !w->Burning(); }));
    EXPECT_EQ(o.errors, 1);
    EXPECT_EQ(o.complete, 0);
    EXPECT_NE(o.message.find("exists already"), std::string::npos) << o.message;
    EXPECT_EQ(ReadAll(late), "written by someone else");
    EXPECT_TRUE(NoTemporaryFiles());

    // A link planted at the temporary name is replaced, never followed.
    const fs::path victim = h.dir / "victim";
    WriteAll(victim, "keep me");
    fs::create_symlink(victim, h.images() / ".DVD 7.iso.part");
    Outcome o2 = Burn("DVD 7");
    EXPECT_EQ(o2.complete, 1) << o2.message;
    EXPECT_EQ(ReadAll(victim), "keep me");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(h.images() / "DVD 7.iso")));
    EXPECT_TRUE(NoTemporaryFiles());
}

TEST_F(DiscWriterTest, EjectingTheWrittenImageReadiesTheFolderForTheNextDiscOfTheSameProcess) {
    test::StageStudy(h.dvd() / "2", "1.2.8", 1, "e");
    Build();
    ASSERT_EQ(Burn("DVD 1").complete, 1);
    // Like a disc just burned, the image is "not blank" until it leaves.
    EXPECT_EQ(w->DiscStatus(), kImageExists);
    w->Eject();
    EXPECT_EQ(w->DiscStatus(), kDiscReady);
    // The next disc of the unattended window: built, labelled, written.
    Build();
    ASSERT_EQ(Burn("DVD 2").complete, 1);
    EXPECT_TRUE(fs::exists(h.images() / "DVD 1.iso"));
    EXPECT_TRUE(fs::exists(h.images() / "DVD 2.iso"));
}

TEST_F(DiscWriterTest, AnImageLeftByAnEndedProcessCanBeTakenOverForVerification) {
    test::StageStudy(h.dvd() / "2", "1.2.7", 2, "g");
    Build();
    ASSERT_EQ(Burn("DVD 3").complete, 1);

    // A new writer, as in the next process.
    DVDWriter next(h.shell.settings);
    next.ScanDrives(false);
    ASSERT_TRUE(next.SelectDrive(0));
    EXPECT_FALSE(next.AdoptWrittenImage("DVD 4"));
    EXPECT_THROW(next.ListDiscFolder("2"), Error);   // nothing written, nothing taken over
    ASSERT_TRUE(next.AdoptWrittenImage("DVD 3"));
    EXPECT_EQ(next.DriveLetter(0), (h.images() / "DVD 3.iso").string());
    const auto files = next.ListDiscFolder("2");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_FALSE(next.ReadDiscFile("2", files[0].name).empty());

    // An image whose label is not its name, or a file that is no image, is
    // refused with a reason.
    fs::copy_file(h.images() / "DVD 3.iso", h.images() / "DVD 8.iso");
    const std::string error = test::ErrorText([&] { next.AdoptWrittenImage("DVD 8"); });
    EXPECT_NE(error.find("carries the volume label \"DVD 3\""), std::string::npos) << error;
    WriteAll(h.images() / "DVD 9.iso", "no image");
    EXPECT_THROW(next.AdoptWrittenImage("DVD 9"), Error);
    fs::create_directory(h.images() / "DVD 10.iso");
    EXPECT_THROW(next.AdoptWrittenImage("DVD 10"), Error);
}

TEST_F(DiscWriterTest, AWriteThatRunsOutOfRoomEndsInWriteErrorNeverInCompletion) {
    // A child process whose files may not grow beyond 1 MiB (ulimit -f):
    // libburn's write fails with EFBIG part way through a 3 MB image.
    test::StageStudy(h.dvd() / "2", "1.2.7", 3, "f", 1, 1 << 20);
    const fs::path result = h.dir / "result.txt";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 0;
        try {
            struct rlimit limit {1 << 20, 1 << 20};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, SIG_IGN);
            DVDWriter child(h.shell.settings);
            child.ScanDrives(false);
            child.SelectDrive(0);
            child.NewImage();
            child.CloneDirectoryToISO("/", Pattern());
            Outcome o;
            child.SetEvents(Record(o));
            child.VolumeLabel("DVD 9");
            if (!child.StartBurn()) _exit(3);
            if (!test::PumpUntil(child, [&] { return !child.Burning(); })) _exit(4);
            std::ofstream(result) << o.complete << " " << o.errors << " " << o.message;
        } catch (...) {
            code = 5;
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const std::string r = ReadAll(result);
    EXPECT_EQ(r.substr(0, 4), "0 1 ") << r;
    EXPECT_NE(r.find("File too large"), std::string::npos) << r;
    EXPECT_FALSE(fs::exists(h.images() / "DVD 9.iso"));
    EXPECT_TRUE(NoTemporaryFiles());
}

TEST_F(DiscWriterTest, ASourceFileThatVanishesOrShrinksFailsTheBurn) {
    // libisofs fills such a file with zeros and carries on; the disc would
    // hold zeros under a valid checksum.
    for (const bool vanish : {true, false}) {
        SCOPED_TRACE(vanish ? "vanished" : "shrunk");
        fs::remove_all(h.dvd() / "2");
        test::StageStudy(h.dvd() / "2", "1.2.8", 2, "f", 1, 300000);
        Build();
        ASSERT_GT(w->ImageBlockCount(), 0);
        const fs::path victim = h.dvd() / "2" / "f2.dcm";
        if (vanish)
            fs::remove(victim);
        else
            fs::resize_file(victim, 1000);
        const std::string label = vanish ? "DVD 10" : "DVD 11";
        Outcome o = Burn(label);
        EXPECT_EQ(o.complete, 0);
        EXPECT_EQ(o.errors, 1);
        EXPECT_NE(o.message.find("f2.dcm"), std::string::npos) << o.message;
        EXPECT_FALSE(fs::exists(h.images() / (label + ".iso")));
        EXPECT_TRUE(NoTemporaryFiles());
    }
}

TEST_F(DiscWriterTest, AFolderWithoutRoomForTheImageIsNotReady) {
    struct statvfs sv {};
    ASSERT_EQ(::statvfs(h.images().c_str(), &sv), 0);
    const std::uintmax_t room = static_cast<std::uintmax_t>(sv.f_bavail) * sv.f_frsize;
    // A sparse file larger than the free space: sized, never written.
    { std::ofstream(h.dvd() / "2" / "huge.dcm"); }
    fs::resize_file(h.dvd() / "2" / "huge.dcm", room + (1ull << 30));
    Build();
    w->VolumeLabel("DVD 12");
    EXPECT_EQ(w->DiscStatus(), kDiscReady);  // the size is not known yet
    ASSERT_GT(w->ImageBlockCount(), 0);
    EXPECT_EQ(w->DiscStatus(), kImageFolderFull);
    EXPECT_FALSE(w->StartBurn());
    EXPECT_NE(w->LastProblem().find("has room for"), std::string::npos) << w->LastProblem();
    EXPECT_FALSE(fs::exists(h.images() / "DVD 12.iso"));
    EXPECT_TRUE(NoTemporaryFiles());
}

TEST_F(DiscWriterTest, AnAbortedBurnEndsInWriteError) {
    test::StageStudy(h.dvd() / "2", "1.2.9", 8, "f", 1, 8 << 20);
    Build();
    Outcome o;
    w->SetEvents(Record(o));
    w->VolumeLabel("DVD 13");
    ASSERT_TRUE(w->StartBurn());
    w->AbortBurn();
    w->AbortBurn();
    ASSERT_TRUE(test::PumpUntil(*w, [&] { return !w->Burning(); }));
    EXPECT_EQ(o.complete, 0);
    EXPECT_EQ(o.errors, 1);
    EXPECT_EQ(o.message, "The burn was aborted");
    EXPECT_FALSE(fs::exists(h.images() / "DVD 13.iso"));
    EXPECT_TRUE(NoTemporaryFiles());
    w->AbortBurn();  // nothing left to abort
}

TEST_F(DiscWriterTest, ImageSizeIsExactAndTheDiscLimitIsInclusive) {
    // Two sparse files (each below 4 GiB): the data blocks are chosen so that
    // the image has exactly 2,197,265 blocks (4,499,998,720 bytes, the
    // largest image of at most 4,500,000,000 bytes), then one block more.
    const fs::path a = h.dvd() / "2" / "a.dcm", b = h.dvd() / "2" / "b.dcm";
    { std::ofstream(a) << std::string(2048, 'a'); }
    { std::ofstream(b) << std::string(2048, 'b'); }
    Build();
    const std::int64_t overhead = w->ImageBlockCount() - 2;
    const std::int64_t target = 4'500'000'000 / 2048;  // 2,197,265
    const std::int64_t data = target - overhead;
    fs::resize_file(a, static_cast<std::uintmax_t>(data / 2) * 2048);
    fs::resize_file(b, static_cast<std::uintmax_t>(data - data / 2) * 2048);
    Build();
    ASSERT_EQ(w->ImageBlockCount(), target);
    velunor::Run run = h.run();
    EXPECT_TRUE(RecalcIsoSize(run));
    EXPECT_TRUE(h.prompter.shown.empty());

    fs::resize_file(b, static_cast<std::uintmax_t>(data - data / 2 + 1) * 2048);
    Build();
    ASSERT_EQ(w->ImageBlockCount(), target + 1);
    EXPECT_FALSE(RecalcIsoSize(run));
    EXPECT_EQ(h.prompter.texts(), std::vector<std::string>{"Too many data for one DVD!"});
}

TEST_F(DiscWriterTest, BadRequestsAreRefusedWithAReason) {
    w->ScanDrives(false);
    ASSERT_TRUE(w->SelectDrive(0));
    EXPECT_THROW(w->ImageBlockCount(), Error);  // nothing built yet
    EXPECT_FALSE(w->StartBurn());
    EXPECT_NE(w->LastProblem().find("No image"), std::string::npos);
    EXPECT_THROW(w->ListDiscFolder("1"), Error);  // nothing written yet

    w->NewImage();
    EXPECT_FALSE(w->CloneDirectoryToISO("/", h.dvd().string()));
    EXPECT_NE(w->LastProblem().find("/*"), std::string::npos);
    EXPECT_FALSE(w->CloneDirectoryToISO("/", (h.dir / "nowhere").string() + "/*"));
    EXPECT_NE(w->LastProblem().find("does not exist"), std::string::npos);
    EXPECT_TRUE(w->CloneDirectoryToISO("/", h.dvd().string() + "/*.*"));

    EXPECT_THROW(w->VolumeLabel(std::string(33, 'D')), Error);
    EXPECT_THROW(w->BurnMode(7), Error);
    EXPECT_THROW(w->ImageBytes(10, 0), Error);
    w->VolumeLabel("../x");
    EXPECT_FALSE(w->StartBurn());
    EXPECT_NE(w->LastProblem().find("cannot name an image file"), std::string::npos);
}

}  // namespace
}  // namespace velunor
