// Inside the DICOM toolkit: the dataset's DCMTK state and helpers shared by
// the toolkit's sources (and by tests that look at DCMTK objects directly).
// Not for the rest of the program, which sees only dicom/toolkit.hpp.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dctagkey.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dicom/toolkit.hpp"

namespace velunor {

struct DicomDataset::Impl {
    DcmFileFormat file;
    std::filesystem::path source;   // absolute path read by ReadFile; empty for ReadBuffer
    std::string name;               // for messages: the path or the buffer's name
};

// While alive, collects the warnings and errors that DCMTK logs on the
// calling thread (DCMTK reports the reasons of many failures, and a corrupt
// JPEG stream at all, only through its logger). Scopes nest; the innermost
// one collects. Requires InitDicomToolkit() to have run.
class DcmtkMessages {
public:
    struct Entry {
        std::string logger;   // "dcmtk.dcmdata", "dcmtk.dcmjpeg", ...
        std::string text;
        bool error;           // ERROR or FATAL, else WARN
    };

    DcmtkMessages();
    ~DcmtkMessages();
    DcmtkMessages(const DcmtkMessages&) = delete;
    DcmtkMessages& operator=(const DcmtkMessages&) = delete;

    const std::vector<Entry>& entries() const { return entries_; }
    // True when the JPEG decoder reported damaged data ("Corrupt JPEG data",
    // "Premature end of JPEG file" and the like): it decodes such a stream
    // "successfully" into wrong pixels.
    bool CorruptJpeg() const;
    // The collected lines as " (DCMTK: a; b)", at most `max` of them, errors
    // first; "" when nothing was collected.
    std::string Summary(std::size_t max = 4) const;

    // Called by the log appender for every event of the thread.
    static void Deliver(Entry entry);

private:
    DcmtkMessages* previous_;
    std::vector<Entry> entries_;
};

// The string value of `tag` in `item` (first value, trailing blanks
// dropped), "" when absent or empty. A value that a broken file stores
// under an unknown or non-text VR (DCMTK then holds it as bytes) gives its
// bytes as text, up to the first NUL, never a hex dump of them.
std::string GetString(DcmItem& item, const DcmTagKey& tag);

// Decodes encapsulated pixel data that DCMTK has no codec for (JPEG 2000)
// through GDCM and puts the uncompressed pixels, with the pixel description
// GDCM reports (photometric interpretation, planar configuration, bits),
// back into `file`'s dataset. Throws velunor::Error when GDCM cannot decode
// it. `name` is used in messages.
void DecodeWithGdcm(DcmFileFormat& file, const std::string& name);

// Throws TargetWriteError: "Cannot write " + target + the text of `err`
// (EIO when `err` is 0).
[[noreturn]] void ThrowTargetWrite(int err, const std::string& target);

// Writes `file` through DCMTK into the open file `fd`, leaving the file
// position after what was written: with meta information (updated to `xfer`
// and the dataset's UIDs) or the bare dataset. Throws TargetWriteError when
// bytes could not be written to `fd` (the stream's error flag decides, not
// DCMTK's status, which carries no errno), velunor::Error naming `target`
// when DCMTK fails otherwise (a value it cannot encode or load).
void WriteThroughDcmtk(DcmFileFormat& file, int fd, E_TransferSyntax xfer, bool withMeta, const std::string& target);

// The header of a Pixel Data element of `length` bytes as `xfer` (Implicit
// or Explicit VR Little Endian) writes it: tag and length, in Explicit VR
// with the value representation `vr` and two zero bytes between. Empty when
// `xfer` is another syntax or `vr` is neither OB nor OW.
std::vector<unsigned char> PixelDataHeader(E_TransferSyntax xfer, DcmEVR vr, Uint32 length);

// Writes the dataset of `impl` as `xfer` (Implicit or Explicit VR Little
// Endian) into `out` (an empty file), decoding its compressed pixel data one
// frame at a time as it goes, so that memory holds one frame rather than
// the whole decoded image. For multi-frame images in a DCMTK codec's
// transfer syntax (JPEG, JPEG-LS, RLE) with one fragment per frame whose
// pixel data is the last element; the bytes written are those a whole
// decode would write. With `out` < 0 every frame is decoded and checked and
// nothing is written (a compressed image about to be kept as it is).
// Returns false, with `out` empty again and `impl` unchanged, when the
// dataset does not qualify or any frame cannot be decoded: the caller then
// decodes the image whole, which reports the reason. Throws velunor::Error
// when the file cannot be written.
bool WriteDecodingFrames(DicomDataset::Impl& impl, int out, E_TransferSyntax xfer, bool withMeta,
                         const std::string& target);
// The same as Implicit VR Little Endian.
inline bool WriteDecodingFrames(DicomDataset::Impl& impl, int out, bool withMeta, const std::string& target) {
    return WriteDecodingFrames(impl, out, EXS_LittleEndianImplicit, withMeta, target);
}

}  // namespace velunor
