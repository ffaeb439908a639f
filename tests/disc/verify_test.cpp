// DVDCreate and the burn's events write the staged disc into an image
// folder, DVDVerify reads it back, a later run takes over an image it finds.
#include <gtest/gtest.h>

#include "disc/disc.hpp"
#include "tests/disc/disc_test_support.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;

struct ImageFolderTest : ::testing::Test {
    test::DiscHarness h;
    std::unique_ptr<DiscWriter> writer;
    std::optional<bool> written;

    ImageFolderTest() { h.shell.settings.ImageFolder = h.images().string(); }

    // DVDCreate of disc previous + 1 by a new writer, as a new process has it, burned to its end.
    BurnStart Create(std::int32_t previous) {
        writer = MakeDVDWriter(h.shell.settings);
        h.writer = writer.get();
        velunor::Run run = h.run();
        const auto drive = LoadDriveCombo(run);
        EXPECT_TRUE(drive);
        writer->SetEvents(BurnEvents(run, [this](bool w) { written = w; }));
        written.reset();
        const BurnStart start = DVDCreate(run, h.Disc(previous), drive.value_or(Drive{}));
        EXPECT_TRUE(start != BurnStart::Started || test::PumpUntil(*writer, [&] { return written.has_value(); }));
        return start;
    }
    std::optional<VerifiedDisc> Verify(std::int32_t previous) {
        velunor::Run run = h.run();
        return DVDVerify(run, h.Disc(previous));
    }
};

TEST_F(ImageFolderTest, TheMediumIsReadBackAndTakenOverOrSetAside) {
    // Each study once per folder, in the order found; subfolders are not the
    // disc's. Files larger than the reader's buffers together pass through them.
    test::StageStudy(h.dvd() / "1", "1.2.826.0.1.A", 2, "a", 1, 6'000'000);
    test::StageStudy(h.dvd() / "2", "1.2.826.0.1.B", 3, "b");
    test::StageStudy(h.dvd() / "2", "1.2.826.0.1.C", 1, "c");
    test::StageStudy(h.dvd() / "2", "1.2.826.0.1.A", 1, "d");
    test::StageStudy(h.dvd() / "2" / "sub", "1.2.826.0.1.Z", 1, "z");
    test::WriteAll(h.dvd() / "Dicomdir", "an index");
    ASSERT_EQ(Create(16), BurnStart::Started) << h.Log();
    const fs::path image = h.images() / "DVD 17.iso";
    const std::vector<std::string> in1{"1.2.826.0.1.A"}, in2{"1.2.826.0.1.B", "1.2.826.0.1.C", "1.2.826.0.1.A"};
    auto verified = Verify(16);
    ASSERT_TRUE(verified) << h.Log();
    EXPECT_EQ(std::pair(verified->studies1, verified->studies2), std::pair(in1, in2));

    // The run ended before recording it. The next one, which staged another
    // study, takes the image over instead of writing it again, and reports
    // what the image holds.
    const std::string bytes = test::ReadAll(image);
    test::StageStudy(h.dvd() / "2", "1.2.826.0.1.E", 1, "e");
    EXPECT_EQ(Create(16), BurnStart::TakenOver);
    EXPECT_TRUE(test::ReadAll(image) == bytes);  // not written again
    verified = Verify(16);
    ASSERT_TRUE(verified) << h.Log();
    EXPECT_EQ(std::pair(verified->studies1, verified->studies2), std::pair(in1, in2));
    EXPECT_TRUE(h.events.asked.empty());

    // A file under the next disc's name that is not that disc is never taken over.
    fs::copy_file(image, h.images() / "DVD 18.iso");
    EXPECT_EQ(Create(17), BurnStart::Failed);
    test::WriteAll(h.images() / "DVD 19.iso", "no image");
    EXPECT_EQ(Create(18), BurnStart::Failed);

    // A medium that does not read back fails, and is set aside so that the
    // next run writes the disc again instead of taking it over.
    const fs::path dvd = h.dvd();
    std::int32_t previous = 20;
    for (const std::string what : {"2/ empty", "no 1/", "a file not DICOM", "a flipped pixel byte", "truncated"}) {
        SCOPED_TRACE(what);
        fs::remove_all(dvd);
        fs::create_directories(dvd / "2");
        if (what != "no 1/") fs::create_directories(dvd / "1");
        test::StageStudy(dvd / (what == "2/ empty" ? "1" : "2"), "1.2.826.0.9", 3, "f", 1, 50000);
        if (what == "a file not DICOM") test::WriteAll(dvd / "2" / "readme.txt", std::string(6'000'000, 'x'));
        ASSERT_EQ(Create(++previous), BurnStart::Started) << h.Log();
        ASSERT_EQ(written, true);
        const fs::path image = h.images() / ("DVD " + std::to_string(previous + 1) + ".iso");
        std::string bytes = test::ReadAll(image);
        if (what == "a flipped pixel byte") {
            // The file still parses as DICOM: only its checksum can tell.
            const std::string file = test::ReadAll(dvd / "2" / "f2.dcm");
            const std::size_t at = bytes.find(file.substr(file.size() - 256));
            ASSERT_NE(at, std::string::npos);
            bytes[at + 17] = static_cast<char>(bytes[at + 17] ^ 0x40);
        }
        if (what == "truncated") bytes.resize(bytes.size() - 4096);
        test::WriteAll(image, bytes);

        EXPECT_FALSE(Verify(previous));
        EXPECT_FALSE(fs::exists(image));
        EXPECT_TRUE(fs::exists(image.string() + ".unverified"));
    }
}

}  // namespace
}  // namespace velunor
