// Helpers for the hostile-input tests: DICOM files carrying chosen UIDs, ZIP
// archives with chosen entry names and types, and checks of the log files'
// one-line form.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velunor::test {

// Writes a small MR image to `file` whose Study Instance UID is `studyUid`
// (any text, as a hostile or broken writer may store it) and whose SOP
// Instance UID is `instanceUid`. Throws std::runtime_error.
void WriteDicomWithUids(const std::filesystem::path& file, const std::string& studyUid,
                        const std::string& instanceUid);

// The Study Instance UID of a DICOM file, read with DCMTK directly ("" when
// it cannot be read).
std::string StudyUidOf(const std::filesystem::path& file);

// One entry of a ZIP archive as it is stored: any name, content, and the
// Unix file type and rights recorded for it (0100644 a plain file, 0120777
// a symbolic link whose content is its target).
struct ZipEntry {
    std::string name;
    std::string content;
    std::uint32_t unixMode = 0100644;
};

// Writes a ZIP archive with exactly these entries (stored, not compressed),
// byte by byte, so that names no archiver would write are kept as given.
void WriteRawZip(const std::filesystem::path& file, const std::vector<ZipEntry>& entries);

// The lines of a log file. Checks (with GoogleTest) that the file ends in
// CR LF and that no line holds a CR or LF of its own.
std::vector<std::string> LogLines(const std::filesystem::path& file);

// Every path below `folder` (recursively) whose file name contains `part`.
std::vector<std::filesystem::path> FindNamed(const std::filesystem::path& folder, const std::string& part);

}  // namespace velunor::test
