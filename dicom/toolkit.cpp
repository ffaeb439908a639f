// DicomCollection and DicomDataset over DCMTK, and the toolkit's start-up.
#include "dicom/dcmtk_support.hpp"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcvr.h>
#include <dcmtk/dcmdata/dcvrui.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/oflog/appender.h>
#include <dcmtk/oflog/oflog.h>
#include <dcmtk/oflog/spi/logevent.h>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcostrmf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcwcache.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

#include "app/error.hpp"
#include "app/files.hpp"

namespace fs = std::filesystem;

namespace velunor {

namespace {

// The scope that collects DCMTK's messages on this thread (innermost wins).
thread_local DcmtkMessages* tCurrentMessages = nullptr;

// Hands every DCMTK log event of level WARN and above to the collecting
// scope of the thread that logged it.
class CaptureAppender : public dcmtk::log4cplus::Appender {
public:
    ~CaptureAppender() override { destructorImpl(); }
    void close() override { closed = true; }

protected:
    void append(const dcmtk::log4cplus::spi::InternalLoggingEvent& event) override {
        if (event.getLogLevel() < dcmtk::log4cplus::WARN_LOG_LEVEL) return;
        DcmtkMessages::Deliver({event.getLoggerName().c_str(), event.getMessage().c_str(),
                                event.getLogLevel() >= dcmtk::log4cplus::ERROR_LOG_LEVEL});
    }
};

void RegisterOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        OFLog::configure(OFLogger::WARN_LOG_LEVEL);
        // DCMTK's messages go to the operation that caused them (and into
        // its error text), not to the console: a DICOMDIR over thousands of
        // files would print a warning for each. Reference-counted by oflog,
        // which owns the appender from here on.
        dcmtk::log4cplus::SharedAppenderPtr appender(new CaptureAppender);
        OFLogger dcmtkLogger = OFLog::getLogger("dcmtk");
        dcmtkLogger.addAppender(appender);
        dcmtkLogger.setAdditivity(false);
        // Values stored with VR UN whose tag the dictionary knows (some
        // writers do that with UIDs) are read as what they are; otherwise
        // a Study Instance UID would come back as a byte dump.
        dcmEnableUnknownVRConversion.set(OFTrue);
        DJDecoderRegistration::registerCodecs();
        DJLSDecoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
    });
}

Error StatusError(const OFCondition& status, const std::string& what, const DcmtkMessages& messages) {
    return Error(status.code(), what + ": " + status.text() + messages.Summary());
}

// Removes from the meta information what a broken file put there and DCMTK
// would write back unusable: an element outside group 0002 (written with a
// group length of its own that no reader, DCMTK included, can parse), and
// a meta element whose VR is not the one the dictionary gives it (a
// Transfer Syntax UID stored as "U\xC9" is kept as UN and not replaced, so
// the written file would name the old transfer syntax). Either way the file
// would fail verification on every disc. The elements every file needs are
// made again from the dataset when the file is written.
void CleanMetaInformation(DcmMetaInfo& meta) {
    for (unsigned long i = meta.card(); i-- > 0;) {
        DcmElement* element = meta.getElement(i);
        if (!element) continue;
        const DcmTag tag(element->getTag().getXTag());
        const bool known = tag.getEVR() != EVR_UNKNOWN && tag.getEVR() != EVR_UN;
        if (element->getGTag() != 0x0002 || (known && element->ident() != tag.getEVR())) delete meta.remove(i);
    }
}

