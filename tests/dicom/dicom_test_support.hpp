// Helpers for the DICOM tests: sample files, the staging copy's write,
// looking into written files with DCMTK directly, and folder listings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velunor::test {

// A file of python3-pydicom's sample set, and its interpreter (the system's python3).
std::filesystem::path Sample(const std::string& name);
std::string SystemPython();

// Reads `source` and writes it to `target` as the staging copy does for an archive disc.
void Stage(const std::filesystem::path& source, const std::filesystem::path& target);

// What a written DICOM file holds, read with DCMTK directly.
struct FileFacts {
    std::string transferSyntax;     // from the meta information
    std::string sopClass, sopInstance, studyUid, photometric;
    unsigned rows = 0, columns = 0, samples = 0, bitsAllocated = 0, frames = 1;
    // Pixel values decoded to little endian bytes, empty when the file has no pixel data.
    std::vector<std::uint8_t> pixels;
};
FileFacts Inspect(const std::filesystem::path& file, bool decodePixels = true);

// Names of every entry in `folder` (files, links and folders), sorted.
std::vector<std::string> Entries(const std::filesystem::path& folder);

// Copies `from` to `to` with bytes of the first JPEG scan overwritten, so
// that the JPEG decoder meets a damaged entropy-coded segment.
void CorruptJpegScan(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace velunor::test
