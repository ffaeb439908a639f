// Multi-frame compressed images decoded one frame at a time: the file must be
// byte for byte what a whole decode through DCMTK writes, and anything the
// frame-by-frame way cannot do goes the whole way with its usual errors.
#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <fcntl.h>
#include <unistd.h>

#include "app/error.hpp"
#include "dicom/dcmtk_support.hpp"
#include "dicom/toolkit.hpp"
#include "tests/dicom/dicom_test_support.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor::test {
namespace {

namespace arc = velunor::archive;
namespace fs = std::filesystem;

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

// Writes `source` frame by frame; false when the frame-by-frame way
// declined it.
bool FrameByFrame(const fs::path& source, const fs::path& target) {
    DicomCollection collection;
    collection.ReadFile(source);
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    const bool written = WriteDecodingFrames(*collection.Item(1).impl, fd, true, target.string());
    ::close(fd);
    return written;
}

struct Generated {
    arc::Modality modality;
    arc::Syntax syntax;
    std::uint64_t pixelBytes;
};

TEST(FrameDecode, EveryCodecAndLayoutGivesTheBytesOfAWholeDecode) {
    InitDicomToolkit();
    TempDir dir;
    std::vector<fs::path> sources;
    // Ultrasound cine loops (colour, several frames) in every syntax a DCMTK
    // codec reads; the generator stores 8-bit colour JPEG as YBR_FULL_422.
    const Generated generated[] = {
        {arc::Modality::US, arc::Syntax::JpegBaseline, 640 * 480 * 3 * 6},
        {arc::Modality::US, arc::Syntax::JpegLossless, 640 * 480 * 3 * 4},
        {arc::Modality::US, arc::Syntax::JpegLsLossless, 640 * 480 * 3 * 5},
        {arc::Modality::US, arc::Syntax::JpegLsNearLossless, 640 * 480 * 3 * 3},
        {arc::Modality::US, arc::Syntax::Rle, 640 * 480 * 3 * 7},
    };
    int seed = 40;
    for (const Generated& g : generated) {
        const fs::path file = dir / (std::string(arc::Info(g.syntax).name) + ".dcm");
        arc::WriteImage(file, g.modality, g.syntax, g.pixelBytes, seed++);
        sources.push_back(file);
    }
    // Planar colour, 16 and 32 bits per sample, and a 15-frame dose grid.
    for (const char* name : {"SC_rgb_rle_2frame.dcm", "SC_rgb_rle_16bit_2frame.dcm", "SC_rgb_rle_32bit_2frame.dcm",
                             "rtdose_rle.dcm"})
        sources.push_back(Sample(name));

    for (const fs::path& source : sources) {
        SCOPED_TRACE(source.filename().string());
        const FileFacts facts = Inspect(source, false);
        ASSERT_GT(facts.frames, 1u) << "a single frame is decoded whole; the case tests nothing";
        const std::string expected = WholeDecode(source, dir / "whole.dcm");
        ASSERT_FALSE(expected.empty());

        ASSERT_TRUE(FrameByFrame(source, dir / "frames.dcm")) << "declined";
        EXPECT_TRUE(ReadAll(dir / "frames.dcm") == expected);

        // The toolkit's own write takes the same way.
        DicomCollection collection;
        collection.ReadFile(source);
        collection.Item(1).WriteFile(dir / "toolkit.dcm", true, kImplicitVRLittleEndian);
        EXPECT_TRUE(ReadAll(dir / "toolkit.dcm") == expected);
        // The dataset is left as it was read, so it can be written again.
        collection.Item(1).WriteFile(dir / "again.dcm", true, kImplicitVRLittleEndian);
        EXPECT_TRUE(ReadAll(dir / "again.dcm") == expected);
    }
}

TEST(FrameDecode, WhatItCannotDoGoesTheWholeWayWithTheUsualErrors) {
    InitDicomToolkit();
    TempDir dir;
    // One frame, uncompressed, JPEG 2000 (GDCM's), a JPEG stream damaged in
    // its first frame: declined, the output file left empty.
    arc::WriteImage(dir / "single.dcm", arc::Modality::US, arc::Syntax::Rle, 640 * 480 * 3, 1);
    arc::WriteImage(dir / "plain.dcm", arc::Modality::US, arc::Syntax::ExplicitLittle, 640 * 480 * 3 * 3, 2);
    arc::WriteImage(dir / "j2k.dcm", arc::Modality::US, arc::Syntax::Jpeg2000Lossless, 640 * 480 * 3 * 2, 3);
    arc::WriteImage(dir / "jpeg.dcm", arc::Modality::US, arc::Syntax::JpegBaseline, 640 * 480 * 3 * 4, 4);
    CorruptJpegScan(dir / "jpeg.dcm", dir / "damaged.dcm");
    for (const char* name : {"single.dcm", "plain.dcm", "j2k.dcm", "damaged.dcm"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(FrameByFrame(dir / name, dir / "out.dcm"));
        EXPECT_EQ(fs::file_size(dir / "out.dcm"), 0u);
    }
    fs::remove(dir / "out.dcm");

    // The damaged stream still fails as a corrupt one and leaves nothing.
    DicomCollection collection;
    collection.ReadFile(dir / "damaged.dcm");
    const std::string error =
        ErrorText([&] { collection.Item(1).WriteFile(dir / "out.dcm", true, kImplicitVRLittleEndian); });
    EXPECT_NE(error.find("corrupt"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir / "out.dcm"));
}

}  // namespace
}  // namespace velunor::test
