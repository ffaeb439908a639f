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
    pixelBytes = std::max<std::size_t>(pixelBytes, 1);
    const Uint16 columns = static_cast<Uint16>(std::min<std::size_t>(pixelBytes, 1000));
    const Uint16 rows = static_cast<Uint16>((pixelBytes + columns - 1) / columns);
    std::vector<Uint8> pixels(static_cast<std::size_t>(rows) * columns);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<Uint8>(i * 7 + instanceUid.size());

    DcmFileFormat format;
    DcmDataset* ds = format.getDataset();
    const std::pair<DcmTagKey, std::string> texts[] = {
        {DCM_SOPClassUID, UID_SecondaryCaptureImageStorage}, {DCM_SOPInstanceUID, instanceUid},
        {DCM_StudyInstanceUID, studyUid}, {DCM_SeriesInstanceUID, studyUid + ".1"},
        {DCM_PhotometricInterpretation, "MONOCHROME2"}};
    for (const auto& [tag, value] : texts) ds->putAndInsertString(tag, value.c_str());
    const std::pair<DcmTagKey, Uint16> numbers[] = {{DCM_SamplesPerPixel, 1}, {DCM_Rows, rows}, {DCM_Columns, columns},
        {DCM_BitsAllocated, 8}, {DCM_BitsStored, 8}, {DCM_HighBit, 7}, {DCM_PixelRepresentation, 0}};
    for (const auto& [tag, value] : numbers) ds->putAndInsertUint16(tag, value);
    ds->putAndInsertUint8Array(DCM_PixelData, pixels.data(), pixels.size());
    OFCondition status = format.saveFile(file.c_str(), EXS_LittleEndianExplicit);
    if (status.bad()) throw std::runtime_error("cannot write " + file.string() + ": " + status.text());
}

void WriteZip(const fs::path& zipPath, const std::vector<std::pair<std::string, fs::path>>& entries) {
    int err = 0;
    zip_t* archive = zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    for (const auto& [name, source] : entries) {
        zip_source_t* src = archive ? zip_source_file(archive, source.c_str(), 0, -1) : nullptr;
        if (!src || zip_file_add(archive, name.c_str(), src, ZIP_FL_ENC_UTF_8) < 0)
            throw std::runtime_error("cannot add " + name + " to " + zipPath.string());
    }
    if (!archive || zip_close(archive) != 0) throw std::runtime_error("cannot write " + zipPath.string());
}

std::pair<std::string, std::string> ReadFacts(const fs::path& file) {
    DcmFileFormat format;
    OFCondition status = format.loadFile(file.c_str());
    if (status.bad()) throw std::runtime_error("cannot read " + file.string() + ": " + status.text());
    OFString syntax, instance;
    format.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, syntax);
    format.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, instance);
    return {syntax.c_str(), instance.c_str()};
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
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
    return lines;
}

void SparseFile(const fs::path& file, std::uintmax_t bytes) {
    { std::ofstream(file, std::ios::binary); }
    fs::resize_file(file, bytes);
}

std::multiset<std::string> Instances(const fs::path& folder) {
    std::multiset<std::string> out;
    for (const auto& name : FileNames(folder)) out.insert(ReadFacts(folder / name).second);
    return out;
}

bool AnyLineHas(const std::vector<std::string>& lines, const std::string& a, const std::string& b) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(a) != std::string::npos && line.find(b) != std::string::npos;
    });
}

std::string StudyUid(int study) { return "1.2.826.0.1.3680043.9.7777." + std::to_string(study); }
std::string Uid(int study, int instance) { return StudyUid(study) + "." + std::to_string(instance); }

CollectEnv::CollectEnv(ArchiveKind kind) : archive(kind, tmp.path()) {
    for (const fs::path* folder : {&programDir, &unc, &local}) fs::create_directories(*folder);
    Settings& s = shell.settings;
    s.ServerType = archive.serverType();
    s.Server = archive.server();
    s.ConnectionString = archive.connectionString();
    s.TempPath = stagingRoot.string() + "/";
    shell.log.markerPath = tmp / "Velunor.ready";
    archive.AddArchive(1, unc.string(), local.string());
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

INSTANTIATE_TEST_SUITE_P(Sqlite, CollectBackend, ::testing::Values(ArchiveKind::Sqlite));
INSTANTIATE_TEST_SUITE_P(Postgres, CollectBackend, ::testing::Values(ArchiveKind::Postgres));

}  // namespace velunor::test
