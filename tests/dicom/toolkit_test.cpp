// The DICOM toolkit on real files: python3-pydicom's sample set (every
// transfer syntax, broken files among them) through real DCMTK and GDCM.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include "app/error.hpp"
#include "dicom/toolkit.hpp"
#include "tests/dicom/dicom_test_support.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace fs = std::filesystem;
using namespace velunor;
using namespace velunor::test;

namespace {

const std::string kImplicit = kImplicitVRLittleEndian;

// Reads `source` and writes it as Implicit VR Little Endian to `target`.
void Reencode(const fs::path& source, const fs::path& target) {
    DicomCollection collection;
    collection.ReadFile(source);
    collection.Item(1).WriteFile(target, true, kImplicit);
}

struct LosslessCase {
    const char* file;
    const char* reference;   // same pixels, uncompressed
};

class LosslessInput : public ::testing::TestWithParam<LosslessCase> {};

TEST_P(LosslessInput, ComesOutAsImplicitLittleEndianWithTheSameUidsAndPixels) {
    const LosslessCase c = GetParam();
    TempDir dir;
    const fs::path target = dir / "out.dcm";
    Reencode(Sample(c.file), target);

    const FileFacts source = Inspect(Sample(c.file), false);
    const FileFacts reference = Inspect(Sample(c.reference));
    const FileFacts written = Inspect(target);
    EXPECT_EQ(written.transferSyntax, kImplicit);
    EXPECT_EQ(written.studyUid, source.studyUid);
    EXPECT_EQ(written.sopInstance, source.sopInstance);
    EXPECT_EQ(written.sopClass, source.sopClass);
    ASSERT_FALSE(reference.pixels.empty());
    EXPECT_EQ(written.pixels, reference.pixels) << c.file << " changed its pixel values";
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"out.dcm"});

    // The toolkit reads what it wrote.
    DicomCollection again;
    again.ReadFile(target);
    EXPECT_EQ(again.Item(1).StudyUID(), source.studyUid);
}