// Implicit VR files carry no VR: a reader takes each element's VR from the
// dictionary. An element the dictionary calls a sequence that a broken file
// stored as something else (a text, bare bytes) would be read back as a
// sequence and fail to parse, so such a dataset is refused rather than
// written as a file nobody can read. Throws velunor::Error.
void RequireImplicitReadable(DcmItem& item, const std::string& name) {
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement* element = item.getElement(i);
        if (!element) continue;
        if (element->ident() == EVR_SQ) {
            auto& sequence = static_cast<DcmSequenceOfItems&>(*element);
            for (unsigned long k = 0; k < sequence.card(); ++k)
                if (DcmItem* sub = sequence.getItem(k)) RequireImplicitReadable(*sub, name);
            continue;
        }
        const DcmTag tag(element->getTag().getXTag());
        if (tag.getEVR() == EVR_SQ)
            throw Error(0, name + ": the element " + tag.toString().c_str() + " is a sequence, but the file stores it as " +
                               DcmVR(element->ident()).getVRName() +
                               "; in Implicit VR it could not be read back, so the file is not written");
    }
}

// The UIDs a written file must carry; DCMTK would invent a private SOP
// class for a dataset without one.
void RequireUids(DcmDataset& dataset, const std::string& name) {
    const struct {
        DcmTagKey tag;
        const char* label;
    } required[] = {
        {DCM_SOPClassUID, "SOP Class UID (0008,0016)"},
        {DCM_SOPInstanceUID, "SOP Instance UID (0008,0018)"},
        {DCM_StudyInstanceUID, "Study Instance UID (0020,000D)"},
    };
    for (const auto& r : required) {
        if (GetString(dataset, r.tag).empty())
            throw Error(0, name + ": the dataset has no " + r.label + "; it is not written");
    }
}

// Refuses to write a dataset onto the file it was read from (`source`,
// empty for a buffer). Throws velunor::Error.
void RequireNotSource(const fs::path& source, const fs::path& path) {
    std::error_code ec;
    if (!source.empty() && fs::equivalent(source, path, ec))
        throw Error(0, path.string() + " is the file the dataset was read from; it is not written onto itself");
}

bool IsJpeg2000(E_TransferSyntax xfer) {
    return xfer == EXS_JPEG2000LosslessOnly || xfer == EXS_JPEG2000 ||
           xfer == EXS_JPEG2000MulticomponentLosslessOnly || xfer == EXS_JPEG2000Multicomponent;
}




// Whether a file opened with O_TMPFILE can be given a name later (linkat
// through /proc/self/fd).
bool CanLinkUnnamed() {
    static const bool procFd = ::access("/proc/self/fd", F_OK) == 0;
    return procFd;
}

// The temporary file a write goes to: in the target's folder, so that the
// final rename stays on one file system. Closed and removed when it goes,
// unless Commit renamed it onto its target or Release handed it on.
// `unnamed`: where the file system offers it, a file without a name
// (O_TMPFILE; `path` stays empty) that EncodedFile::Place links into the
// folder: nothing is left if the process dies, no rename is needed, and
// creating it does not lock the folder, so that files are created in one
// folder on several threads at once.
struct TemporaryFile {
    fs::path path;
    int fd = -1;

    explicit TemporaryFile(const fs::path& target, bool unnamed = false) {
        if (unnamed && CanLinkUnnamed()) {
            const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
            fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::fchmod(fd, 0644);   // readable like any copy, whatever the umask
                return;
            }
            if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
                const int err = errno;
                throw TargetWriteError(err, "Cannot create a file in " + folder.string() + ": " + std::strerror(err));
            }
        }
        std::string stem = target.filename().string();
        if (stem.size() > 160) stem.resize(160);
        std::string pattern = (target.parent_path() / ("." + stem + ".XXXXXX")).string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        fd = ::mkstemp(buffer.data());
        if (fd < 0) {
            const int err = errno;
            throw TargetWriteError(err, "Cannot create a file in " + target.parent_path().string() + ": " +
                                            std::strerror(err));
        }
        path = buffer.data();
        ::fchmod(fd, 0644);   // mkstemp makes it private; staged files are readable like any copy
    }
    ~TemporaryFile() {
        if (fd >= 0) ::close(fd);
        if (!path.empty()) {
            std::error_code ec;
            fs::remove(path, ec);
        }
    }
    TemporaryFile(TemporaryFile&& other) noexcept
        : path(std::exchange(other.path, {})), fd(std::exchange(other.fd, -1)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // The size written so far.
    std::uintmax_t Size() const {
        struct stat st{};
        return ::fstat(fd, &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
    }

    // Closes the file (a failure to write its last bytes shows here).
    void Close(const fs::path& target) {
        const int closing = std::exchange(fd, -1);
        if (::close(closing) != 0) ThrowTargetWrite(errno, target.string());
    }

    // Closes the file and renames it onto `target`.
    void Commit(const fs::path& target) {
        if (fd >= 0) Close(target);
        std::error_code ec;
        fs::rename(path, target, ec);
        if (ec) ThrowTargetWrite(ec.value(), target.string());
        path.clear();
    }

    // The closed file's path; from here on the caller deletes it.
    fs::path Release() { return std::exchange(path, {}); }
};

}  // namespace

