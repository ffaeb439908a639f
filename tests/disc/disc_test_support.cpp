#include "tests/disc/disc_test_support.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

namespace velunor::test {

DiscHarness::DiscHarness() : shell(dir.path(), events) {
    shell.log.markerPath = dir / "Velunor.ready";
    shell.settings.TempPath = (dir.path() / "temp").string() + "/";
    shell.settings.MSGDVDInsert = "Please insert a blank DVD";
    std::filesystem::create_directories(dvd() / "1");
    std::filesystem::create_directories(dvd() / "2");
    std::filesystem::create_directories(images());
}

void StageStudy(const std::filesystem::path& folder, const std::string& studyUid, int count, const std::string& prefix,
                int first, std::size_t pixelBytes) {
    std::filesystem::create_directories(folder);
    const std::size_t columns = std::max<std::size_t>(1, std::min<std::size_t>(pixelBytes, 4096));
    const std::size_t rows = std::max<std::size_t>(1, (pixelBytes + columns - 1) / columns);
    for (int i = first; i < first + count; ++i) {
        DcmFileFormat file;
        DcmDataset* ds = file.getDataset();
        ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
        ds->putAndInsertString(DCM_SOPInstanceUID, (studyUid + ".9." + std::to_string(i)).c_str());
        ds->putAndInsertString(DCM_StudyInstanceUID, studyUid.c_str());
        ds->putAndInsertString(DCM_SeriesInstanceUID, (studyUid + ".1").c_str());
        ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
        ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
        ds->putAndInsertUint16(DCM_Rows, static_cast<Uint16>(rows));
        ds->putAndInsertUint16(DCM_Columns, static_cast<Uint16>(columns));
        ds->putAndInsertUint16(DCM_BitsAllocated, 8);
        ds->putAndInsertUint16(DCM_BitsStored, 8);
        ds->putAndInsertUint16(DCM_HighBit, 7);
        ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
        // Pixels that differ from file to file.
        std::vector<Uint8> pixels(rows * columns);
        unsigned x = static_cast<unsigned>(i) * 2654435761u + 1;
        for (auto& p : pixels) p = static_cast<Uint8>((x = x * 1103515245u + 12345u) >> 16);
        ds->putAndInsertUint8Array(DCM_PixelData, pixels.data(), static_cast<unsigned long>(pixels.size()));
        const auto path = folder / (prefix + std::to_string(i) + ".dcm");
        const OFCondition status = file.saveFile(path.c_str(), EXS_LittleEndianImplicit);
        if (status.bad()) throw std::runtime_error("cannot write " + path.string() + ": " + status.text());
    }
}

bool PumpUntil(DiscWriter& writer, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < end) {
        writer.Poll();
        if (done()) return true;
        // The burn runs in libburn's threads: give them time.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace velunor::test