INSTANTIATE_TEST_SUITE_P(
    SampleFiles, LosslessInput,
    ::testing::Values(LosslessCase{"MR_small.dcm", "MR_small.dcm"},
                      LosslessCase{"MR_small_implicit.dcm", "MR_small.dcm"},
                      LosslessCase{"MR_small_bigendian.dcm", "MR_small.dcm"},
                      LosslessCase{"MR_small_expb.dcm", "MR_small.dcm"},
                      LosslessCase{"MR_small_RLE.dcm", "MR_small.dcm"},
                      LosslessCase{"MR_small_jpeg_ls_lossless.dcm", "MR_small.dcm"},
                      LosslessCase{"MR_small_jp2klossless.dcm", "MR_small.dcm"},
                      LosslessCase{"rtdose_rle.dcm", "rtdose.dcm"},
                      LosslessCase{"liver_expb_1frame.dcm", "liver_1frame.dcm"},
                      LosslessCase{"image_dfl.dcm", "image_dfl.dcm"},
                      LosslessCase{"SC_ybr_full_422_uncompressed.dcm", "SC_ybr_full_422_uncompressed.dcm"},
                      LosslessCase{"SC_rgb_small_odd.dcm", "SC_rgb_small_odd.dcm"}),
    [](const ::testing::TestParamInfo<LosslessCase>& info) {
        std::string name = fs::path(info.param.file).stem().string();
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

class LossyInput : public ::testing::TestWithParam<const char*> {};

TEST_P(LossyInput, IsDecodedToAnImageOfTheSameGeometry) {
    TempDir dir;
    const fs::path target = dir / "out.dcm";
    Reencode(Sample(GetParam()), target);
    const FileFacts source = Inspect(Sample(GetParam()), false);
    const FileFacts written = Inspect(target);
    EXPECT_EQ(written.transferSyntax, kImplicit);
    EXPECT_EQ(written.studyUid, source.studyUid);
    EXPECT_EQ(written.sopInstance, source.sopInstance) << "decoding must not give the instance a new UID";
    EXPECT_EQ(written.rows, source.rows);
    EXPECT_EQ(written.columns, source.columns);
    EXPECT_EQ(written.pixels.size(),
              std::size_t(written.rows) * written.columns * written.samples * written.frames *
                  ((written.bitsAllocated + 7) / 8));
    EXPECT_NE(written.photometric.rfind("YBR_ICT", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(SampleFiles, LossyInput,
                         ::testing::Values("JPEG-lossy.dcm", "JPGExtended.dcm", "SC_rgb_jpeg_dcmtk.dcm",
                                           "SC_jpeg_no_color_transform.dcm", "SC_rgb_jpeg_gdcm.dcm",
                                           "693_J2KI.dcm", "GDCMJ2K_TextGBR.dcm", "SC_rgb_gdcm_KY.dcm",
                                           "SC_rgb_small_odd_jpeg.dcm"));

TEST(ToolkitFailures, UnreadableFilesRaiseAnErrorNamingTheFile) {
    TempDir dir;
    WriteAll(dir / "empty.dcm", "");
    WriteAll(dir / "text.dcm", "This is a report, not an image.\r\n");
    fs::create_directory(dir / "folder.dcm");
    for (const fs::path& p : {Sample("MR_truncated.dcm"), Sample("rtplan_truncated.dcm"), dir / "empty.dcm",
                              dir / "text.dcm", dir / "missing.dcm", dir / "folder.dcm"}) {
        DicomCollection collection;
        const std::string text = ErrorText([&] { collection.ReadFile(p); });
        EXPECT_NE(text.find(p.string()), std::string::npos) << p << ": " << text;
        EXPECT_EQ(collection.Count(), 0);
    }
}

TEST(ToolkitFailures, AFailedWriteLeavesNothingBehindAndKeepsAnExistingTarget) {
    TempDir dir;
    CorruptJpegScan(Sample("JPGExtended.dcm"), dir / "corrupt.dcm");
    fs::create_directory(dir / "out");
    WriteAll(dir / "out" / "kept.dcm", "previous content");

    struct Case {
        fs::path source;
        std::string expected;
    };
    const Case cases[] = {
        {dir / "corrupt.dcm", "corrupt"},                                        // JPEG decoder only warns
        {Sample("JPEG2000-embedded-sequence-delimiter.dcm"), "3722445056 x 1024 pixels"},  // a broken image size
        {Sample("empty_charset_LEI.dcm"), "SOP Class UID"},                      // nothing to identify it
        {Sample("UN_sequence.dcm"), "SOP Class UID"},
    };
    for (const Case& c : cases) {
        for (const char* name : {"new.dcm", "kept.dcm"}) {
            DicomCollection collection;
            collection.ReadFile(c.source);
            const std::string text =
                ErrorText([&] { collection.Item(1).WriteFile(dir / "out" / name, true, kImplicit); });
            EXPECT_NE(text.find(c.expected), std::string::npos) << c.source << ": " << text;
        }
        EXPECT_EQ(Entries(dir / "out"), std::vector<std::string>{"kept.dcm"}) << c.source;
        EXPECT_EQ(ReadAll(dir / "out" / "kept.dcm"), "previous content");
    }
}

TEST(ToolkitFailures, AMissingStudyUidIsNotInvented) {
    TempDir dir;
    // MR_small without its Study Instance UID, written by DCMTK's own tool.
    fs::copy_file(Sample("MR_small.dcm"), dir / "nostudy.dcm");
    std::string output;
    ASSERT_EQ(RunCommand("dcmodify -nb -e '(0020,000d)' '" + (dir / "nostudy.dcm").string() + "'", output), 0) << output;

    DicomCollection collection;
    collection.ReadFile(dir / "nostudy.dcm");
    EXPECT_NE(ErrorText([&] { collection.Item(1).StudyUID(); }).find("Study Instance UID"), std::string::npos);
    EXPECT_NE(ErrorText([&] { collection.Item(1).WriteFile(dir / "out.dcm", true, kImplicit); })
                  .find("Study Instance UID"),
              std::string::npos);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"nostudy.dcm"});
}

TEST(ToolkitFailures, NeverWritesOntoTheFileItRead) {
    TempDir dir;
    fs::copy_file(Sample("MR_small_RLE.dcm"), dir / "a.dcm");
    const std::string before = ReadAll(dir / "a.dcm");
    DicomCollection collection;
    collection.ReadFile(dir / "a.dcm");
    EXPECT_NE(ErrorText([&] { collection.Item(1).WriteFile(dir / "a.dcm", true, kImplicit); }).find("read from"),
              std::string::npos);
    // Nor through another name of the same file.
    fs::create_hard_link(dir / "a.dcm", dir / "b.dcm");
    EXPECT_NE(ErrorText([&] { collection.Item(1).WriteFile(dir / "b.dcm", true, kImplicit); }).find("read from"),
              std::string::npos);
    EXPECT_EQ(ReadAll(dir / "a.dcm"), before);
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"a.dcm", "b.dcm"}));
}