void ThrowTargetWrite(int err, const std::string& target) {
    if (err == 0) err = EIO;
    throw TargetWriteError(err, "Cannot write " + target + ": " + std::strerror(err));
}

// Writes `file` through DCMTK into the open temporary file `fd`, leaving
// the file position after what was written: with meta information (updated
// to `xfer` and the dataset's UIDs) or the bare dataset.
void WriteThroughDcmtk(DcmFileFormat& file, int fd, E_TransferSyntax xfer, bool withMeta, const std::string& target) {
    const int copy = ::dup(fd);
    if (copy < 0) throw ErrnoError(errno, "Cannot write " + target);
    FILE* stream = ::fdopen(copy, "wb");
    if (!stream) {
        const int err = errno;
        ::close(copy);
        throw ErrnoError(err, "Cannot write " + target);
    }
    DcmtkMessages messages;
    OFCondition status;
    int writeError = 0;
    bool notWritten = false;
    {
        DcmOutputFileStream out(stream);   // closes `stream` when it goes
        DcmWriteCache cache;
        file.transferInit();
        if (withMeta)
            status = file.write(out, xfer, EET_ExplicitLength, &cache, EGL_recalcGL, EPD_noChange, 0, 0, 0,
                                EWM_updateMeta);
        else
            status = file.getDataset()->write(out, xfer, EET_ExplicitLength, &cache, EGL_recalcGL);
        // A failed fwrite sets the stream's error flag and errno; DCMTK
        // turns it into a status without either, so both are taken here,
        // before anything else can change errno.
        if (std::ferror(stream)) {
            notWritten = true;
            writeError = errno;
        }
        file.transferEnd();
        out.flush();
        // DCMTK closes the stream without looking at the result, so the
        // last buffered bytes are pushed out and checked here.
        if (!notWritten && (std::fflush(stream) != 0 || std::ferror(stream))) {
            notWritten = true;
            writeError = errno;
        }
    }
    if (notWritten) ThrowTargetWrite(writeError, target);
    if (status.bad()) throw StatusError(status, "Cannot write " + target, messages);
}

namespace {

// An open file descriptor, closed when it goes.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int d) : fd(d) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

// Copies `length` bytes from `in` at `offset` to the end of `out`, inside
// the kernel where it can.
void CopyRange(int in, off_t offset, int out, std::uint64_t length, const std::string& target) {
    bool kernelCopy = true;
    std::vector<char> buffer;
    while (length > 0) {
        ssize_t n = -1;
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, 1u << 30));
        if (kernelCopy) {
            n = ::copy_file_range(in, &offset, out, nullptr, chunk, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;   // across file systems, or not offered here
                continue;
            }
        } else {
            if (buffer.empty()) buffer.resize(1 << 20);
            n = ::pread(in, buffer.data(), std::min(chunk, buffer.size()), offset);
            if (n > 0) {
                for (ssize_t done = 0; done < n;) {
                    const ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
                    if (w < 0) {
                        if (errno == EINTR) continue;
                        ThrowTargetWrite(errno, target);
                    }
                    done += w;
                }
                offset += n;
            }
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            // copy_file_range fails alike for the reading and the writing
            // side; these can only be the writing side's.
            if (err == ENOSPC || err == EDQUOT || err == EFBIG || err == EROFS) ThrowTargetWrite(err, target);
            throw Error(err, "Cannot write " + target + ": " + std::strerror(err));
        }
        if (n == 0) throw Error(0, "Cannot write " + target + ": the source file ended early");
        length -= static_cast<std::uint64_t>(n);
    }
}

