#include "tests/dicom/dicom_test_support.hpp"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "dicom/toolkit.hpp"
#include "tests/support/support.hpp"

namespace fs = std::filesystem;

namespace velunor::test {

fs::path Sample(const std::string& name) { return fs::path(VELUNOR_PYDICOM_FILES) / name; }

std::string SystemPython() { return VELUNOR_SYSTEM_PYTHON; }

namespace {
std::string Str(DcmItem& item, const DcmTagKey& tag) {
    OFString v;
    item.findAndGetOFString(tag, v);
    return v.c_str();
}
unsigned Num(DcmItem& item, const DcmTagKey& tag) {
    Uint16 v = 0;
    item.findAndGetUint16(tag, v);
    return v;
}
}  // namespace

FileFacts Inspect(const fs::path& file, bool decodePixels) {
    InitDicomToolkit();   // decoders registered
    DcmFileFormat ff;
    const OFCondition st = ff.loadFile(OFFilename(file.c_str()));
    if (st.bad()) throw std::runtime_error("cannot load " + file.string() + ": " + st.text());
    FileFacts f;
    f.transferSyntax = Str(*ff.getMetaInfo(), DCM_TransferSyntaxUID);
    DcmDataset& ds = *ff.getDataset();
    f.sopClass = Str(ds, DCM_SOPClassUID);
    f.sopInstance = Str(ds, DCM_SOPInstanceUID);
    f.studyUid = Str(ds, DCM_StudyInstanceUID);
    f.photometric = Str(ds, DCM_PhotometricInterpretation);
    f.rows = Num(ds, DCM_Rows);
    f.columns = Num(ds, DCM_Columns);
    f.samples = Num(ds, DCM_SamplesPerPixel);
    f.bitsAllocated = Num(ds, DCM_BitsAllocated);
    Sint32 frames = 1;
    if (ds.findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 0) f.frames = static_cast<unsigned>(frames);
    if (!decodePixels || !ds.tagExists(DCM_PixelData)) return f;
    if (ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
        throw std::runtime_error("cannot decode the pixels of " + file.string());
    if (f.bitsAllocated > 8) {
        const Uint16* words = nullptr;
        unsigned long count = 0;
        if (ds.findAndGetUint16Array(DCM_PixelData, words, &count).good() && words) {
            f.pixels.resize(count * 2);
            std::memcpy(f.pixels.data(), words, count * 2);
        }
    } else {
        const Uint8* bytes = nullptr;
        unsigned long count = 0;
        if (ds.findAndGetUint8Array(DCM_PixelData, bytes, &count).good() && bytes)
            f.pixels.assign(bytes, bytes + count);
    }
    // Odd pixel counts are padded to an even length: compare what the
    // image holds.
    const std::size_t expected = std::size_t(f.rows) * f.columns * f.samples * f.frames * ((f.bitsAllocated + 7) / 8);
    if (expected && f.pixels.size() > expected) f.pixels.resize(expected);
    return f;
}

std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void CorruptJpegScan(const fs::path& from, const fs::path& to) {
    std::string bytes = ReadAll(from);
    // The first start-of-scan marker inside the pixel data.
    const std::size_t sos = bytes.find("\xFF\xDA");
    if (sos == std::string::npos) throw std::runtime_error(from.string() + " holds no JPEG scan");
    const std::size_t header = (static_cast<unsigned char>(bytes[sos + 2]) << 8) | static_cast<unsigned char>(bytes[sos + 3]);
    std::size_t start = sos + 2 + header + 16;
    const std::size_t end = bytes.find("\xFF\xD9", start);
    if (end == std::string::npos || end <= start + 8) throw std::runtime_error(from.string() + ": scan too short");
    const std::size_t stop = std::min(end - 4, start + 200);
    for (std::size_t i = start; i < stop; ++i) bytes[i] = static_cast<char>((i * 37) & 0x7F);
    WriteAll(to, bytes);
}

int RunCommand(const std::string& command, std::string& output) { return RunShell(command, output); }

}  // namespace velunor::test
