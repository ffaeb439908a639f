#include "tests/collect/collect_fixture.hpp"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "app/settings.hpp"

namespace velunor::test {

void WriteDicom(const fs::path& file, const std::string& studyUid, const std::string& instanceUid,
                std::size_t pixelBytes) {
    if (pixelBytes == 0) pixelBytes = 1;
    const Uint16 columns = static_cast<Uint16>(std::min<std::size_t>(pixelBytes, 1000));
    const Uint16 rows = static_cast<Uint16>((pixelBytes + columns - 1) / columns);
    std::vector<Uint8> pixels(static_cast<std::size_t>(rows) * columns);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<Uint8>(i * 7 + instanceUid.size());

    DcmFileFormat format;
    DcmDataset* ds = format.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, instanceUid.c_str());
    ds->putAndInsertString(DCM_StudyInstanceUID, studyUid.c_str());
    ds->putAndInsertString(DCM_SeriesInstanceUID, (studyUid + ".1").c_str());
    ds->putAndInsertString(DCM_PatientName, "Test^Patient");
    ds->putAndInsertString(DCM_PatientID, "P1");
    ds->putAndInsertString(DCM_Modality, "OT");
    ds->putAndInsertString(DCM_StudyDate, "20260101");
    ds->putAndInsertString(DCM_StudyID, "1");
    ds->putAndInsertString(DCM_SeriesNumber, "1");
    ds->putAndInsertString(DCM_InstanceNumber, "1");
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_Rows, rows);
    ds->putAndInsertUint16(DCM_Columns, columns);
    ds->putAndInsertUint16(DCM_BitsAllocated, 8);
    ds->putAndInsertUint16(DCM_BitsStored, 8);
    ds->putAndInsertUint16(DCM_HighBit, 7);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    ds->putAndInsertUint8Array(DCM_PixelData, pixels.data(), pixels.size());
    OFCondition status = format.saveFile(file.c_str(), EXS_LittleEndianExplicit);
    if (status.bad()) throw std::runtime_error("cannot write " + file.string() + ": " + status.text());
}

void WriteZip(const fs::path& zipPath, const std::vector<std::pair<std::string, fs::path>>& entries) {
    int err = 0;
    zip_t* archive = zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!archive) throw std::runtime_error("cannot create " + zipPath.string());
    for (const auto& [name, source] : entries) {
        zip_source_t* src = zip_source_file(archive, source.c_str(), 0, -1);
        if (!src || zip_file_add(archive, name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
            if (src) zip_source_free(src);
            zip_discard(archive);
            throw std::runtime_error("cannot add " + name + " to " + zipPath.string());
        }
    }
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        throw std::runtime_error("cannot write " + zipPath.string());
    }
}

DicomFacts ReadFacts(const fs::path& file) {
    DcmFileFormat format;
    OFCondition status = format.loadFile(file.c_str());
    if (status.bad()) throw std::runtime_error("cannot read " + file.string() + ": " + status.text());
    DicomFacts facts;
    OFString value;
    if (format.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, value).good())
        facts.transferSyntax = value.c_str();
    if (format.getDataset()->findAndGetOFString(DCM_StudyInstanceUID, value).good()) facts.studyUid = value.c_str();
    if (format.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, value).good()) facts.instanceUid = value.c_str();
    return facts;
}

std::vector<std::string> FileNames(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file()) names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Lines(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void SparseFile(const fs::path& file, std::uintmax_t bytes) {
    { std::ofstream(file, std::ios::binary); }
    fs::resize_file(file, bytes);
}

std::multiset<std::string> Instances(const fs::path& folder) {
    std::multiset<std::string> out;
    for (const auto& name : FileNames(folder)) out.insert(ReadFacts(folder / name).instanceUid);
    return out;
}

bool AnyLineHas(const std::vector<std::string>& lines, const std::string& a, const std::string& b) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(a) != std::string::npos && line.find(b) != std::string::npos;
    });
}

std::string StudyUid(int study) { return "1.2.826.0.1.3680043.9.7777." + std::to_string(study); }
std::string Uid(int study, int instance) { return StudyUid(study) + "." + std::to_string(instance); }

CollectEnv::CollectEnv(ArchiveKind kind)
    : archive(kind, tmp.path()),
      programDir(tmp / "program"),
      stagingRoot(tmp / "staging"),
      unc(tmp / "unc"),
      local(tmp / "local"),
      shell(programDir, events) {
    for (const fs::path* folder : {&programDir, &unc, &local}) fs::create_directories(*folder);
    Settings& s = shell.settings;
    s.ServerType = archive.serverType();
    s.Server = archive.server();
    s.ConnectionString = archive.connectionString();
    s.TempPath = stagingRoot.string() + "/";
    shell.log.markerPath = tmp / "Velunor.ready";
    archive.AddArchive(1, unc.string(), local.string());
}

Collected CollectEnv::Collect(const CollectLimits& limits) {
    Run run{shell, drive, unattended, &cancel};
    return DatenKopieren(run, limits);
}

bool CollectEnv::Decide(bool result, bool gateStopped, std::string& why) {
    Run run{shell, drive, unattended, &cancel};
    return DecideBurn(run, result, gateStopped, why);
}

void CollectEnv::AddStudy(int studyId, std::optional<std::string> dir1, std::optional<std::string> dir2,
                          int archiveId) {
    archive.AddStudy(studyId, StudyUid(studyId), std::move(dir1), std::move(dir2), archiveId);
}

fs::path CollectEnv::Folder(const std::string& dir1, const fs::path& root) {
    fs::path folder = (root.empty() ? unc : root) / dir1;
    fs::create_directories(folder);
    return folder;
}

fs::path CollectEnv::AddDicomStudy(int studyId, const std::string& dir1, int files, std::optional<std::string> dir2,
                                   std::size_t pixelBytes) {
    fs::path folder = Folder(dir1);
    for (int i = 1; i <= files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IM%05d.dcm", i);
        WriteDicom(folder / name, StudyUid(studyId), Uid(studyId, i), pixelBytes);
    }
    AddStudy(studyId, dir1, std::move(dir2));
    return folder;
}

}  // namespace velunor::test
