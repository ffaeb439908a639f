#include "tests/dicom/dicom_test_support.hpp"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "dicom/toolkit.hpp"
#include "tests/support/support.hpp"

namespace fs = std::filesystem;

namespace velunor::test {

fs::path Sample(const std::string& name) { return fs::path(VELUNOR_PYDICOM_FILES) / name; }

std::string SystemPython() { return VELUNOR_SYSTEM_PYTHON; }

void Stage(const fs::path& source, const fs::path& target) {
    DicomCollection collection;
    collection.ReadFile(source);
    collection.Item(1).WriteForDisc(target, MediaProfile::Archive);
}

FileFacts Inspect(const fs::path& file, bool decodePixels) {
    InitDicomToolkit();   // decoders registered
    DcmFileFormat ff;
    const OFCondition st = ff.loadFile(OFFilename(file.c_str()));
    if (st.bad()) throw std::runtime_error("cannot load " + file.string() + ": " + st.text());
    DcmDataset& ds = *ff.getDataset();
    const auto text = [](DcmItem& item, const DcmTagKey& tag) {
        OFString v;
        item.findAndGetOFString(tag, v);
        return std::string(v.c_str());
    };
    const auto number = [&ds](const DcmTagKey& tag) {
        Uint16 v = 0;
        ds.findAndGetUint16(tag, v);
        return unsigned(v);
    };
    FileFacts f{text(*ff.getMetaInfo(), DCM_TransferSyntaxUID), text(ds, DCM_SOPClassUID), text(ds, DCM_SOPInstanceUID),
                text(ds, DCM_StudyInstanceUID), text(ds, DCM_PhotometricInterpretation), number(DCM_Rows),
                number(DCM_Columns), number(DCM_SamplesPerPixel), number(DCM_BitsAllocated), 1, {}};
    Sint32 frames = 1;
    if (ds.findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 0) f.frames = static_cast<unsigned>(frames);
    if (!decodePixels || !ds.tagExists(DCM_PixelData)) return f;
    if (ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
        throw std::runtime_error("cannot decode the pixels of " + file.string());
    const Uint8* bytes = nullptr;   // OW words as little endian bytes
    unsigned long count = 0;
    if (ds.findAndGetUint8Array(DCM_PixelData, bytes, &count).good() && bytes) f.pixels.assign(bytes, bytes + count);
    // Odd pixel counts are padded to an even length: compare what the image holds.
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

}  // namespace velunor::test
