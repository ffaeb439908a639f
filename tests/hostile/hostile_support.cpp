#include "tests/hostile/hostile_support.hpp"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcobject.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <stdexcept>

#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor::test {

namespace fs = std::filesystem;

void WriteDicomWithUids(const fs::path& file, const std::string& studyUid, const std::string& instanceUid) {
    const fs::path plain = file.parent_path() / ".plain.dcm";
    archive::WriteImage(plain, archive::Modality::MR, archive::Syntax::ExplicitLittle, 4096,
                        std::hash<std::string>{}(instanceUid));
    DcmFileFormat format;
    if (format.loadFile(OFFilename(plain.c_str())).bad() || format.loadAllDataIntoMemory().bad())
        throw std::runtime_error("cannot read back " + plain.string());
    DcmDataset* data = format.getDataset();
    // DCMTK would drop the blanks of a UID; a hostile writer keeps them.
    const OFBool correcting = dcmEnableAutomaticInputDataCorrection.get();
    dcmEnableAutomaticInputDataCorrection.set(OFFalse);
    struct Restore {
        OFBool value;
        ~Restore() { dcmEnableAutomaticInputDataCorrection.set(value); }
    } restore{correcting};
    if (data->putAndInsertString(DCM_StudyInstanceUID, studyUid.c_str()).bad() ||
        data->putAndInsertString(DCM_SOPInstanceUID, instanceUid.c_str()).bad())
        throw std::runtime_error("cannot set the UIDs of " + file.string());
    const OFCondition saved = format.saveFile(OFFilename(file.c_str()), EXS_LittleEndianExplicit, EET_ExplicitLength,
                                              EGL_recalcGL, EPD_noChange, 0, 0, EWM_updateMeta);
    fs::remove(plain);
    if (saved.bad()) throw std::runtime_error("cannot write " + file.string() + ": " + saved.text());
}

std::string StudyUidOf(const fs::path& file) {
    DcmFileFormat format;
    if (format.loadFile(OFFilename(file.c_str())).bad()) return "";
    OFString uid;
    format.getDataset()->findAndGetOFString(DCM_StudyInstanceUID, uid);
    return uid.c_str();
}

namespace {

void Put16(std::string& s, std::uint32_t v) {
    s += static_cast<char>(v & 0xff);
    s += static_cast<char>((v >> 8) & 0xff);
}

void Put32(std::string& s, std::uint32_t v) {
    Put16(s, v & 0xffff);
    Put16(s, v >> 16);
}

}  // namespace

void WriteRawZip(const fs::path& file, const std::vector<ZipEntry>& entries) {
    std::string local, central;
    for (const ZipEntry& e : entries) {
        const auto crc = static_cast<std::uint32_t>(
            ::crc32(0L, reinterpret_cast<const Bytef*>(e.content.data()), static_cast<uInt>(e.content.size())));
        const auto size = static_cast<std::uint32_t>(e.content.size());
        const auto offset = static_cast<std::uint32_t>(local.size());
        auto common = [&](std::string& s) {
            Put16(s, 20);       // version needed
            Put16(s, 0);        // flags
            Put16(s, 0);        // stored
            Put16(s, 0);        // time
            Put16(s, 0x21);     // date: 1980-01-01
            Put32(s, crc);
            Put32(s, size);
            Put32(s, size);
            Put16(s, static_cast<std::uint32_t>(e.name.size()));
            Put16(s, 0);        // extra field length
        };
        Put32(local, 0x04034b50);
        common(local);
        local += e.name;
        local += e.content;

        Put32(central, 0x02014b50);
        Put16(central, (3u << 8) | 20);   // made on Unix
        common(central);
        Put16(central, 0);                // comment length
        Put16(central, 0);                // disk
        Put16(central, 0);                // internal attributes
        Put32(central, e.unixMode << 16);
        Put32(central, offset);
        central += e.name;
    }
    std::string end;
    Put32(end, 0x06054b50);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, static_cast<std::uint32_t>(entries.size()));
    Put16(end, static_cast<std::uint32_t>(entries.size()));
    Put32(end, static_cast<std::uint32_t>(central.size()));
    Put32(end, static_cast<std::uint32_t>(local.size()));
    Put16(end, 0);
    WriteAll(file, local + central + end);
}

std::vector<std::string> LogLines(const fs::path& file) {
    const std::string text = ReadAll(file);
    std::vector<std::string> lines;
    if (text.empty()) return lines;
    EXPECT_EQ(text.substr(text.size() - std::min<std::size_t>(2, text.size())), "\r\n") << file;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << file << ": " << line;
        lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

std::vector<fs::path> FindNamed(const fs::path& folder, const std::string& part) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec))
        if (it->path().filename().string().find(part) != std::string::npos) found.push_back(it->path());
    return found;
}

}  // namespace velunor::test
