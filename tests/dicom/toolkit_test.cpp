// The DICOM toolkit on real files through real DCMTK and GDCM: python3-pydicom's
// sample set (broken files among them) and generated images in every transfer
// syntax the sample-archive generator writes, as the staging copy re-writes them.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>

#include "app/error.hpp"
#include "dicom/dcmtk_support.hpp"
#include "dicom/toolkit.hpp"
#include "tests/dicom/dicom_test_support.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace fs = std::filesystem;
using namespace velunor;
using namespace velunor::test;
namespace arc = velunor::archive;

namespace {

const std::string kImplicit = kImplicitVRLittleEndian;

std::string ShellOk(const std::string& command) {
    std::string output;
    EXPECT_EQ(RunShell(command, output), 0) << command << ": " << output;
    return output;
}

TEST(Toolkit, EverySyntaxIsStagedAsImplicitLittleEndianWithItsUidsAndPixels) {
    // Each source beside the same image uncompressed (empty: unknown): a
    // lossless syntax keeps every pixel value, a lossy one the geometry and
    // pixels close on average. Decoding never gives the instance a new UID.
    TempDir dir;
    struct Case {
        fs::path source, reference;
        bool lossless;
    };
    std::vector<Case> cases;
    for (const char* name : {"MR_small.dcm", "MR_small_implicit.dcm", "MR_small_bigendian.dcm", "MR_small_expb.dcm",
                             "MR_small_RLE.dcm", "MR_small_jpeg_ls_lossless.dcm", "MR_small_jp2klossless.dcm"})
        cases.push_back({Sample(name), Sample("MR_small.dcm"), true});
    cases.push_back({Sample("rtdose_rle.dcm"), Sample("rtdose.dcm"), true});
    cases.push_back({Sample("liver_expb_1frame.dcm"), Sample("liver_1frame.dcm"), true});
    for (const char* name : {"image_dfl.dcm", "SC_ybr_full_422_uncompressed.dcm", "SC_rgb_small_odd.dcm"})
        cases.push_back({Sample(name), Sample(name), true});
    for (const char* name : {"JPEG-lossy.dcm", "JPGExtended.dcm", "SC_rgb_jpeg_dcmtk.dcm", "SC_rgb_jpeg_gdcm.dcm",
                             "SC_jpeg_no_color_transform.dcm", "693_J2KI.dcm", "GDCMJ2K_TextGBR.dcm",
                             "SC_rgb_gdcm_KY.dcm", "SC_rgb_small_odd_jpeg.dcm"})
        cases.push_back({Sample(name), {}, false});
    // 12-bit grey and 8-bit colour cine loops in every syntax generated.
    for (const arc::SyntaxInfo& s : arc::AllSyntaxes()) {
        for (arc::Modality m : {arc::Modality::CT, arc::Modality::US}) {
            const std::string name = std::string(s.name) + "_" + arc::ModalityName(m);
            const std::uint64_t bytes = m == arc::Modality::US ? 640 * 480 * 3 * 2 : 64 * 1024;
            arc::WriteImage(dir / (name + ".ref"), m, arc::Syntax::ExplicitLittle, bytes, 42);
            arc::WriteImage(dir / (name + ".dcm"), m, s.syntax, bytes, 42);
            cases.push_back({dir / (name + ".dcm"), dir / (name + ".ref"), s.lossless});
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source.filename().string());
        Stage(c.source, dir / "staged.dcm");
        const FileFacts source = Inspect(c.source, false), staged = Inspect(dir / "staged.dcm");
        EXPECT_EQ(staged.transferSyntax, kImplicit);
        EXPECT_EQ(staged.studyUid, source.studyUid);
        EXPECT_EQ(staged.sopInstance, source.sopInstance);
        EXPECT_EQ(staged.sopClass, source.sopClass);
        EXPECT_EQ(std::pair(staged.rows, staged.columns), std::pair(source.rows, source.columns));
        EXPECT_NE(staged.photometric.rfind("YBR_ICT", 0), 0u);
        if (c.reference.empty()) {
            EXPECT_EQ(staged.pixels.size(), std::size_t(staged.rows) * staged.columns * staged.samples * staged.frames *
                                                ((staged.bitsAllocated + 7) / 8));
            continue;
        }
        const FileFacts reference = Inspect(c.reference);
        ASSERT_EQ(staged.pixels.size(), reference.pixels.size());
        double difference = 0;
        for (std::size_t i = 0; i < staged.pixels.size(); ++i)
            difference += std::abs(int(staged.pixels[i]) - int(reference.pixels[i]));
        EXPECT_LE(difference / double(staged.pixels.size()), c.lossless ? 0.0 : 24.0);
    }
}

// What DCMTK writes when it decodes the whole image and saves it as
// Implicit VR Little Endian with its meta information brought up to date.
std::string WholeDecode(const fs::path& source, const fs::path& target) {
    DcmFileFormat file;
    EXPECT_TRUE(file.loadFile(OFFilename(source.c_str())).good()) << source;
    EXPECT_TRUE(file.getDataset()->chooseRepresentation(EXS_LittleEndianImplicit, nullptr).good()) << source;
    file.getDataset()->removeAllButCurrentRepresentations();
    EXPECT_TRUE(file.saveFile(OFFilename(target.c_str()), EXS_LittleEndianImplicit, EET_ExplicitLength,
                              EGL_recalcGL, EPD_noChange, 0, 0, EWM_updateMeta)
                    .good());
    return ReadAll(target);
}

TEST(Toolkit, WritesTheBytesDcmtkWritesWhetherPixelsAreCopiedDecodedWholeOrFrameByFrame) {
    // Little-endian pixel data that ends the file is copied unread, compressed
    // loops are decoded a frame at a time, anything else goes through DCMTK in
    // full: the file is what DCMTK's converter or a whole decode writes.
    TempDir dir;
    arc::WriteImage(dir / "explicit.dcm", arc::Modality::CT, arc::Syntax::ExplicitLittle, 300000, 8);
    arc::WriteImage(dir / "implicit.dcm", arc::Modality::US, arc::Syntax::ImplicitLittle, 640 * 480 * 3, 9);
    arc::WriteImage(dir / "big.dcm", arc::Modality::MR, arc::Syntax::ExplicitBig, 100000, 10);
    fs::copy_file(dir / "explicit.dcm", dir / "trailing.dcm");
    ShellOk("dcmodify -nb -i '(7fe1,0010)=VELUNOR' " + Quote(dir / "trailing.dcm"));
    // Planar colour, 16 and 32 bits per sample, a dose grid, and generated
    // colour loops of 3 to 6 frames in every syntax a DCMTK codec reads.
    std::vector<fs::path> loops = {Sample("SC_rgb_rle_2frame.dcm"), Sample("SC_rgb_rle_16bit_2frame.dcm"),
                                   Sample("SC_rgb_rle_32bit_2frame.dcm"), Sample("rtdose_rle.dcm")};
    for (auto syntax : {arc::Syntax::JpegBaseline, arc::Syntax::JpegLossless, arc::Syntax::JpegLsLossless,
                        arc::Syntax::JpegLsNearLossless, arc::Syntax::Rle}) {
        loops.push_back(dir / (std::string(arc::Info(syntax).name) + ".dcm"));
        arc::WriteImage(loops.back(), arc::Modality::US, syntax, 640 * 480 * 3 * (3 + loops.size() % 4), loops.size());
    }
    for (const fs::path& source : {dir / "explicit.dcm", dir / "implicit.dcm", dir / "big.dcm", dir / "trailing.dcm"}) {
        SCOPED_TRACE(source.filename().string());
        Stage(source, dir / "ours.dcm");
        ShellOk("dcmconv +ti " + Quote(source) + " " + Quote(dir / "theirs.dcm"));
        EXPECT_TRUE(ReadAll(dir / "ours.dcm") == ReadAll(dir / "theirs.dcm"));
    }
    for (const fs::path& source : loops) {
        SCOPED_TRACE(source.filename().string());
        const std::string expected = WholeDecode(source, dir / "whole.dcm");
        DicomCollection collection;
        collection.ReadFile(source);
        {
            Fd out(::open((dir / "frames.dcm").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            EXPECT_TRUE(WriteDecodingFrames(*collection.Item(1).impl, out.fd, true, "frames.dcm")) << "declined";
        }
        EXPECT_TRUE(ReadAll(dir / "frames.dcm") == expected);
        // The toolkit takes that way, and leaves the dataset as it was read.
        for (int round = 0; round < 2; ++round) {
            collection.Item(1).WriteFile(dir / "toolkit.dcm", true, kImplicit);
            EXPECT_TRUE(ReadAll(dir / "toolkit.dcm") == expected);
        }
    }
}

TEST(ToolkitFailures, UnreadableFilesAndFailedWritesAreErrorsThatLeaveNothingBehind) {
    TempDir dir;
    WriteAll(dir / "empty.dcm", "");
    WriteAll(dir / "text.dcm", "This is a report, not an image.\r\n");
    for (const fs::path& p : {Sample("MR_truncated.dcm"), Sample("rtplan_truncated.dcm"), dir / "empty.dcm",
                              dir / "text.dcm", dir / "missing.dcm", dir.path()}) {
        // From the file, and from memory as verification reads a disc.
        const std::string bytes = fs::is_regular_file(p) ? ReadAll(p) : "";
        DicomCollection collection;
        EXPECT_NE(ErrorText([&] { collection.ReadFile(p); }).find(p.string()), std::string::npos) << p;
        EXPECT_NE(ErrorText([&] { collection.ReadBuffer({bytes.begin(), bytes.end()}, p.string()); }).find(p.string()),
                  std::string::npos);
        EXPECT_EQ(collection.Count(), 0);
    }

    // A write that is refused or fails names its reason, leaves no file
    // behind and a file already at the target unchanged.
    CorruptJpegScan(Sample("JPGExtended.dcm"), dir / "corrupt.dcm");
    arc::WriteImage(dir / "cine.dcm", arc::Modality::US, arc::Syntax::JpegBaseline, 640 * 480 * 3 * 4, 4);
    CorruptJpegScan(dir / "cine.dcm", dir / "corrupt-cine.dcm");
    fs::copy_file(Sample("MR_small.dcm"), dir / "nostudy.dcm");
    ShellOk("dcmodify -nb -e '(0020,000d)' " + Quote(dir / "nostudy.dcm"));
    arc::WriteImage(dir / "little.dcm", arc::Modality::CT, arc::Syntax::ExplicitLittle, 300000, 4);
    arc::WriteImage(dir / "big.dcm", arc::Modality::CT, arc::Syntax::ExplicitBig, 300000, 4);
    const fs::path out = dir / "out";
    fs::create_directories(out / "folder.dcm" / "inside");
    WriteAll(out / "kept.dcm", "previous content");
    fs::copy_file(Sample("MR_small_RLE.dcm"), out / "source.dcm");
    fs::create_hard_link(out / "source.dcm", out / "link.dcm");
    const std::string source = ReadAll(out / "source.dcm");
    const struct {
        fs::path source;
        std::string target, syntax, reason;
        bool small = false;  // files may grow to 64 KB only (as on a full disk)
    } cases[] = {
        {dir / "corrupt.dcm", "new.dcm", kImplicit, "corrupt"},  // the JPEG decoder only warns
        {dir / "corrupt-cine.dcm", "kept.dcm", kImplicit, "corrupt"},
        {Sample("JPEG2000-embedded-sequence-delimiter.dcm"), "kept.dcm", kImplicit, "3722445056 x 1024 pixels"},
        {Sample("empty_charset_LEI.dcm"), "kept.dcm", kImplicit, "SOP Class UID"},
        {dir / "nostudy.dcm", "kept.dcm", kImplicit, "Study Instance UID"},
        {Sample("CT_small.dcm"), "kept.dcm", "1.2.3.4", "unknown transfer syntax"},
        {Sample("CT_small.dcm"), "missing/new.dcm", kImplicit, ""},
        {Sample("CT_small.dcm"), "folder.dcm", kImplicit, ""},
        {out / "source.dcm", "source.dcm", kImplicit, "read from"},
        {out / "source.dcm", "link.dcm", kImplicit, "read from"},
        // Pixels copied from the source, and written by DCMTK, whose last
        // buffered bytes go out when its stream closes.
        {dir / "little.dcm", "new.dcm", kImplicit, "Cannot write", true},
        {dir / "big.dcm", "kept.dcm", kImplicit, "Cannot write", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source.filename().string() + " to " + c.target);
        DicomCollection collection;
        collection.ReadFile(c.source);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limited{c.small ? 64 * 1024 : saved.rlim_cur, saved.rlim_max};
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limited);
        const std::string text = ErrorText([&] { collection.Item(1).WriteFile(out / c.target, true, c.syntax); });
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        EXPECT_TRUE(!text.empty() && text.find(c.reason) != std::string::npos) << text;
        EXPECT_EQ(Entries(out), (std::vector<std::string>{"folder.dcm", "kept.dcm", "link.dcm", "source.dcm"}));
        EXPECT_EQ(ReadAll(out / "kept.dcm"), "previous content");
        EXPECT_TRUE(ReadAll(out / "source.dcm") == source);
    }
}

TEST(Toolkit, ReadsAFileHeldInMemoryAndOutlivesTheBuffer) {
    // Verification reads a disc's files into memory, and lets the bytes go.
    TempDir dir;
    DicomCollection collection;
    {
        const std::string text = ReadAll(Sample("MR_small_jpeg_ls_lossless.dcm"));
        std::vector<std::uint8_t> bytes(text.begin(), text.end());
        collection.ReadBuffer(bytes, "disc:/2/IM00001.dcm");
        bytes.assign(bytes.size(), 0);
    }
    EXPECT_EQ(collection.Item(1).StudyUID(), Inspect(Sample("MR_small.dcm"), false).studyUid);
    collection.Item(1).WriteFile(dir / "out.dcm", true, kImplicit);
    EXPECT_EQ(Inspect(dir / "out.dcm").pixels, Inspect(Sample("MR_small.dcm")).pixels);
    // It has no file a DICOMDIR record could point to.
    DicomDirBuilder builder;
    const std::string text = ErrorText([&] { builder.AddFile(collection.Item(1), "2/IM1", "1.2.3", 0); });
    EXPECT_NE(text.find("not read from a file"), std::string::npos) << text;
}

TEST(ToolkitStartup, AMissingDataDictionaryStopsWithAClearMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Loaded once per process: checked in a fresh one pointed at a dictionary
    // that does not exist (Implicit VR files would be misread without it).
    EXPECT_EXIT(
        {
            ::setenv("DCMDICTPATH", "/nonexistent/dicom.dic", 1);
            std::fprintf(stderr, "%s\n", ErrorText([] { InitDicomToolkit(); }).c_str());
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "data dictionary is not loaded");
}

}  // namespace