TEST(ToolkitFailures, UnwritableTargetsAndUnsupportedSyntaxesAreErrors) {
    TempDir dir;
    DicomCollection collection;
    collection.ReadFile(Sample("CT_small.dcm"));
    DicomDataset& dataset = collection.Item(1);
    EXPECT_NE(ErrorText([&] { dataset.WriteFile(dir / "missing" / "x.dcm", true, kImplicit); }), "");
    fs::create_directory(dir / "taken.dcm");
    WriteAll(dir / "taken.dcm" / "inside", "x");
    EXPECT_NE(ErrorText([&] { dataset.WriteFile(dir / "taken.dcm", true, kImplicit); }), "");
    EXPECT_NE(ErrorText([&] { dataset.WriteFile(dir / "x.dcm", true, "1.2.3.4"); }).find("unknown transfer syntax"),
              std::string::npos);
    EXPECT_NE(ErrorText([&] { dataset.WriteFile(dir / "x.dcm", true, "1.2.840.10008.1.2.4.50"); }), "");
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"taken.dcm"});
}

TEST(Toolkit, CollectionHoldsWhatWasReadUntilCleared) {
    DicomCollection collection;
    EXPECT_EQ(collection.Count(), 0);
    EXPECT_NE(ErrorText([&] { collection.Item(1); }), "");
    collection.ReadFile(Sample("CT_small.dcm"));
    collection.ReadFile(Sample("MR_small.dcm"));
    EXPECT_EQ(collection.Count(), 2);
    EXPECT_EQ(collection.Item(1).StudyUID(), Inspect(Sample("CT_small.dcm"), false).studyUid);
    EXPECT_EQ(collection.Item(2).DirEntryKey(), Inspect(Sample("MR_small.dcm"), false).sopInstance);
    EXPECT_NE(ErrorText([&] { collection.Item(3); }), "");
    EXPECT_NE(ErrorText([&] { collection.Item(0); }), "");
    collection.Clear();
    EXPECT_EQ(collection.Count(), 0);
}

