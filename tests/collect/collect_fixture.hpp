// A small archive for the collection phase tests: a program folder, a
// staging root, archive roots with study folders of real DICOM files and ZIP
// archives, and a real archive database (SQLite, or PostgreSQL when the
// tests run beside a server).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/run.hpp"
#include "bookkeeping/database.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"

namespace velunor::test {

namespace fs = std::filesystem;

// Writes a DICOM file in Explicit VR Little Endian: a secondary capture
// image of `pixelBytes` 8-bit pixels (at least 1) in study `studyUid`.
void WriteDicom(const fs::path& file, const std::string& studyUid, const std::string& instanceUid,
                std::size_t pixelBytes = 256);

// Writes a ZIP archive holding each (entry name, file on disk) pair.
void WriteZip(const fs::path& zip, const std::vector<std::pair<std::string, fs::path>>& entries);

// What a staged file holds, read with DCMTK.
struct DicomFacts {
    std::string transferSyntax;   // from the file meta information
    std::string studyUid;
    std::string instanceUid;
};
DicomFacts ReadFacts(const fs::path& file);

// Names of the regular files directly in `folder`, sorted.
std::vector<std::string> FileNames(const fs::path& folder);

// Lines of a text file without their CR LF ("" lines kept; none when missing).
std::vector<std::string> Lines(const fs::path& file);

// Creates a sparse file of exactly `bytes` bytes.
void SparseFile(const fs::path& file, std::uintmax_t bytes);

// The test environment: a fresh archive database of the given kind (a
// PostgreSQL one needs the server of scripts/with-postgres.sh), its archive 1
// with the roots `unc` and `local`, and a Run whose settings reach it all.
class CollectEnv {
public:
    explicit CollectEnv(ArchiveKind kind = ArchiveKind::Sqlite);
    ~CollectEnv();

    TempDir tmp;
    TestArchive archive;
    fs::path programDir, stagingRoot, unc, local;
    ScriptedPrompter prompter;
    HeadlessWindow window;
    Shell shell;
    RunState state;
    ScriptedDrive drive;
    Run run;
    Database* db;   // the test's own connection

    void AddArchive(int archiveId, std::optional<std::string> archiveUNC, std::optional<std::string> archivePath);
    void AddStudy(int studyId, std::optional<std::string> dir1, std::optional<std::string> dir2,
                  int archiveId = 1, const std::string& studyUid = "");
    std::optional<std::string> Dir2(int studyId);

    // A study folder under the UNC root (created), and a study of `files`
    // DICOM files named IM00001.dcm ... in it, registered as study `studyId`
    // of archive 1. Returns the folder.
    fs::path Folder(const std::string& dir1, const fs::path& root = {});
    fs::path AddDicomStudy(int studyId, const std::string& dir1, int files, std::optional<std::string> dir2 = {},
                           std::size_t pixelBytes = 256);
    static std::string StudyUid(int studyId);

    fs::path Staging(const std::string& sub) const { return stagingRoot / sub; }
    std::vector<std::string> ErrorLog() const { return Lines(programDir / "Logs" / "Error.log"); }
    std::vector<std::string> FileLogLines() const { return Lines(programDir / "Logs" / "FileLog.log"); }
    std::vector<std::string> DebugLogLines() const { return Lines(programDir / "Logs" / "Debug.log"); }
    void SetLastMediaNr(const std::string& content) const;

    static constexpr const char* kStamp = "06.12.2026 10:00:00";
};

}  // namespace velunor::test
