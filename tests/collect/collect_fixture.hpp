// A small archive for the collection phase tests: study folders of real
// DICOM files and ZIP archives, and a real archive database (SQLite, or
// PostgreSQL in the Postgres/... suites: scripts/with-postgres.sh).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/run.hpp"
#include "collect/collect.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/recorded_events.hpp"
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"

namespace velunor::test {

namespace fs = std::filesystem;

// A secondary capture image of `pixelBytes` 8-bit pixels in Explicit VR Little Endian.
void WriteDicom(const fs::path& file, const std::string& studyUid, const std::string& instanceUid,
                std::size_t pixelBytes = 256);

void WriteZip(const fs::path& zip, const std::vector<std::pair<std::string, fs::path>>& entries);

// A staged file's transfer syntax and SOP Instance UID, read with DCMTK.
std::pair<std::string, std::string> ReadFacts(const fs::path& file);

// The regular files directly in `folder`: names sorted, SOP Instance UIDs.
std::vector<std::string> FileNames(const fs::path& folder);
std::multiset<std::string> Instances(const fs::path& folder);
std::vector<std::string> Lines(const fs::path& file);   // without CR LF
// Whether one of `lines` holds both `a` and `b`.
bool AnyLineHas(const std::vector<std::string>& lines, const std::string& a, const std::string& b = "");
void SparseFile(const fs::path& file, std::uintmax_t bytes);

std::string StudyUid(int study);
std::string Uid(int study, int instance);

// A fresh archive database of the given kind holding archive 1 with the
// roots `unc` and `local`, and a shell whose settings reach it all.
class CollectEnv {
public:
    explicit CollectEnv(ArchiveKind kind = ArchiveKind::Sqlite);

    TempDir tmp;
    TestArchive archive;
    fs::path programDir = tmp / "program", stagingRoot = tmp / "staging", unc = tmp / "unc", local = tmp / "local";
    RecordedEvents events;
    Shell shell{programDir, events};
    ScriptedDrive drive;
    bool unattended = false;
    bool cancel = false;

    Run NewRun() { return Run{shell, drive, unattended, &cancel}; }
    Collected Collect(const CollectLimits& limits = {}) {
        Run run = NewRun();
        return DatenKopieren(run, limits);
    }
    void AddStudy(int id, std::optional<std::string> dir1, std::optional<std::string> dir2, int archiveId = 1) {
        archive.AddStudy(id, StudyUid(id), std::move(dir1), std::move(dir2), archiveId);
    }
    std::optional<std::string> Dir2(int studyId) { return archive.StudyDirectory2(studyId); }
    // A study folder under `root` (the UNC root when empty), created.
    fs::path Folder(const std::string& dir1, const fs::path& root = {});
    // Study `studyId` of archive 1 in folder `dir1` of the UNC root, with
    // `files` DICOM files IM00001.dcm ... (instances studyId.1, .2, ...).
    fs::path AddDicomStudy(int studyId, const std::string& dir1, int files, std::optional<std::string> dir2,
                           std::size_t pixelBytes = 256);

    fs::path Staging(const std::string& sub) const { return stagingRoot / sub; }
    std::vector<std::string> ErrorLog() const { return Lines(programDir / "Logs" / "Error.log"); }
    std::vector<std::string> FileLogLines() const { return Lines(programDir / "Logs" / "FileLog.log"); }
    void SetLastMediaNr(const std::string& content) const { WriteAll(programDir / "LastMediaNr", content); }
};

// Tests that run against each database product.
class CollectBackend : public ::testing::TestWithParam<ArchiveKind> {
protected:
    void SetUp() override { env = std::make_unique<CollectEnv>(GetParam()); }
    std::unique_ptr<CollectEnv> env;
};

}  // namespace velunor::test