// Writes uncompressed little-endian pixel data without reading it: when
// the dataset comes from a little-endian file whose pixel data is its last
// element and has not been loaded, the value bytes are the same in the new
// file (Implicit or Explicit VR Little Endian). DCMTK writes everything
// before the pixel data; the pixel data is then copied from the source file
// by the kernel. Saves two copies of every pixel through user space.
// Returns false, having written nothing, when the dataset does not qualify.
bool WriteCopyingPixels(DicomDataset::Impl& impl, int out, E_TransferSyntax xfer, bool withMeta,
                        const std::string& target) {
    DcmDataset& dataset = *impl.file.getDataset();
    const E_TransferSyntax original = dataset.getOriginalXfer();
    if (impl.source.empty() || !withMeta || (xfer != EXS_LittleEndianImplicit && xfer != EXS_LittleEndianExplicit) ||
        (original != EXS_LittleEndianExplicit && original != EXS_LittleEndianImplicit))
        return false;
    DcmElement* pixels = nullptr;
    if (dataset.findAndGetElement(DCM_PixelData, pixels).bad() || !pixels || pixels->valueLoaded()) return false;
    if (dataset.card() == 0 || dataset.getElement(dataset.card() - 1) != pixels) return false;
    if (dataset.tagExists(DcmTagKey(0x7FE0, 0x0000))) return false;   // its group length would change
    const Uint32 length = pixels->getLengthField();
    if (length == 0 || length == DCM_UndefinedLength || (length % 2) != 0) return false;

    Descriptor source(::open(impl.source.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.fd < 0) return false;
    struct stat st{};
    if (::fstat(source.fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) < std::uint64_t(length) + 12)
        return false;
    // The element header just before the value proves where the value lies.
    const off_t valueAt = st.st_size - static_cast<off_t>(length);
    unsigned char header[12];
    if (::pread(source.fd, header, sizeof header, valueAt - 12) != 12) return false;
    const unsigned char lengthBytes[4] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                          static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    const unsigned char tag[4] = {0xE0, 0x7F, 0x10, 0x00};
    bool found = false;
    if (original == EXS_LittleEndianExplicit) {
        const bool wordsOrBytes = header[4] == 'O' && (header[5] == 'W' || header[5] == 'B');
        found = std::memcmp(header, tag, 4) == 0 && wordsOrBytes && header[6] == 0 && header[7] == 0 &&
                std::memcmp(header + 8, lengthBytes, 4) == 0;
    } else {
        found = std::memcmp(header + 4, tag, 4) == 0 && std::memcmp(header + 8, lengthBytes, 4) == 0;
    }
    if (!found) return false;
    // The pixel data element as DCMTK would write it (its VR as DCMTK holds it).
    const std::vector<unsigned char> pixelHeader = PixelDataHeader(xfer, pixels->getVR(), length);
    if (pixelHeader.empty()) return false;

    // Everything but the pixel data, through DCMTK.
    DcmElement* removed = dataset.remove(pixels);
    struct Restore {
        DcmDataset& dataset;
        DcmElement* element;
        ~Restore() {
            if (element) dataset.insert(element, true);
        }
    } restore{dataset, removed};
    WriteThroughDcmtk(impl.file, out, xfer, true, target);
    // Then the pixel data element: its header, its value copied from the source.
    if (::write(out, pixelHeader.data(), pixelHeader.size()) != static_cast<ssize_t>(pixelHeader.size()))
        ThrowTargetWrite(errno, target);
    CopyRange(source.fd, valueAt, out, length, target);
    return true;
}

// Decodes the compressed pixel data of a dataset that is kept compressed,
// to prove it sound (DCMTK's JPEG decoder delivers wrong pixels for a
// damaged stream and only warns); the file is written with the compressed
// pixels. Multi-frame images are decoded a frame at a time where that
// applies, others in a copy of the dataset (once decoded, DCMTK no longer
// writes a dataset in its compressed syntax). Throws velunor::Error as a
// decode for good would.
void CheckCompressedPixels(DicomDataset::Impl& impl, const std::string& target) {
    DcmDataset& dataset = *impl.file.getDataset();
    if (!dataset.tagExists(DCM_PixelData)) return;
    if (WriteDecodingFrames(impl, -1, EXS_LittleEndianExplicit, false, target)) return;
    DcmDataset copy(dataset);
    DcmtkMessages messages;
    const OFCondition status = copy.chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
    if (messages.CorruptJpeg()) throw Error(0, impl.name + ": the JPEG pixel data is corrupt" + messages.Summary());
    if (status.bad()) throw StatusError(status, impl.name + ": the pixel data cannot be decoded", messages);
}

}  // namespace

