// The fuzz targets in the normal build: every input kept in
// tests/fuzz/regressions/<target>/ (each one once broke a promise or crashed
// a fuzzer) is replayed, and sound inputs are shown to pass every stage, so
// that the targets' checks are known to look at real results.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <gtest/gtest.h>
#include <zip.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "app/error.hpp"
#include "dicom/toolkit.hpp"
#include "tests/fuzz/fuzz_targets.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor::fuzz {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::uint8_t> FileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::uint8_t> TextBytes(const std::string& text) { return std::vector<std::uint8_t>(text.begin(), text.end()); }

std::vector<fs::path> Kept(const std::string& target) {
    std::vector<fs::path> files;
    const fs::path folder = fs::path(VELUNOR_FUZZ_REGRESSIONS) / target;
    if (!fs::is_directory(folder)) return files;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.is_regular_file() && e.path().filename() != "README") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

// Runs `target` on every kept input of `name`: no promise may break and no
// undocumented exception may escape. Returns how many were replayed.
template <class Target>
std::size_t Replay(const std::string& name, Target target) {
    std::size_t count = 0;
    for (const fs::path& file : Kept(name)) {
        SCOPED_TRACE(file.filename().string());
        TempDir work;
        const auto bytes = FileBytes(file);
        EXPECT_NO_THROW(target(bytes.data(), bytes.size(), work.path()));
        EXPECT_TRUE(fs::is_empty(work.path()));
        ++count;
    }
    return count;
}

TEST(FuzzRegressions, EveryKeptInputKeepsEveryPromise) {
    const std::size_t replayed = Replay("dicom", FuzzDicom) + Replay("zip", FuzzZip) + Replay("ini", FuzzIni);
    EXPECT_GE(replayed, 3u);
}

// A Study Instance UID stored under the broken VR "U]" in a big endian
// file: the toolkit read it as the hex dump "31" of its first byte, so the
// staged study was known under another UID than the one its file carried.
// With a form feed inside, the bytes must also be read as DCMTK reads a UI
// value (white space dropped), or the UID differs from the written file's.
TEST(FuzzRegressions, AUidUnderABrokenVrReadsAsItsText) {
    DicomCollection collection;
    collection.ReadFile(fs::path(VELUNOR_FUZZ_REGRESSIONS) / "dicom" / "study-uid-under-broken-vr-big-endian");
    EXPECT_EQ(collection.Item(1).StudyUID(), "1.2.333.4444.5.6.7.8.9");
    EXPECT_EQ(collection.Item(1).DirEntryKey(), "1.2.333.4444.5.6.7.8");

    DicomCollection spaced;
    spaced.ReadFile(fs::path(VELUNOR_FUZZ_REGRESSIONS) / "dicom" / "study-uid-under-broken-vr-with-form-feed");
    EXPECT_EQ(spaced.Item(1).StudyUID(), "1.2.333.444..5.60.8.9");
    TempDir dir;
    spaced.Item(1).WriteFile(dir / "staged.dcm", true, kImplicitVRLittleEndian);
    DicomCollection back;
    back.ReadBuffer(FileBytes(dir / "staged.dcm"), "staged.dcm");
    EXPECT_EQ(back.Item(1).StudyUID(), spaced.Item(1).StudyUID());
}

// An element of group 00E4 inside the meta information: DCMTK wrote it back
// with a group length of its own, and the staged file could not be read
// again, so every disc holding it failed verification.
// Likewise a Transfer Syntax UID stored under the broken VR "U\xC9": DCMTK
// kept it as UN and did not replace it, so the staged file named Explicit
// VR Little Endian while it was written in Implicit VR.
TEST(FuzzRegressions, BrokenMetaInformationIsNotWrittenBack) {
    for (const char* input : {"foreign-element-in-meta-header", "transfer-syntax-uid-under-broken-vr"}) {
        SCOPED_TRACE(input);
        TempDir dir;
        DicomCollection collection;
        collection.ReadFile(fs::path(VELUNOR_FUZZ_REGRESSIONS) / "dicom" / input);
        collection.Item(1).WriteFile(dir / "staged.dcm", true, kImplicitVRLittleEndian);
        const auto bytes = FileBytes(dir / "staged.dcm");
        DicomCollection back;
        ASSERT_NO_THROW(back.ReadBuffer(bytes, "staged.dcm"));
        EXPECT_EQ(back.Item(1).StudyUID(), collection.Item(1).StudyUID());
        // The Transfer Syntax UID element, as written: tag, VR "UI", length 18.
        const std::string written(bytes.begin(), bytes.end());
        EXPECT_NE(written.find(std::string("\x02\x00\x10\x00UI\x12\x00" "1.2.840.10008.1.2\0", 26)), std::string::npos);
        EXPECT_EQ(written.find(std::string("\xE4\x00\x00\x00", 4)), std::string::npos);
    }
}

