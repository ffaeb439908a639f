// The DICOM toolkit: reading DICOM files, re-writing them in another
// transfer syntax, and building a DICOMDIR. Implemented over DCMTK (GDCM
// decodes JPEG 2000, for which DCMTK has no free codec).
//
// Every failure raises velunor::Error carrying a number (the DCMTK status
// code, errno for a file-system failure, or 0 for a condition of our own)
// and a text with DCMTK's message and the file concerned.
//
// Each object of this header is used by one thread at a time; different
// objects may be used on different threads at once (ReencodeQueue does):
// they share no state apart from DCMTK's process-wide codec registry and
// data dictionary, which DCMTK guards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/error.hpp"
#include "app/settings.hpp"

namespace velunor {

// Raised by DicomDataset::WriteFile when the new file's bytes did not reach
// its folder: creating, writing, flushing, closing or renaming the new file
// failed (a full volume, a quota, a file size limit, a read-only folder),
// whatever errno that failure carried, if any. The file read is not at
// fault. number() is the errno when there was one, else EIO.
class TargetWriteError : public Error {
public:
    using Error::Error;
};

inline constexpr const char* kImplicitVRLittleEndian = "1.2.840.10008.1.2";
inline constexpr const char* kExplicitVRLittleEndian = "1.2.840.10008.1.2.1";

// The compressed transfer syntaxes a general-purpose DVD with JPEG may hold
// besides Explicit VR Little Endian: JPEG baseline (process 1), extended
// (processes 2 and 4) and lossless (process 14, selection value 1).
inline const std::vector<std::string> kGeneralPurposeDvdJpegSyntaxes = {
    "1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.51", "1.2.840.10008.1.2.4.70"};

// Checks that the DICOM data dictionary is loaded and, once per process,
// registers the JPEG, JPEG-LS and RLE decoders, lowers DCMTK's console
// logging to warnings and routes decoder warnings to the toolkit (a corrupt
// JPEG stream shows only as a warning).
// Throws velunor::Error (number 0) when the dictionary is missing: without
// it Implicit VR files are misread without any error, so the program must
// not go on. Cheap when called again; the other functions of this header
// call it themselves.
void InitDicomToolkit();

class DicomDataset {
public:
    DicomDataset();
    ~DicomDataset();
    DicomDataset(DicomDataset&&) noexcept;
    DicomDataset& operator=(DicomDataset&&) noexcept;

    // Writes the dataset to `path` in `transferSyntaxUid` (only uncompressed
    // syntaxes: Implicit or Explicit VR Little Endian in practice).
    // Compressed pixel data is decoded first: JPEG (baseline, extended,
    // lossless), JPEG-LS and RLE by DCMTK, JPEG 2000 by GDCM; lossless input
    // keeps bit-identical pixels. A dataset read in one of the syntaxes of
    // `keepCompressed` is written in that syntax instead, its compressed
    // pixel data as it is; the pixels are decoded once in memory all the
    // same (a frame at a time where the frame decode applies), so that a
    // damaged stream fails as it would when decoded for good.
    // `withMeta` true writes a DICOM file with meta information (updated to
    // the new syntax and the dataset's UIDs), false the bare dataset.
    // Throws velunor::Error when
    //  - the dataset lacks SOP Class UID, SOP Instance UID or Study Instance
    //    UID (nothing is invented for them),
    //  - the pixel data cannot be decoded, or the JPEG decoder reported a
    //    corrupt stream (it would otherwise deliver garbage pixels),
    //  - `path` is the file the dataset was read from,
    //  - the file cannot be written: then TargetWriteError.
    // Guarantees: the file is written under a temporary name in the target
    // folder and renamed onto `path` only when complete, so `path` holds
    // either its previous content or the complete new file, and no partial
    // or temporary file is left behind on failure.
    void WriteFile(const std::filesystem::path& path, bool withMeta, const std::string& transferSyntaxUid,
                   const std::vector<std::string>& keepCompressed = {});

    // Writes the dataset as a staged file of a disc in `profile` (a DICOM
    // file with meta information): archive: Implicit VR Little Endian, every
    // compressed image decoded; general-purpose: Explicit VR Little Endian,
    // and JPEG baseline, extended and lossless (SV1) kept compressed. Throws
    // as WriteFile.
    void WriteForDisc(const std::filesystem::path& path, MediaProfile profile);

    // The Study Instance UID (0020,000D). Throws velunor::Error when the
    // dataset has none.
    std::string StudyUID() const;

    // The key handed unchanged to DicomDirBuilder::AddFile: the SOP Instance
    // UID (0008,0018). Throws velunor::Error when the dataset has none.
    std::string DirEntryKey() const;

