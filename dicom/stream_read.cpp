// A DICOM file read as a stream of bytes: DCMTK pulls them through a fixed
// buffer and passes over long values instead of keeping them.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcerror.h>
#include <dcmtk/dcmdata/dcistrma.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "dicom/dcmtk_support.hpp"

namespace velunor {

namespace {

// Values longer than this are passed over, never kept.
constexpr Uint32 kKeepValuesUpTo = 4096;
constexpr std::size_t kBufferBytes = 256 * 1024;
// What DCMTK may put back (it asks for at most 132 bytes, and 1 KiB is what
// its streams promise).
constexpr std::size_t kPutbackBytes = 8 * 1024;

// The bytes of `source` for DCMTK. An error of the source ends the stream;
// it is kept and raised again once DCMTK has returned.
class PullProducer final : public DcmProducer {
public:
    PullProducer(const DicomByteSource& source, std::uint64_t size, const std::string& name)
        : source_(source), size_(size), name_(name), buffer_(kPutbackBytes + kBufferBytes) {}

    OFBool good() const override { return status_.good(); }
    OFCondition status() const override { return status_; }
    OFBool eos() override { return !status_.good() || Position() >= size_; }
    offile_off_t avail() override {
        return status_.good() ? static_cast<offile_off_t>(size_ - Position()) : 0;
    }
    offile_off_t read(void* buf, offile_off_t buflen) override {
        return Take(static_cast<std::uint8_t*>(buf), static_cast<std::uint64_t>(buflen));
    }
    offile_off_t skip(offile_off_t skiplen) override { return Take(nullptr, static_cast<std::uint64_t>(skiplen)); }
    void putback(offile_off_t num) override {
        if (num < 0 || static_cast<std::size_t>(num) > pos_) {
            status_ = EC_PutbackFailed;
            return;
        }
        pos_ -= static_cast<std::size_t>(num);
    }

    // The source's own error, raised again here.
    void RethrowSourceError() const {
        if (failure_) std::rethrow_exception(failure_);
    }
    std::uint64_t Position() const { return base_ + pos_; }

private:
    offile_off_t Take(std::uint8_t* out, std::uint64_t wanted) {
        std::uint64_t taken = 0;
        while (taken < wanted && status_.good()) {
            if (pos_ == end_ && !Refill()) break;
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(wanted - taken, end_ - pos_));
            if (out) std::memcpy(out + taken, buffer_.data() + pos_, n);
            pos_ += n;
            taken += n;
        }
        return static_cast<offile_off_t>(taken);
    }

    // Keeps the last bytes for a putback and fills the rest of the buffer
    // from the source. False at the end of the file or on an error.
    bool Refill() {
        if (Position() >= size_) return false;
        const std::size_t keep = std::min(kPutbackBytes, pos_);
        std::memmove(buffer_.data(), buffer_.data() + pos_ - keep, keep);
        base_ += pos_ - keep;
        pos_ = end_ = keep;
        const std::size_t room =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - keep, size_ - Position()));
        try {
            const std::size_t n = source_(buffer_.data() + keep, room);
            if (n == 0) {
                status_ = EC_InvalidStream;
                failure_ = std::make_exception_ptr(Error(0, "Cannot read DICOM file " + name_ + ": it ends after " +
                                                                 std::to_string(Position()) + " of " +
                                                                 std::to_string(size_) + " bytes"));
                return false;
            }
            end_ = keep + std::min(n, room);
        } catch (...) {
            status_ = EC_InvalidStream;
            failure_ = std::current_exception();
            return false;
        }
        return true;
    }

    const DicomByteSource& source_;
    std::uint64_t size_;
    const std::string& name_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t base_ = 0;   // the file position of buffer_[0]
    std::size_t pos_ = 0;      // next byte for DCMTK
    std::size_t end_ = 0;      // end of the bytes held
    OFCondition status_ = EC_Normal;
    std::exception_ptr failure_;
};

// Tells DCMTK that long values can be passed over: it keeps a factory for
// loading them later, which is never used (nothing asks for such a value).
class NoReloadFactory final : public DcmInputStreamFactory {
public:
    DcmInputStream* create() const override { return nullptr; }
    DcmInputStreamFactory* clone() const override { return new NoReloadFactory; }
    DcmInputStreamFactoryType ident() const override { return DFT_DcmInputFileStreamFactory; }
};

class PullStream final : public DcmInputStream {
public:
    explicit PullStream(PullProducer& producer) : DcmInputStream(&producer) {}
    DcmInputStreamFactory* newFactory() const override { return new NoReloadFactory; }
};

}  // namespace

void ReadStudyUidStreamed(const DicomByteSource& source, std::uint64_t size, const std::string& name,
                          std::string& studyUid) {
    InitDicomToolkit();
    studyUid.clear();
    if (size == 0) throw Error(0, "Cannot read DICOM file " + name + ": the file is empty");
    PullProducer producer(source, size, name);
    DcmtkMessages messages;
    DcmFileFormat file;
    OFCondition status;
    {
        PullStream stream(producer);
        file.transferInit();
        status = file.read(stream, EXS_Unknown, EGL_noChange, kKeepValuesUpTo);
        file.transferEnd();
    }
    // What was read before a failure still names the study.
    studyUid = GetString(*file.getDataset(), DCM_StudyInstanceUID);
    producer.RethrowSourceError();
    if (status.bad())
        throw Error(status.code(), "Cannot read DICOM file " + name + ": " + status.text() + messages.Summary());
    if (file.getDataset()->card() == 0) throw Error(0, "Cannot read DICOM file " + name + ": it holds no data elements");
}

}  // namespace velunor
