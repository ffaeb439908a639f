// The three places where outside input enters Velunor, each driven as one
// function over arbitrary bytes: a DICOM file through the toolkit, a study
// ZIP archive through UnzipArchive, and velunor.ini through the INI reader,
// LoadConfiguration and the INI writer.
//
// The libFuzzer programs (fuzz_dicom, fuzz_zip, fuzz_ini; built with
// VELUNOR_FUZZ) and the regression test of the normal build call the same
// functions. Each one feeds the bytes to the real code and then checks what
// the code promises about the result; a broken promise raises Broken. The
// errors the code is documented to raise (velunor::Error) are expected
// outcomes, not findings; any other exception escapes to the caller, which
// treats it as a finding too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace velunor::fuzz {

// A promise of the code under test that did not hold for an input.
struct Broken : std::logic_error {
    using std::logic_error::logic_error;
};

// How far a DICOM input got.
struct DicomOutcome {
    bool readBuffer = false;   // DicomCollection::ReadBuffer accepted it
    bool readFile = false;     // DicomCollection::ReadFile accepted it
    bool written = false;      // WriteFile wrote it as Implicit VR Little Endian
    bool recorded = false;     // a DICOMDIR with its record was written
    std::string error;         // the last velunor::Error met, for messages
};

// `work` is an empty folder owned by the caller; it is empty again when the
// function returns (also when it throws).
//
// DICOM: the bytes are parsed from memory (ReadBuffer) and from a file
// (ReadFile); a file that ReadFile accepts is written as Implicit VR Little
// Endian over an existing file, read back from memory and from the file, and
// recorded in a DICOMDIR. Checks: a failed write leaves the old target and
// no other file; a written file is read back from memory as verification
// reads a disc and carries the same Study Instance UID and SOP Instance UID;
// a written DICOMDIR reads as DICOM and refers to the file by its path.
DicomOutcome FuzzDicom(const std::uint8_t* data, std::size_t size, const std::filesystem::path& work);

// How a ZIP input ended.
struct ZipOutcome {
    bool extracted = false;    // UnzipArchive returned true
    int files = 0;             // files in the folder afterwards (the archive included)
};

// ZIP: the bytes are the archive "study.zip" in a folder that also holds a
// file and a symbolic link pointing out of the folder; UnzipArchive
// extracts it there. Checks: nothing outside the folder changes (the
// link's target included), the folder holds only plain files and that
// link (never a folder, another link or a leftover temporary file), and
// after a successful extraction each entry whose name occurs once holds
// exactly the bytes libzip reads for it.
ZipOutcome FuzzZip(const std::uint8_t* data, std::size_t size, const std::filesystem::path& work);

// How an INI input ended.
struct IniOutcome {
    bool loaded = false;       // LoadConfiguration ran (TempPath inside `work`)
    bool written = false;      // WriteIniValue wrote the value
};

// INI: the bytes are velunor.ini. Every key is read with the sizes the
// program uses and with odd ones; LoadConfiguration runs when the file's
// TempPath lies inside `work` (it creates the staging tree there); then one
// key is written with a value taken from the input. Checks: values are
// never longer than the size allows and hold no line break or NUL; the
// loaded settings are consistent (TempPath ends in "/", the message texts
// hold no ";", the connection string matches); a written value reads back
// as written (blanks around it dropped, cut to 255 characters) while every
// other key keeps its value, and a refused value leaves the file as it was.
IniOutcome FuzzIni(const std::uint8_t* data, std::size_t size, const std::filesystem::path& work);

}  // namespace velunor::fuzz
