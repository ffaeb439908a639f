#include "tests/disc/disc_test_support.hpp"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

namespace velunor::test {

void WriteDicomFile(const std::filesystem::path& path, const std::string& studyUid, const std::string& sopUid,
                    std::size_t pixelBytes, unsigned seed) {
    DcmFileFormat file;
    DcmDataset* ds = file.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, sopUid.c_str());
    ds->putAndInsertString(DCM_StudyInstanceUID, studyUid.c_str());
    ds->putAndInsertString(DCM_SeriesInstanceUID, (studyUid + ".1").c_str());
    ds->putAndInsertString(DCM_PatientID, "VELUNOR-TEST");
    ds->putAndInsertString(DCM_PatientName, "Test^Disc");
    ds->putAndInsertString(DCM_Modality, "OT");
    const std::size_t columns = std::max<std::size_t>(1, std::min<std::size_t>(pixelBytes, 512));
    const std::size_t rows = std::max<std::size_t>(1, (pixelBytes + columns - 1) / columns);
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_Rows, static_cast<Uint16>(rows));
    ds->putAndInsertUint16(DCM_Columns, static_cast<Uint16>(columns));
    ds->putAndInsertUint16(DCM_BitsAllocated, 8);
    ds->putAndInsertUint16(DCM_BitsStored, 8);
    ds->putAndInsertUint16(DCM_HighBit, 7);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    std::vector<Uint8> pixels(rows * columns);
    unsigned x = seed * 2654435761u + 1;
    for (auto& p : pixels) {
        x = x * 1103515245u + 12345u;
        p = static_cast<Uint8>(x >> 16);
    }
    ds->putAndInsertUint8Array(DCM_PixelData, pixels.data(), static_cast<unsigned long>(pixels.size()));
    const OFCondition status = file.saveFile(path.c_str(), EXS_LittleEndianImplicit);
    if (status.bad()) throw std::runtime_error("cannot write " + path.string() + ": " + status.text());
}

void RecordingWindow::RunModalNotice(const std::string& title, const std::string& text,
                                     std::chrono::milliseconds interval, const std::function<bool()>& onTick) {
    notices.push_back({title, text, interval});
    HeadlessWindow::RunModalNotice(title, text, interval, onTick);
}

DiscHarness::DiscHarness()
    : window(prompter, [this](std::chrono::milliseconds d) { sleep(d); }), shell(dir.path(), window) {
    shell.log.markerPath = dir / "Velunor.ready";
    shell.settings.TempPath = (dir.path() / "temp").string() + "/";
    shell.settings.MSGDVDInsert = "Please insert a blank DVD\r\nand confirm.";
    std::filesystem::create_directories(dvd() / "1");
    std::filesystem::create_directories(dvd() / "2");
    std::filesystem::create_directories(images());
    window.onChange = [this](Control c) {
        switch (c) {
        case Control::pbSammeln: case Control::pbDicomDir: case Control::pbDisk: case Control::pbVer: case Control::pbDB:
            barValues.emplace_back(c, window.Value(c));
            break;
        default:
            break;
        }
    };
}

std::vector<std::string> DiscHarness::ErrorLog() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadAll(dir / "Logs" / "Error.log"));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<int> DiscHarness::Bar(Control c) const {
    std::vector<int> out;
    for (const auto& [control, value] : barValues)
        if (control == c) out.push_back(value);
    return out;
}

void StageStudy(const std::filesystem::path& folder, const std::string& studyUid, int count, const std::string& prefix,
                int first, std::size_t pixelBytes) {
    std::filesystem::create_directories(folder);
    for (int i = first; i < first + count; ++i)
        WriteDicomFile(folder / (prefix + std::to_string(i) + ".dcm"), studyUid, studyUid + ".9." + std::to_string(i),
                       pixelBytes, static_cast<unsigned>(i));
}

bool PumpUntil(DiscWriter& writer, const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        writer.Poll();
        if (done()) return true;
        // The burn runs in libburn's threads: give them time.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace velunor::test