std::vector<unsigned char> PixelDataHeader(E_TransferSyntax xfer, DcmEVR vr, Uint32 length) {
    std::vector<unsigned char> header = {0xE0, 0x7F, 0x10, 0x00};
    if (xfer == EXS_LittleEndianExplicit) {
        if (vr != EVR_OB && vr != EVR_OW) return {};
        header.insert(header.end(), {'O', static_cast<unsigned char>(vr == EVR_OB ? 'B' : 'W'), 0, 0});
    } else if (xfer != EXS_LittleEndianImplicit) {
        return {};
    }
    for (int b = 0; b < 4; ++b) header.push_back(static_cast<unsigned char>(length >> (8 * b)));
    return header;
}

// ---- start-up ----------------------------------------------------------

void InitDicomToolkit() {
    RegisterOnce();
    if (!dcmDataDict.isDictionaryLoaded()) {
        throw Error(0, std::string("The DICOM data dictionary is not loaded (expected at ") +
                           DCM_DICT_DEFAULT_PATH +
                           " or named by DCMDICTPATH). Without it DICOM files are misread; "
                           "install the DCMTK data dictionary.");
    }
}

// ---- DCMTK's messages --------------------------------------------------

DcmtkMessages::DcmtkMessages() : previous_(tCurrentMessages) { tCurrentMessages = this; }

DcmtkMessages::~DcmtkMessages() { tCurrentMessages = previous_; }

void DcmtkMessages::Deliver(Entry entry) {
    if (tCurrentMessages) tCurrentMessages->entries_.push_back(std::move(entry));
}

bool DcmtkMessages::CorruptJpeg() const {
    for (const Entry& e : entries_) {
        if (e.logger.rfind("dcmtk.dcmjpeg", 0) != 0) continue;
        if (e.text.find("Corrupt JPEG data") != std::string::npos ||
            e.text.find("Premature end") != std::string::npos)
            return true;
    }
    return false;
}

std::string DcmtkMessages::Summary(std::size_t max) const {
    std::vector<const Entry*> ordered;
    auto add = [&ordered](const Entry& e) {
        for (const Entry* o : ordered)
            if (o->text == e.text) return;   // a retry repeats its messages
        ordered.push_back(&e);
    };
    for (const Entry& e : entries_)
        if (e.error) add(e);
    for (const Entry& e : entries_)
        if (!e.error) add(e);
    if (ordered.empty()) return "";
    std::string text = " (DCMTK: ";
    for (std::size_t i = 0; i < ordered.size() && i < max; ++i) {
        if (i) text += "; ";
        text += ordered[i]->text;
    }
    if (ordered.size() > max) text += "; ...";
    return text + ")";
}