// Kept inputs that must be refused with their reason, leaving nothing
// behind:
// - a JPEG 2000 fragment whose marker segments claim more bytes than it
//   holds: GDCM walked past the end of the data and the process died;
// - Dose Reference Sequence (300A,0010) stored as the text "CURATIVE": in
//   Implicit VR a reader takes it for the sequence the dictionary says it
//   is and cannot parse the file;
// - a Frame Increment Pointer (0028,0009) that is not an AT: GDCM asserted
//   on the VR and aborted; it now sees only the elements it needs;
// - no Samples per Pixel and no Photometric Interpretation: GDCM asserted
//   that the codestream's components match them and aborted;
// - a codestream of 512 x 65281 pixels described as 512 x 512: GDCM sized
//   its output by the attributes and wrote past its end.
TEST(FuzzRegressions, BrokenInputsAreRefusedWithTheirReason) {
    const struct {
        const char* file;
        const char* reason;
    } kept[] = {
        {"jpeg2000-marker-segment-overruns-fragment", "JPEG 2000 pixel data is damaged"},
        {"sequence-stored-as-text", "(300a,0010) is a sequence, but the file stores it as CS"},
        {"jpeg2000-frame-increment-pointer-not-at", "JPEG 2000"},
        {"jpeg2000-without-photometric-interpretation", "pixel description cannot be right"},
        {"jpeg2000-image-larger-than-described", "512 x 65281 pixels where the image describes 512 x 512"},
    };
    for (const auto& k : kept) {
        SCOPED_TRACE(k.file);
        TempDir dir;
        DicomCollection collection;
        collection.ReadFile(fs::path(VELUNOR_FUZZ_REGRESSIONS) / "dicom" / k.file);
        const std::string error = test::ErrorText(
            [&] { collection.Item(1).WriteFile(dir / "staged.dcm", true, kImplicitVRLittleEndian); });
        EXPECT_NE(error.find(k.reason), std::string::npos) << error;
        EXPECT_TRUE(fs::is_empty(dir.path()));
    }
}

// Pixel descriptions no image has made GDCM assert and abort (found after
// the finding above, by changing a sound JPEG 2000 file value by value):
// they are refused before GDCM sees them; the sound file still decodes.
TEST(FuzzRegressions, ImplausiblePixelDescriptionsNeverReachGdcm) {
    TempDir dir;
    archive::WriteImage(dir / "sound.dcm", archive::Modality::MR, archive::Syntax::Jpeg2000Lossless, 4096, 3);
    // Each change makes GDCM assert (and abort the process) or misread.
    // The last two describe three samples per pixel, consistently, over a
    // codestream of one component.
    struct Change {
        const char* what;
        std::function<void(DcmDataset&)> apply;
        const char* refusal;
    };
    const char* const kDescription = "pixel description cannot be right";
    auto number = [](DcmTagKey key, Uint16 value) {
        return [key, value](DcmDataset& d) { ASSERT_TRUE(d.putAndInsertUint16(key, value).good()); };
    };
    auto text = [](DcmTagKey key, const char* value) {
        return [key, value](DcmDataset& d) { ASSERT_TRUE(d.putAndInsertString(key, value).good()); };
    };
    const Change changes[] = {
        {"Samples per Pixel 0", number(DCM_SamplesPerPixel, 0), kDescription},
        {"Samples per Pixel 5", number(DCM_SamplesPerPixel, 5), kDescription},
        {"Bits Allocated 0", number(DCM_BitsAllocated, 0), kDescription},
        {"Bits Stored 40", number(DCM_BitsStored, 40), kDescription},
        {"High Bit 70", number(DCM_HighBit, 70), kDescription},
        {"Rows 0", number(DCM_Rows, 0), kDescription},
        {"Pixel Representation 7", number(DCM_PixelRepresentation, 7), kDescription},
        {"RGB with one sample", text(DCM_PhotometricInterpretation, "RGB"), kDescription},
        {"an unknown photometric interpretation", text(DCM_PhotometricInterpretation, "GREEN"), kDescription},
        {"no photometric interpretation", [](DcmDataset& d) { delete d.remove(DCM_PhotometricInterpretation); },
         kDescription},
        {"RGB over one component",
         [](DcmDataset& d) {
             ASSERT_TRUE(d.putAndInsertUint16(DCM_SamplesPerPixel, 3).good());
             ASSERT_TRUE(d.putAndInsertString(DCM_PhotometricInterpretation, "RGB").good());
             ASSERT_TRUE(d.putAndInsertUint16(DCM_PlanarConfiguration, 0).good());
         },
         "1 components where the image describes 3 samples"},
        // GDCM sizes its output by the attributes and fills it by the
        // codestream: a larger image, or wider samples, wrote past the end.
        {"one row fewer than the codestream",
         [](DcmDataset& d) {
             Uint16 rows = 0;
             ASSERT_TRUE(d.findAndGetUint16(DCM_Rows, rows).good());
             ASSERT_TRUE(d.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(rows - 1)).good());
         },
         "pixels where the image describes"},
        {"8 bits allocated for wider samples",
         [](DcmDataset& d) {
             ASSERT_TRUE(d.putAndInsertUint16(DCM_BitsAllocated, 8).good());
             ASSERT_TRUE(d.putAndInsertUint16(DCM_BitsStored, 8).good());
             ASSERT_TRUE(d.putAndInsertUint16(DCM_HighBit, 7).good());
         },
         "-bit samples where the image allocates 8 bits"},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        DcmFileFormat format;
        ASSERT_TRUE(format.loadFile(OFFilename((dir / "sound.dcm").c_str())).good());
        ASSERT_TRUE(format.loadAllDataIntoMemory().good());
        change.apply(*format.getDataset());
        ASSERT_TRUE(format.saveFile(OFFilename((dir / "changed.dcm").c_str()), EXS_Unknown).good());
        DicomCollection collection;
        collection.ReadFile(dir / "changed.dcm");
        const std::string error = test::ErrorText(
            [&] { collection.Item(1).WriteFile(dir / "staged.dcm", true, kImplicitVRLittleEndian); });
        EXPECT_NE(error.find(change.refusal), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(dir / "staged.dcm"));
    }
    DicomCollection sound;
    sound.ReadFile(dir / "sound.dcm");
    EXPECT_NO_THROW(sound.Item(1).WriteFile(dir / "staged.dcm", true, kImplicitVRLittleEndian));
}

