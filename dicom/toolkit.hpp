// The DICOM toolkit: reading DICOM files, re-writing them in another
// transfer syntax, and building a DICOMDIR. Implemented over DCMTK (GDCM
// decodes JPEG 2000).
//
// Every failure raises velunor::Error carrying a number (the DCMTK status
// code, or 0 for a condition of our own) and a text with DCMTK's message.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace velunor {

inline constexpr const char* kImplicitVRLittleEndian = "1.2.840.10008.1.2";

// Checks once per process that the DICOM data dictionary is loaded and that
// the decoders are registered. Throws velunor::Error when the dictionary is
// missing: without it files are misread silently.
void InitDicomToolkit();

class DicomDataset {
public:
    DicomDataset();
    ~DicomDataset();
    DicomDataset(DicomDataset&&) noexcept;
    DicomDataset& operator=(DicomDataset&&) noexcept;

    // Writes the dataset to `path` in `transferSyntaxUid`, through a
    // temporary name in the same folder renamed on success; never writes
    // onto the file it was read from; leaves no partial file on failure.
    // `withMeta` writes the file meta information (always true here).
    void WriteFile(const std::filesystem::path& path, bool withMeta, const std::string& transferSyntaxUid);
    std::string StudyUID() const;      // Study Instance UID (0020,000D)
    std::string DirEntryKey() const;   // handed unchanged to DicomDirBuilder::AddFile

    struct Impl;
    std::unique_ptr<Impl> impl;
};

class DicomCollection {
public:
    DicomCollection();
    ~DicomCollection();
    void Clear();
    // Parses one file and appends its dataset.
    void ReadFile(const std::filesystem::path& path);
    // Parses a file held in memory (a file read back from a disc); `name`
    // is used in messages only.
    void ReadBuffer(const std::vector<std::uint8_t>& bytes, const std::string& name);
    // One-based.
    DicomDataset& Item(int index);
    int Count() const;

private:
    std::vector<DicomDataset> items_;
};

class DicomDirBuilder {
public:
    DicomDirBuilder();
    ~DicomDirBuilder();
    // Adds a record for the file of `dataset`, whose path relative to the
    // disc root is `relativePath` ("1/" or "2/" + the staged name).
    void AddFile(const DicomDataset& dataset, const std::string& relativePath,
                 const std::string& dirEntryKey, int flags);
    // Writes the DICOMDIR with every added record to `path`.
    void WriteDicomDir(const std::filesystem::path& path);

    struct Impl;
private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace velunor
