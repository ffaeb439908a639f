// The fuzz targets in the normal build: every input kept under regressions/
// is replayed, and sound inputs pass every stage (so the checks look at real results).
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <map>

#include "dicom/toolkit.hpp"
#include "tests/fuzz/fuzz_targets.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor::fuzz {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Runs `target` on every input in regressions/<name>/: no promise may break, nothing
// be left in the work folder; `check` looks at how each ended. Returns how many ran.
template <class Target, class Check>
std::size_t Replay(const std::string& name, Target target, Check check) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(fs::path(VELUNOR_FUZZ_REGRESSIONS) / name))
        if (e.is_regular_file() && e.path().filename() != "README") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        TempDir work;
        const auto bytes = Bytes(test::ReadAll(file));
        try {
            check(file, target(bytes.data(), bytes.size(), work.path()));
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
        EXPECT_TRUE(fs::is_empty(work.path()));
    }
    return files.size();
}

TEST(FuzzRegressions, EveryKeptInputKeepsEveryPromiseAndEndsAsItShould) {
    // How kept DICOM inputs end: written (nullptr), or refused with their
    // reason. They once gave a UID as a hex dump, staged files that could
    // not be read again or named Explicit VR, GDCM reads or writes past its
    // buffers or assertions, a sequence unreadable in Implicit VR.
    const std::map<std::string, const char*> ends = {
        {"study-uid-under-broken-vr-big-endian", nullptr},
        {"study-uid-under-broken-vr-with-form-feed", nullptr},
        {"foreign-element-in-meta-header", nullptr},
        {"transfer-syntax-uid-under-broken-vr", nullptr},
        {"jpeg2000-marker-segment-overruns-fragment", "JPEG 2000 pixel data is damaged"},
        {"jpeg2000-frame-increment-pointer-not-at", "JPEG 2000"},
        {"jpeg2000-without-photometric-interpretation", "pixel description cannot be right"},
        {"jpeg2000-image-larger-than-described", "512 x 65281 pixels where the image describes 512 x 512"},
        {"sequence-stored-as-text", "(300a,0010) is a sequence, but the file stores it as CS"},
    };
    std::size_t known = 0, kept = 0;
    auto dicom = [&](const fs::path& file, const DicomOutcome& out) {
        const auto end = ends.find(file.filename().string());
        if (end == ends.end()) return;
        ++known;
        EXPECT_EQ(out.written, !end->second) << out.error;
        EXPECT_NE(out.error.find(end->second ? end->second : ""), std::string::npos) << out.error;
    };
    const auto any = [](const fs::path&, const auto&) {};
    const std::size_t replayed =
        Replay("dicom", FuzzDicom, dicom) + Replay("zip", FuzzZip, any) + Replay("ini", FuzzIni, any);
    EXPECT_EQ(known, ends.size());
    for (const auto& e : fs::recursive_directory_iterator(VELUNOR_FUZZ_REGRESSIONS))
        kept += e.is_regular_file() && e.path().filename() != "README";
    EXPECT_EQ(replayed, kept) << "every file under regressions/ but the READMEs is replayed";
}

TEST(FuzzRegressions, ImplausiblePixelDescriptionsNeverReachGdcm) {
    // Changes of a sound JPEG 2000 file that made GDCM assert, misread, or
    // (the last three) write past the output it sized by the attributes.
    TempDir dir;
    archive::WriteImage(dir / "sound.dcm", archive::Modality::MR, archive::Syntax::Jpeg2000Lossless, 4096, 3);
    DcmFileFormat sound;
    ASSERT_TRUE(sound.loadFile(OFFilename((dir / "sound.dcm").c_str())).good());
    ASSERT_TRUE(sound.loadAllDataIntoMemory().good());
    Uint16 rows = 0;
    ASSERT_TRUE(sound.getDataset()->findAndGetUint16(DCM_Rows, rows).good());
    const struct {
        std::vector<std::pair<DcmTagKey, std::string>> set;   // "" removes the element
        const char* refusal = "pixel description cannot be right";
    } changes[] = {
        {{{DCM_SamplesPerPixel, "0"}}}, {{{DCM_SamplesPerPixel, "5"}}}, {{{DCM_BitsAllocated, "0"}}},
        {{{DCM_BitsStored, "40"}}}, {{{DCM_HighBit, "70"}}}, {{{DCM_Rows, "0"}}}, {{{DCM_PixelRepresentation, "7"}}},
        {{{DCM_PhotometricInterpretation, "RGB"}}}, {{{DCM_PhotometricInterpretation, "GREEN"}}},
        {{{DCM_PhotometricInterpretation, ""}}},
        {{{DCM_SamplesPerPixel, "3"}, {DCM_PhotometricInterpretation, "RGB"}, {DCM_PlanarConfiguration, "0"}},
         "1 components where the image describes 3 samples"},
        {{{DCM_Rows, std::to_string(rows - 1)}}, "pixels where the image describes"},
        {{{DCM_BitsAllocated, "8"}, {DCM_BitsStored, "8"}, {DCM_HighBit, "7"}},
         "-bit samples where the image allocates 8 bits"},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(DcmTag(change.set[0].first).getTagName() + (" " + change.set[0].second));
        DcmFileFormat changed(sound);
        for (const auto& [tag, value] : change.set)
            ASSERT_TRUE((value.empty() ? changed.getDataset()->findAndDeleteElement(tag)
                                       : changed.getDataset()->putAndInsertString(tag, value.c_str()))
                            .good());
        ASSERT_TRUE(changed.saveFile(OFFilename((dir / "changed.dcm").c_str()), EXS_Unknown).good());
        DicomCollection collection;
        collection.ReadFile(dir / "changed.dcm");
        const std::string error = test::ErrorText(
            [&] { collection.Item(1).WriteFile(dir / "staged.dcm", true, kImplicitVRLittleEndian); });
        EXPECT_NE(error.find(change.refusal), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(dir / "staged.dcm"));
    }
    DicomCollection collection;
    collection.ReadFile(dir / "sound.dcm");
    EXPECT_NO_THROW(collection.Item(1).WriteFile(dir / "staged.dcm", true, kImplicitVRLittleEndian));
}