// ---- the targets on sound and plainly broken input ---------------------

TEST(FuzzTargets, ASoundDicomFileIsReadWrittenReadBackAndRecorded) {
    TempDir dir, work;
    for (auto syntax : {archive::Syntax::ExplicitBig, archive::Syntax::JpegLsLossless, archive::Syntax::Rle}) {
        SCOPED_TRACE(archive::Info(syntax).name);
        archive::WriteImage(dir / "in.dcm", archive::Modality::MR, syntax, 4096, 7);
        const auto bytes = FileBytes(dir / "in.dcm");
        const DicomOutcome out = FuzzDicom(bytes.data(), bytes.size(), work.path());
        EXPECT_TRUE(out.readBuffer && out.readFile && out.written && out.recorded) << out.error;
        EXPECT_TRUE(fs::is_empty(work.path()));

        // Cut short inside the pixel data, the same file is never written.
        const DicomOutcome cut = FuzzDicom(bytes.data(), bytes.size() - 1000, work.path());
        EXPECT_FALSE(cut.written);
        EXPECT_FALSE(cut.error.empty());
    }
    const DicomOutcome none = FuzzDicom(nullptr, 0, work.path());
    EXPECT_FALSE(none.readBuffer || none.readFile);
}

// A ZIP archive written with libzip from (name, content) pairs.
std::vector<std::uint8_t> Zip(const fs::path& file, const std::vector<std::pair<std::string, std::string>>& entries) {
    int err = 0;
    zip_t* za = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) return {};
    for (const auto& [name, content] : entries) {
        zip_source_t* src = zip_source_buffer(za, content.data(), content.size(), 0);
        if (zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8) < 0) zip_source_free(src);
    }
    zip_close(za);
    return FileBytes(file);
}

TEST(FuzzTargets, ZipEntriesLandFlatInTheFolderAndHostileNamesAreRefused) {
    TempDir dir, work;
    const auto sound = Zip(dir / "a.zip", {{"study/1/image.dcm", "pixels"}, {"existing.dcm", "replaced"}});
    ASSERT_FALSE(sound.empty());
    ZipOutcome out = FuzzZip(sound.data(), sound.size(), work.path());
    EXPECT_TRUE(out.extracted);
    EXPECT_EQ(out.files, 4);   // study.zip, the link, existing.dcm (replaced) and image.dcm

    const auto hostile = Zip(dir / "b.zip", {{"../escaped.dcm", "x"}, {"/etc/absolute.dcm", "x"}, {"link.dcm", "plain"}});
    ASSERT_FALSE(hostile.empty());
    out = FuzzZip(hostile.data(), hostile.size(), work.path());
    EXPECT_FALSE(out.extracted);
    EXPECT_EQ(out.files, 3);   // study.zip, existing.dcm and link.dcm, now a plain file

    const auto junk = TextBytes(std::string("PK\x03\x04 not really a zip archive"));
    out = FuzzZip(junk.data(), junk.size(), work.path());
    EXPECT_FALSE(out.extracted);
    EXPECT_EQ(out.files, 3);
}

TEST(FuzzTargets, AnIniFileIsLoadedAndAKeyWrittenBack) {
    TempDir work;
    // The first byte (1) picks ServerType, written with the last line.
    const auto bytes = TextBytes(
        "\x01\r\n[CONFIG]\r\nServer=db.example\r\nServerType=SQLite3\r\nTempPath=@WORK@/staging\r\n"
        "MSGDVDInsert=Insert;a disc\r\nDVDSpeed=4\r\n[Other]\r\nServer=elsewhere\r\n  PostgreSQL ");
    const IniOutcome out = FuzzIni(bytes.data(), bytes.size(), work.path());
    EXPECT_TRUE(out.loaded);
    EXPECT_TRUE(out.written);

    // A staging root outside the work folder is never loaded.
    const auto outside = TextBytes("[CONFIG]\nTempPath=/\n");
    EXPECT_FALSE(FuzzIni(outside.data(), outside.size(), work.path()).loaded);
}

}  // namespace
}  // namespace velunor::fuzz