TEST(Toolkit, ReadsAFileHeldInMemoryAndOutlivesTheBuffer) {
    TempDir dir;
    DicomCollection collection;
    {
        const std::string text = ReadAll(Sample("MR_small_jpeg_ls_lossless.dcm"));
        std::vector<std::uint8_t> bytes(text.begin(), text.end());
        collection.ReadBuffer(bytes, "disc:/2/IM00001.dcm");
        bytes.assign(bytes.size(), 0);   // the dataset must not look at the caller's bytes again
    }
    EXPECT_EQ(collection.Item(1).StudyUID(), Inspect(Sample("MR_small.dcm"), false).studyUid);
    collection.Item(1).WriteFile(dir / "out.dcm", true, kImplicit);
    EXPECT_EQ(Inspect(dir / "out.dcm").pixels, Inspect(Sample("MR_small.dcm")).pixels);

    const std::string whole = ReadAll(Sample("MR_small.dcm"));
    const std::vector<std::uint8_t> truncated(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
    DicomCollection broken;
    EXPECT_NE(ErrorText([&] { broken.ReadBuffer(truncated, "disc:/1/half.dcm"); }).find("disc:/1/half.dcm"),
              std::string::npos);
    EXPECT_NE(ErrorText([&] { broken.ReadBuffer({}, "disc:/1/empty.dcm"); }), "");
    EXPECT_EQ(broken.Count(), 0);
    // A dataset from memory has no file a DICOMDIR record could point to.
    DicomDirBuilder builder;
    EXPECT_NE(ErrorText([&] {
                  builder.AddFile(collection.Item(1), "2/IM00001.dcm", collection.Item(1).DirEntryKey(), 0);
              }).find("not read from a file"),
              std::string::npos);
}

TEST(Toolkit, WritesTheSameBytesAsDcmconvWhetherPixelsAreCopiedOrRewritten) {
    // Little-endian sources whose pixel data ends the file have their pixel
    // bytes copied unread; any other layout goes through DCMTK in full.
    // Either way the file is what DCMTK's own converter writes.
    namespace arc = velunor::archive;
    TempDir dir;
    arc::WriteImage(dir / "explicit.dcm", arc::Modality::CT, arc::Syntax::ExplicitLittle, 300000, 8);
    arc::WriteImage(dir / "implicit.dcm", arc::Modality::US, arc::Syntax::ImplicitLittle, 640 * 480 * 3, 9);
    arc::WriteImage(dir / "big.dcm", arc::Modality::MR, arc::Syntax::ExplicitBig, 100000, 10);
    fs::copy_file(dir / "explicit.dcm", dir / "trailing.dcm");
    std::string output;
    ASSERT_EQ(RunCommand("dcmodify -nb -i '(7fe1,0010)=VELUNOR' '" + (dir / "trailing.dcm").string() + "'", output), 0)
        << output;
    for (const char* name : {"explicit.dcm", "implicit.dcm", "big.dcm", "trailing.dcm"}) {
        const fs::path source = dir / name;
        Reencode(source, dir / "ours.dcm");
        ASSERT_EQ(RunCommand("dcmconv +ti '" + source.string() + "' '" + (dir / "theirs.dcm").string() + "'", output), 0)
            << output;
        EXPECT_TRUE(ReadAll(dir / "ours.dcm") == ReadAll(dir / "theirs.dcm")) << name;
        EXPECT_EQ(Inspect(dir / "ours.dcm").pixels, Inspect(source).pixels) << name;
    }
}

TEST(ToolkitFailures, AWriteCutShortIsAnErrorAndLeavesNothing) {
    // Files may grow to 64 KB only; a write beyond fails with EFBIG (the
    // signal that would end the process is ignored meanwhile). Both ways
    // of writing are covered: pixels copied from a little-endian source,
    // and big-endian pixels rewritten through DCMTK, whose last buffered
    // bytes are written when its stream closes.
    namespace arc = velunor::archive;
    TempDir dir;
    arc::WriteImage(dir / "little.dcm", arc::Modality::CT, arc::Syntax::ExplicitLittle, 300000, 4);
    arc::WriteImage(dir / "big.dcm", arc::Modality::CT, arc::Syntax::ExplicitBig, 300000, 4);
    fs::create_directory(dir / "out");
    for (const char* name : {"little.dcm", "big.dcm"}) {
        DicomCollection collection;
        collection.ReadFile(dir / name);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 64 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &small);
        const std::string text =
            ErrorText([&] { collection.Item(1).WriteFile(dir / "out" / name, true, kImplicit); });
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        EXPECT_NE(text.find("Cannot write"), std::string::npos) << name << ": " << text;
        EXPECT_TRUE(Entries(dir / "out").empty()) << name;
    }
}

TEST(Toolkit, WritesTheBareDatasetWhenAskedTo) {
    TempDir dir;
    DicomCollection collection;
    collection.ReadFile(Sample("MR_small.dcm"));
    collection.Item(1).WriteFile(dir / "bare.dcm", false, kImplicit);
    const std::string bytes = ReadAll(dir / "bare.dcm");
    ASSERT_GT(bytes.size(), 132u);
    EXPECT_NE(bytes.substr(128, 4), "DICM") << "no preamble, no meta information";
    DicomCollection again;
    again.ReadFile(dir / "bare.dcm");
    EXPECT_EQ(again.Item(1).StudyUID(), Inspect(Sample("MR_small.dcm"), false).studyUid);
}

TEST(ToolkitStartup, AMissingDataDictionaryStopsWithAClearMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The dictionary is loaded once per process, so the check runs in a
    // fresh process that is pointed at a dictionary that does not exist.
    EXPECT_EXIT(
        {
            ::setenv("DCMDICTPATH", "/nonexistent/dicom.dic", 1);
            try {
                InitDicomToolkit();
            } catch (const Error& e) {
                std::fprintf(stderr, "%s\n", e.what());
                std::exit(3);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(3), "data dictionary is not loaded");
}

}  // namespace
