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
    for (const char* folder : {"temp/DVD/1", "temp/DVD/2", "images"}) std::filesystem::create_directories(dir / folder);
}

void StageStudy(const std::filesystem::path& folder, const std::string& studyUid, int count, const std::string& prefix,
                int first, std::size_t pixelBytes) {
    std::filesystem::create_directories(folder);
    const auto columns = static_cast<Uint16>(std::max<std::size_t>(1, std::min<std::size_t>(pixelBytes, 4096)));
    const auto rows = static_cast<Uint16>(std::max<std::size_t>(1, (pixelBytes + columns - 1) / columns));
    for (int i = first; i < first + count; ++i) {
        DcmFileFormat file;
        DcmDataset* ds = file.getDataset();
        const std::pair<DcmTagKey, std::string> texts[] = {
            {DCM_SOPClassUID, UID_SecondaryCaptureImageStorage}, {DCM_StudyInstanceUID, studyUid},
            {DCM_SOPInstanceUID, studyUid + ".9." + std::to_string(i)}, {DCM_SeriesInstanceUID, studyUid + ".1"},
            {DCM_PhotometricInterpretation, "MONOCHROME2"}};
        for (const auto& [tag, value] : texts) ds->putAndInsertString(tag, value.c_str());
        const std::pair<DcmTagKey, Uint16> numbers[] = {{DCM_SamplesPerPixel, 1}, {DCM_Rows, rows},
            {DCM_Columns, columns}, {DCM_BitsAllocated, 8}, {DCM_BitsStored, 8}, {DCM_HighBit, 7},
            {DCM_PixelRepresentation, 0}};
        for (const auto& [tag, value] : numbers) ds->putAndInsertUint16(tag, value);
        std::vector<Uint8> pixels(std::size_t(rows) * columns);
        unsigned x = static_cast<unsigned>(i) * 2654435761u + 1;
        for (auto& p : pixels) p = static_cast<Uint8>((x = x * 1103515245u + 12345u) >> 16);
        ds->putAndInsertUint8Array(DCM_PixelData, pixels.data(), static_cast<unsigned long>(pixels.size()));
        const auto path = folder / (prefix + std::to_string(i) + ".dcm");
        const OFCondition status = file.saveFile(path.c_str(), EXS_LittleEndianImplicit);
        if (status.bad()) throw std::runtime_error("cannot write " + path.string() + ": " + status.text());
    }
}

bool PumpUntil(DiscWriter& writer, const std::function<bool()>& done) {
    using Clock = std::chrono::steady_clock;
    for (const auto end = Clock::now() + std::chrono::minutes(2); Clock::now() < end;) {
        writer.Poll();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));   // the burn runs in libburn's threads
    }
    return false;
}

}  // namespace velunor::test
