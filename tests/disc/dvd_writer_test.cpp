// DVDWriter on real libburn and libisofs: images written into an image folder,
// read back through libisofs and xorriso, and failed burns that leave none.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
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
constexpr auto npos = std::string::npos;

const std::string kLongName = "1.2.840.113619.2.55.3.604688119.969.1268071029.320.1.dcm";

// How a burn ended, as its events told.
struct Outcome {
    int complete = 0, errors = 0;
    std::string message;
};

DiscWriterEvents Record(Outcome& o) {
    DiscWriterEvents ev;
    ev.BurnComplete = [&o] { ++o.complete; };
    ev.WriteError = [&o](std::int32_t, std::int32_t, const std::string& m, const std::string&) {
        ++o.errors, o.message = m;
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

    // Burns the image built, `during` called once it started.
    Outcome Burn(const std::string& label, const std::function<void()>& during = [] {}) {
        Outcome o;
        w->SetEvents(Record(o));
        w->VolumeLabel(label);
        EXPECT_TRUE(w->StartBurn()) << w->LastProblem();
        during();
        EXPECT_TRUE(test::PumpUntil(*w, [&] { return !w->Burning(); }));
        return o;
    }

    bool NoTemporaryFiles() {
        return std::ranges::none_of(fs::directory_iterator(h.images()),
                                    [](const auto& e) { return e.path().filename().string().find(".part") != npos; });
    }
};

// xorriso's output for `args`, which must succeed.
std::string Xorriso(std::vector<std::string> args) {
    args.insert(args.begin(), "xorriso");
    const test::ProcessResult r = test::RunProcess({.argv = args});
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
}

TEST_F(DiscWriterTest, AWrittenImageReadsBackWithItsNamesLabelAndChecksums) {
    test::StageStudy(h.dvd() / "1", "1.2.3", 1, "a");
    test::StageStudy(h.dvd() / "2", "1.2.5", 2, "f", 1, 1 << 20);
    fs::copy_file(h.dvd() / "2" / "f1.dcm", h.dvd() / "2" / kLongName);
    WriteAll(h.dvd() / "Dicomdir", "not really a DICOMDIR");
    Build();
    const std::int32_t blocks = w->ImageBlockCount();

    // Exactly one end, and nothing after it.
    Outcome o = Burn("DVD 17");
    w->Poll();
    EXPECT_EQ(o.complete, 1);
    EXPECT_EQ(o.errors, 0) << o.message;

    const fs::path image = h.images() / "DVD 17.iso";
    EXPECT_EQ(fs::file_size(image), static_cast<std::uintmax_t>(blocks) * 2048u);
    EXPECT_TRUE(NoTemporaryFiles());

    // Read back through libisofs: real names, the bytes staged, nothing outside a folder.
    EXPECT_EQ(w->ListDiscFolder("2").size(), 3u);
    const auto bytes = w->ReadDiscFile("2", kLongName);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), ReadAll(h.dvd() / "2" / kLongName));
    EXPECT_THROW(w->ReadDiscFile("1", "../2/" + kLongName), Error);

    // An independent reader sees the label with its blank, the Joliet names in
    // full, and every recorded checksum matching.
    EXPECT_NE(Xorriso({"-indev", image.string(), "-pvd_info"}).find("Volume Id    : DVD 17\n"), npos);
    EXPECT_NE(Xorriso({"-read_fs", "norock", "-indev", image.string(), "-ls", "/2"}).find("'" + kLongName + "'"), npos);
    EXPECT_NE(Xorriso({"-md5", "on", "-indev", image.string(), "-check_md5_r", "sorry", "/", "--"})
                  .find("File contents and their MD5 checksums match."),
              npos);

    // Like a burned disc, the image is in the way until it leaves the drive.
    EXPECT_EQ(w->DiscStatus(), kImageExists);
    w->Eject();
    EXPECT_EQ(w->DiscStatus(), kDiscReady);
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

TEST_F(DiscWriterTest, AnImageIsOnlyEverWrittenAsANewFileAndAFailedBurnLeavesNone) {
    test::StageStudy(h.dvd() / "2", "1.2.6", 2, "f");
    const fs::path image = h.images() / "DVD 5.iso";
    WriteAll(image, "an earlier disc");
    Build();
    w->VolumeLabel("DVD 5");
    EXPECT_FALSE(w->StartBurn());
    EXPECT_EQ(ReadAll(image), "an earlier disc");

    // A link planted at the temporary name is replaced, never followed.
    const fs::path victim = h.dir / "victim";
    WriteAll(victim, "keep me");
    fs::create_symlink(victim, h.images() / ".DVD 7.iso.part");
    EXPECT_EQ(Burn("DVD 7").complete, 1);
    EXPECT_EQ(ReadAll(victim), "keep me");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(h.images() / "DVD 7.iso")));

    // A label that would lead out of the folder names no image.
    w->VolumeLabel("../x");
    EXPECT_FALSE(w->StartBurn());
    EXPECT_FALSE(fs::exists(h.dir / "x.iso"));

    // libisofs fills a vanished or shrunk source file with zeros and carries
    // on: the disc would hold zeros under a valid checksum. An image of the
    // label that appears during the burn is never replaced.
    for (const std::string how : {"vanish", "shrink", "abort", "appear"}) {
        SCOPED_TRACE(how);
        fs::remove_all(h.dvd() / "2");
        test::StageStudy(h.dvd() / "2", "1.2.8", 2, "f", 1, how == "abort" ? 32 << 20 : 300000);
        Build();
        const fs::path victim = h.dvd() / "2" / "f2.dcm", image = h.images() / ("DVD " + how + ".iso");
        if (how == "vanish") fs::remove(victim);
        if (how == "shrink") fs::resize_file(victim, 1000);
        const Outcome o = Burn("DVD " + how, [&] {
            if (how == "abort") w->AbortBurn();
            if (how == "appear") WriteAll(image, "written by someone else");
        });
        EXPECT_EQ(o.complete, 0);
        EXPECT_EQ(o.errors, 1);
        const char* why = how == "abort" ? "aborted" : how == "appear" ? "exists already" : "f2.dcm";
        EXPECT_NE(o.message.find(why), npos) << o.message;
        EXPECT_EQ(ReadAll(image).substr(0, 64), how == "appear" ? "written by someone else" : "");
        EXPECT_TRUE(NoTemporaryFiles());
    }
}

}  // namespace
}  // namespace velunor
