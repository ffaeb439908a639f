// The three places where outside input enters Velunor, each driven as one
// function over arbitrary bytes for the libFuzzer programs (VELUNOR_FUZZ)
// and the regression test. Each feeds the bytes to the real code and raises
// Broken when a promise about the result does not hold; velunor::Error is
// an outcome, any other exception a finding too. `work` is an empty folder
// of the caller's, empty again when the function returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace velunor::fuzz {

struct Broken : std::logic_error {
    using std::logic_error::logic_error;
};

struct DicomOutcome {
    bool readBuffer = false;   // DicomCollection::ReadBuffer accepted it
    bool readFile = false;     // DicomCollection::ReadFile accepted it
    bool written = false;      // WriteFile wrote it as Implicit VR Little Endian
    bool recorded = false;     // a DICOMDIR with its record was written
    std::string error;         // the last velunor::Error met
};

// A DICOM file read from memory and from a file, written as Implicit VR
// Little Endian over an existing file and recorded in a DICOMDIR. A failed
// write leaves the old target and no other file; a written file reads back
// (from memory, as verification reads a disc) with the same Study and SOP
// Instance UIDs; the DICOMDIR reads as DICOM and refers to the file.
DicomOutcome FuzzDicom(const std::uint8_t* data, std::size_t size, const std::filesystem::path& work);

struct ZipOutcome {
    bool extracted = false;    // UnzipArchive returned true
    int files = 0;             // files in the folder afterwards (the archive included)
};

// A study ZIP archive extracted beside a file and a link leading out of the
// folder: nothing outside changes, the folder holds only plain files and
// that link, and each entry whose name occurs once holds its bytes.
ZipOutcome FuzzZip(const std::uint8_t* data, std::size_t size, const std::filesystem::path& work);

struct IniOutcome {
    bool loaded = false;       // LoadConfiguration ran (TempPath inside `work`)
    bool written = false;      // WriteIniValue wrote the value
};

// velunor.ini read key by key with the program's sizes and odd ones, loaded
// when TempPath lies inside `work`, and one key written with a value from
// the input: values fit their size without line breaks or NULs, the loaded
// settings are consistent, a written value reads back (trimmed, cut to 255
// characters) with every other key kept, a refused one changes nothing.
IniOutcome FuzzIni(const std::uint8_t* data, std::size_t size, const std::filesystem::path& work);

}  // namespace velunor::fuzz