    // Internal state (DCMTK file object, where it was read from); defined in
    // dicom/dataset_impl.hpp.
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// True when `fileName` has the form of the temporary name DicomDataset::
// WriteFile writes under: "." + the target's name (at most its first 160
// bytes) + "." + six letters or digits. A process that is killed while
// writing leaves such a file behind, incomplete. Never throws.
inline bool IsTemporaryWriteName(const std::string& fileName) {
    const auto dot = fileName.rfind('.');
    if (fileName.size() < 9 || fileName[0] != '.' || dot == 0 || dot == std::string::npos ||
        fileName.size() - dot != 7)
        return false;
    for (std::size_t i = dot + 1; i < fileName.size(); ++i) {
        const char ch = fileName[i];
        if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9'))) return false;
    }
    return true;
}

// A DICOM file re-encoded as a staged file of a disc (what DicomDataset::
// WriteForDisc writes), complete in its target folder and waiting for
// Place to give it its name: a file without a name (O_TMPFILE) where the
// file system offers one, else a file under a temporary name
// (IsTemporaryWriteName). Deleted when the object goes unplaced.
struct EncodedFile {
    std::filesystem::path source;
    std::filesystem::path temporary;   // the temporary name, if it has one (empty once placed)
    int descriptor = -1;               // the file without a name, open until placed
    std::uintmax_t bytes = 0;          // the written file's size
    std::string studyUid;              // the dataset's Study Instance UID and
    std::string dirEntryKey;           // its DirEntryKey ("" when it has none)
    // Why nothing was written: readError when the source could not be read
    // (DicomCollection::ReadFile), writeError when it was read but could
    // not be written (as WriteForDisc throws; TargetWriteError included).
    std::exception_ptr readError;
    std::exception_ptr writeError;

    EncodedFile() = default;
    ~EncodedFile();
    EncodedFile(EncodedFile&& other) noexcept;
    EncodedFile& operator=(EncodedFile&&) = delete;
    EncodedFile(const EncodedFile&) = delete;
    EncodedFile& operator=(const EncodedFile&) = delete;

    // Gives the written file the name `target`, in the folder it was
    // written to; never replaces a file. Rethrows writeError or readError
    // if set; throws velunor::Error when `target` exists (naming it the
    // source when it is), TargetWriteError when the name cannot be given
    // (the file stays unplaced then).
    void Place(const std::filesystem::path& target);
};

// Reads `source` and writes it as DicomDataset::WriteForDisc would write it
// to `target` in `profile`, but under a temporary name beside `target` (which
// names it in messages). Never throws: a failure is in the result's
// readError or writeError, and leaves no file behind. Safe to call on
// several threads at once.
EncodedFile EncodeForDisc(const std::filesystem::path& source, const std::filesystem::path& target,
                          MediaProfile profile) noexcept;

// Re-encodes a list of files (EncodeForDisc) on worker threads, ahead of
// the caller, who takes the results one by one in the order of the list and
// places them. Bounded: at most `ahead` files are being encoded or wait,
// encoded, to be taken. The workers call nothing of the caller.
class ReencodeQueue {
public:
    struct Job {
        std::filesystem::path source;
        std::filesystem::path target;   // beside which it is written; names it in messages
    };
    // Starts min(`workers`, jobs) threads; `workers` 0 means one per core.
    // Throws velunor::Error when no thread can be started.
    ReencodeQueue(std::vector<Job> jobs, MediaProfile profile, int workers = 0, int ahead = 4);
    // Stops the workers after the file each is encoding and deletes every
    // written file not taken: nothing prepared ahead is left behind.
    ~ReencodeQueue();
    ReencodeQueue(const ReencodeQueue&) = delete;
    ReencodeQueue& operator=(const ReencodeQueue&) = delete;

    // The next job's result, waiting for it to be encoded. Throws
    // velunor::Error once every job has been taken.
    EncodedFile Next();

    struct State;
private:
    std::unique_ptr<State> state_;
};

class DicomCollection {
public:
    DicomCollection();
    ~DicomCollection();

    // Removes every dataset. Never throws.
    void Clear();

    // Parses one DICOM file (with or without meta information, any transfer
    // syntax) and appends its dataset. Large values such as pixel data stay
    // in the file until they are needed, so the file must stay in place
    // until the dataset has been written or dropped.
    // Throws velunor::Error when the file cannot be opened or parsed (empty,
    // truncated, not DICOM); the collection is unchanged then.
    void ReadFile(const std::filesystem::path& path);