TEST(FuzzTargets, SoundInputsPassEveryStageAndPlainlyBrokenOnesEndEarly) {
    TempDir dir, work;
    for (auto syntax : {archive::Syntax::ExplicitBig, archive::Syntax::JpegLsLossless, archive::Syntax::Rle}) {
        SCOPED_TRACE(archive::Info(syntax).name);
        archive::WriteImage(dir / "in.dcm", archive::Modality::MR, syntax, 4096, 7);
        const auto bytes = Bytes(test::ReadAll(dir / "in.dcm"));
        const DicomOutcome out = FuzzDicom(bytes.data(), bytes.size(), work.path());
        EXPECT_TRUE(out.readBuffer && out.readFile && out.written && out.recorded) << out.error;
        // Cut short inside the pixel data, the same file is never written.
        EXPECT_FALSE(FuzzDicom(bytes.data(), bytes.size() - 1000, work.path()).written);
    }
    EXPECT_FALSE(FuzzDicom(nullptr, 0, work.path()).readBuffer);

    // ZIP: entries land beside the planted file and link; names leading out are refused.
    auto zip = [&](const std::vector<std::pair<std::string, std::string>>& entries) {
        int err = 0;
        zip_t* za = zip_open((dir / "a.zip").c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
        for (const auto& [name, content] : entries)
            zip_file_add(za, name.c_str(), zip_source_buffer(za, content.data(), content.size(), 0), ZIP_FL_ENC_UTF_8);
        EXPECT_EQ(zip_close(za), 0);
        return Bytes(test::ReadAll(dir / "a.zip"));
    };
    auto bytes = zip({{"study/1/image.dcm", "pixels"}, {"existing.dcm", "replaced"}});
    const ZipOutcome out = FuzzZip(bytes.data(), bytes.size(), work.path());
    EXPECT_TRUE(out.extracted);
    EXPECT_EQ(out.files, 4);  // study.zip, the link, existing.dcm (replaced) and image.dcm
    bytes = zip({{"../escaped.dcm", "x"}, {"link.dcm", "plain"}});
    EXPECT_EQ(FuzzZip(bytes.data(), bytes.size(), work.path()).files, 3);  // link.dcm now a plain file

    // An INI file: loaded and a key written back (the first byte picks the
    // key); a staging root outside the work folder is never loaded.
    bytes = Bytes("\x01\r\n[CONFIG]\r\nServer=db.example\r\nServerType=SQLite3\r\nTempPath=@WORK@/staging\r\n"
                  "MSGDVDInsert=Insert;a disc\r\nDVDSpeed=4\r\n[Other]\r\nServer=elsewhere\r\n  PostgreSQL ");
    const IniOutcome ini = FuzzIni(bytes.data(), bytes.size(), work.path());
    EXPECT_TRUE(ini.loaded && ini.written);
    bytes = Bytes("[CONFIG]\nTempPath=/\n");
    EXPECT_FALSE(FuzzIni(bytes.data(), bytes.size(), work.path()).loaded);
    EXPECT_TRUE(fs::is_empty(work.path()));
}

}  // namespace
}  // namespace velunor::fuzz