std::string GetString(DcmItem& item, const DcmTagKey& tag) {
    DcmElement* element = nullptr;
    if (item.findAndGetElement(tag, element).bad() || !element) return "";
    std::string s;
    if (DcmVR(element->ident()).isaString()) {
        OFString value;
        if (element->getOFString(value, 0).bad()) return "";
        s = value.c_str();
    } else {
        // A text stored under a VR that is unknown or not a text (a broken
        // writer's "U]" instead of "UI"): DCMTK holds its bytes and would
        // render them as a hex dump ("31\2e..."). The bytes are the text.
        Uint8* bytes = nullptr;
        if (element->getUint8Array(bytes).bad() || !bytes) return "";
        s.assign(reinterpret_cast<const char*>(bytes), element->getLength());
        s = s.substr(0, s.find('\\'));   // the first value
        s = s.substr(0, s.find('\0'));
        if (DcmTag(tag).getEVR() == EVR_UI) {
            // As DCMTK reads a UI value (blanks and other white space
            // dropped), so that the UID is the one the written file gives.
            DcmUniqueIdentifier uid{DcmTag(tag)};
            OFString value;
            if (uid.putString(s.c_str()).bad() || uid.getOFString(value, 0).bad()) return "";
            s = value.c_str();
        }
        while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

// ---- DicomDataset ------------------------------------------------------

DicomDataset::DicomDataset() : impl(std::make_unique<Impl>()) {}
DicomDataset::~DicomDataset() = default;
DicomDataset::DicomDataset(DicomDataset&&) noexcept = default;
DicomDataset& DicomDataset::operator=(DicomDataset&&) noexcept = default;

namespace {

// WriteFile up to the rename: the checks, then the new file written into a
// temporary file beside `path` (`path` names it in messages), returned
// still open. `placedLater` (EncodeForDisc): `path` is not checked against
// the source yet, and the file is an unnamed one where it can be.
TemporaryFile WriteTemporary(DicomDataset::Impl* impl, const fs::path& path, bool withMeta,
                             const std::string& transferSyntaxUid, const std::vector<std::string>& keepCompressed,
                             bool placedLater) {
    InitDicomToolkit();
    if (!impl) throw Error(0, "The dataset is empty");
    DcmDataset& dataset = *impl->file.getDataset();
    const std::string target = path.string();

    const DcmXfer wanted(transferSyntaxUid.c_str());
    const E_TransferSyntax xfer = wanted.getXfer();
    if (xfer == EXS_Unknown)
        throw Error(0, target + ": unknown transfer syntax UID \"" + transferSyntaxUid + "\"");
    if (wanted.isEncapsulated())
        throw Error(0, target + ": writing the compressed transfer syntax " + transferSyntaxUid +
                           " is not supported");

    RequireUids(dataset, impl->name);
    if (withMeta) CleanMetaInformation(*impl->file.getMetaInfo());
    if (xfer == EXS_LittleEndianImplicit) RequireImplicitReadable(dataset, impl->name);
    if (!placedLater) RequireNotSource(impl->source, path);

    // Kept compressed: the syntax it was read in, its pixel data as it is.
    const DcmXfer original(dataset.getOriginalXfer());
    if (original.isEncapsulated() &&
        std::find(keepCompressed.begin(), keepCompressed.end(), original.getXferID()) != keepCompressed.end()) {
        CheckCompressedPixels(*impl, target);
        TemporaryFile temporary(path, placedLater);
        WriteThroughDcmtk(impl->file, temporary.fd, original.getXfer(), withMeta, target);
        return temporary;
    }

    // A multi-frame image is decoded frame by frame where it can be, and
    // otherwise whole.
    TemporaryFile temporary(path, placedLater);
    if (!WriteDecodingFrames(*impl, temporary.fd, xfer, withMeta, target)) {
        {
            DcmtkMessages messages;
            const OFCondition status = dataset.chooseRepresentation(xfer, nullptr);
            if (messages.CorruptJpeg())
                throw Error(0, impl->name + ": the JPEG pixel data is corrupt" + messages.Summary());
            if (status.bad() || !dataset.canWriteXfer(xfer)) {
                if (IsJpeg2000(dataset.getOriginalXfer()))
                    DecodeWithGdcm(impl->file, impl->name);
                else if (status.bad())
                    throw StatusError(status, impl->name + ": the pixel data cannot be decoded", messages);
                else
                    throw Error(0, impl->name + ": the dataset cannot be written as " + transferSyntaxUid +
                                       messages.Summary());
            }
            // The compressed pixels are no longer needed once decoded.
            dataset.removeAllButCurrentRepresentations();
        }
        if (!WriteCopyingPixels(*impl, temporary.fd, xfer, withMeta, target))
            WriteThroughDcmtk(impl->file, temporary.fd, xfer, withMeta, target);
    }
    return temporary;
}

// The syntax and the compressed syntaxes kept of a staged file in `profile`.
const char* DiscSyntax(MediaProfile profile) {
    return profile == MediaProfile::Archive ? kImplicitVRLittleEndian : kExplicitVRLittleEndian;
}
const std::vector<std::string>& DiscKeptSyntaxes(MediaProfile profile) {
    static const std::vector<std::string> none;
    return profile == MediaProfile::Archive ? none : kGeneralPurposeDvdJpegSyntaxes;
}

}  // namespace

void DicomDataset::WriteFile(const fs::path& path, bool withMeta, const std::string& transferSyntaxUid,
                            const std::vector<std::string>& keepCompressed) {
    WriteTemporary(impl.get(), path, withMeta, transferSyntaxUid, keepCompressed, false).Commit(path);
}

void DicomDataset::WriteForDisc(const fs::path& path, MediaProfile profile) {
    WriteFile(path, true, DiscSyntax(profile), DiscKeptSyntaxes(profile));
}

// ---- EncodedFile ---------------------------------------------------------

EncodedFile::~EncodedFile() {
    if (descriptor >= 0) ::close(descriptor);
    if (!temporary.empty()) {
        std::error_code ec;
        fs::remove(temporary, ec);
    }
}

EncodedFile::EncodedFile(EncodedFile&& other) noexcept
    : source(std::move(other.source)), temporary(std::exchange(other.temporary, {})),
      descriptor(std::exchange(other.descriptor, -1)), bytes(other.bytes), studyUid(std::move(other.studyUid)),
      dirEntryKey(std::move(other.dirEntryKey)), readError(std::move(other.readError)),
      writeError(std::move(other.writeError)) {}

void EncodedFile::Place(const fs::path& target) {
    if (writeError) std::rethrow_exception(writeError);
    if (readError) std::rethrow_exception(readError);
    if (descriptor < 0 && temporary.empty()) throw Error(0, "Nothing was written for " + source.string());
    int linked = 0;
    if (descriptor >= 0) {
        const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
        linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW);
    } else {
        linked = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        if (linked != 0 && errno == EINVAL && !fs::exists(fs::symlink_status(target))) {
            std::error_code ec;   // a file system without RENAME_NOREPLACE
            fs::rename(temporary, target, ec);
            linked = ec ? -1 : 0;
            errno = ec.value();
        }
    }
    if (linked != 0) {
        const int err = errno;
        if (err != EEXIST) ThrowTargetWrite(err, target.string());
        RequireNotSource(source, target);
        throw Error(EEXIST, "Cannot write " + target.string() + ": a file of that name is already there");
    }
    temporary.clear();
    if (descriptor >= 0 && ::close(std::exchange(descriptor, -1)) != 0) {
        const int err = errno;
        std::error_code ec;
        fs::remove(target, ec);
        ThrowTargetWrite(err, target.string());
    }
}

EncodedFile EncodeForDisc(const fs::path& source, const fs::path& target, MediaProfile profile) noexcept {
    EncodedFile out;
    try {
        out.source = source;
        DicomCollection collection;
        try {
            collection.ReadFile(source);
        } catch (...) {
            out.readError = std::current_exception();
            return out;
        }
        DicomDataset::Impl& impl = *collection.Item(1).impl;
        TemporaryFile temporary =
            WriteTemporary(&impl, target, true, DiscSyntax(profile), DiscKeptSyntaxes(profile), true);
        out.bytes = temporary.Size();
        out.studyUid = GetString(*impl.file.getDataset(), DCM_StudyInstanceUID);
        out.dirEntryKey = GetString(*impl.file.getDataset(), DCM_SOPInstanceUID);
        if (temporary.path.empty()) {
            out.descriptor = std::exchange(temporary.fd, -1);
        } else {
            temporary.Close(target);
            out.temporary = temporary.Release();
        }
    } catch (...) {
        out.writeError = std::current_exception();
    }
    return out;
}

std::string DicomDataset::StudyUID() const {
    if (!impl) throw Error(0, "The dataset is empty");
    std::string uid = GetString(*impl->file.getDataset(), DCM_StudyInstanceUID);
    if (uid.empty()) throw Error(0, impl->name + ": the dataset has no Study Instance UID (0020,000D)");
    return uid;
}

std::string DicomDataset::DirEntryKey() const {
    if (!impl) throw Error(0, "The dataset is empty");
    std::string uid = GetString(*impl->file.getDataset(), DCM_SOPInstanceUID);
    if (uid.empty()) throw Error(0, impl->name + ": the dataset has no SOP Instance UID (0008,0018)");
    return uid;
}

// ---- DicomCollection ---------------------------------------------------

DicomCollection::DicomCollection() = default;
DicomCollection::~DicomCollection() = default;

void DicomCollection::Clear() { items_.clear(); }

void DicomCollection::ReadFile(const fs::path& path) {
    InitDicomToolkit();
    DicomDataset item;
    item.impl->name = path.string();
    std::error_code ec;
    if (fs::is_directory(path, ec)) throw Error(EISDIR, path.string() + " is a folder, not a DICOM file");
    {
        DcmtkMessages messages;
        const OFCondition status = item.impl->file.loadFile(OFFilename(path.c_str()), EXS_Unknown, EGL_noChange,
                                                            DCM_MaxReadLength, ERM_autoDetect);
        if (status.bad()) throw StatusError(status, "Cannot read DICOM file " + path.string(), messages);
    }
    if (item.impl->file.getDataset()->card() == 0)
        throw Error(0, "Cannot read DICOM file " + path.string() + ": it holds no data elements");
    item.impl->source = fs::absolute(path, ec);
    if (ec) item.impl->source = path;
    items_.push_back(std::move(item));
}

void DicomCollection::ReadBuffer(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    InitDicomToolkit();
    DicomDataset item;
    item.impl->name = name;
    if (bytes.empty()) throw Error(0, "Cannot read DICOM file " + name + ": the file is empty");
    {
        DcmtkMessages messages;
        DcmInputBufferStream stream;
        stream.setBuffer(bytes.data(), static_cast<offile_off_t>(bytes.size()));
        stream.setEos();
        DcmFileFormat& file = item.impl->file;
        file.transferInit();
        const OFCondition status = file.read(stream, EXS_Unknown, EGL_noChange, DCM_MaxReadLength);
        file.transferEnd();
        if (status.bad()) throw StatusError(status, "Cannot read DICOM file " + name, messages);
        // Values larger than the read limit may still point into the
        // stream: load them now, the buffer belongs to the caller.
        const OFCondition loaded = file.loadAllDataIntoMemory();
        if (loaded.bad()) throw StatusError(loaded, "Cannot read DICOM file " + name, messages);
    }
    if (item.impl->file.getDataset()->card() == 0)
        throw Error(0, "Cannot read DICOM file " + name + ": it holds no data elements");
    items_.push_back(std::move(item));
}

DicomDataset& DicomCollection::Item(int index) {
    if (index < 1 || index > static_cast<int>(items_.size()))
        throw Error(0, "The DICOM collection has no item " + std::to_string(index) + " (it holds " +
                           std::to_string(items_.size()) + ")");
    return items_[static_cast<std::size_t>(index - 1)];
}

int DicomCollection::Count() const { return static_cast<int>(items_.size()); }

}  // namespace velunor