    // Parses a file held in memory (a file read back from a disc) and
    // appends its dataset, which holds all its values in memory afterwards
    // (`bytes` may go). `name` is used in messages only. Throws
    // velunor::Error as ReadFile does.
    void ReadBuffer(const std::vector<std::uint8_t>& bytes, const std::string& name);

    // The dataset at one-based `index`. Throws velunor::Error when there is
    // no such item.
    DicomDataset& Item(int index);

    int Count() const;

private:
    std::vector<DicomDataset> items_;
};

// Collects one directory record per DICOM file and writes a DICOMDIR over
// them (Patient / Study / Series / record types per SOP class as DCMTK's
// DicomDirInterface builds them). Each Referenced File ID is the file's
// path relative to the disc root.
//  - Archive profile: the general-purpose profile without its transfer
//    syntax check, so that Implicit VR files are accepted; the file IDs are
//    the staged names even where they are no conformant DICOM file IDs;
//    names that fit ISO 8859-1 are stored in that character set (as DICOM
//    readers decode the value), others as their bytes.
//  - General-purpose profile: DCMTK's general-purpose DVD profile with JPEG,
//    its transfer syntax check on (Explicit VR Little Endian and JPEG
//    baseline, extended and lossless SV1 only); every file ID component
//    must be conformant (1 to 8 of A-Z, 0-9, "_").
class DicomDirBuilder {
public:
    // Removes the working folders that earlier versions of the builder left
    // under the system's temporary directory when their process was killed
    // (they hold links to staged files). Throws velunor::Error when DCMTK
    // cannot start a DICOMDIR in this profile.
    explicit DicomDirBuilder(MediaProfile profile = MediaProfile::Archive);
    ~DicomDirBuilder();
    DicomDirBuilder(const DicomDirBuilder&) = delete;
    DicomDirBuilder& operator=(const DicomDirBuilder&) = delete;

    // Adds a record for the file that `dataset` was read from (ReadFile;
    // the file must stay in place until WriteDicomDir), whose path relative
    // to the disc root is `relativePath`: "1/" or "2/" and the staged name,
    // components separated by "/". `dirEntryKey` is the dataset's
    // DirEntryKey; `flags` must be 0.
    // A file whose SOP instance was already added gets no second record
    // (DICOM references an instance once); it is listed by Duplicates().
    // Type 1 record values missing from a file are invented by DCMTK for
    // that file only. The records are made from `dataset` as it was read
    // (the file is not read again), by DCMTK's own checks and record
    // builders, so the DICOMDIR is the one DCMTK makes of the same files.
    // Throws velunor::Error when the dataset was not read from a file, the
    // path is empty or holds a backslash (or, general-purpose, a component
    // that is no conformant file ID), the key does not belong to the
    // dataset, or DCMTK refuses this file or refused an earlier one (with
    // DCMTK's reasons and the file's path); once a file was refused, the
    // DICOMDIR cannot be written.
    void AddFile(const DicomDataset& dataset, const std::string& relativePath,
                 const std::string& dirEntryKey, int flags);

    // Writes the DICOMDIR with every added record to `path` (through a
    // temporary name in the same folder; no partial file on failure).
    // Once only. Throws velunor::Error when DCMTK refused an added file or
    // cannot write the DICOMDIR, or when the file cannot be written.
    void WriteDicomDir(const std::filesystem::path& path);

    // Relative paths of files that got no record because their SOP instance
    // was added before under another path.
    const std::vector<std::string>& Duplicates() const;

    struct Impl;
private:
    std::unique_ptr<Impl> impl_;
};

// Pulls the bytes of one DICOM file: fills up to `length` bytes of `buffer`
// and returns how many, 0 at the end of the file.
using DicomByteSource = std::function<std::size_t(std::uint8_t* buffer, std::size_t length)>;

// Reads one DICOM file (with or without meta information, any transfer
// syntax) whose `size` bytes come from `source`, to the end of its dataset,
// and sets `studyUid` to its Study Instance UID ("" when it has none).
// Values longer than 4096 bytes (pixel data) pass through a fixed buffer and
// are never kept, so memory stays the same whatever the size of the file.
// `name` is used in messages. Throws velunor::Error when the bytes are no
// DICOM file or end early, and lets an error thrown by `source` pass
// unchanged; `studyUid` is set all the same when the UID came before the
// failure (a file damaged in its pixel data). Bytes after the dataset, if
// any, are left to the caller.
void ReadStudyUidStreamed(const DicomByteSource& source, std::uint64_t size, const std::string& name,
                          std::string& studyUid);

}  // namespace velunor
