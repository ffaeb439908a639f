// A written medium opened again for a re-check: an image file or the disc in
// an optical drive, read through the verification's reader; and the reading
// of a medium's files that the verification and the re-check share.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "app/error.hpp"
#include "dicom/toolkit.hpp"
#include "disc/disc.hpp"
#include "disc/libburnia.hpp"
#include "disc/medium_reader.hpp"

namespace velunor {

namespace {

using disc_detail::ChecksumRecords;
using disc_detail::MediumReader;

// A drive grabbed for reading, released when it goes.
struct HeldDrive {
    burn::burn_drive_info* infos = nullptr;
    burn::burn_drive* drive = nullptr;
    std::string name;

    HeldDrive() = default;
    HeldDrive(const HeldDrive&) = delete;
    HeldDrive& operator=(const HeldDrive&) = delete;
    ~HeldDrive() {
        if (drive) burn::burn_drive_release(drive, 0);
        if (infos) burn::burn_drive_info_free(infos);
    }
};

// Opens the medium with its checksum records, or without them when they
// cannot be read (a medium cut short loses them first: they lie at its
// end), saying why in `problem`.
template <typename OpenDevice>
std::unique_ptr<MediumReader> ReadMedium(const OpenDevice& open, std::string& problem) {
    try {
        return std::make_unique<MediumReader>(open(), ChecksumRecords::Load);
    } catch (const Error& withRecords) {
        std::unique_ptr<MediumReader> reader;
        try {
            reader = std::make_unique<MediumReader>(open(), ChecksumRecords::Skip);
        } catch (const Error&) {
            throw withRecords;
        }
        problem = std::string("its checksum records cannot be read: ") + withRecords.what();
        return reader;
    }
}

}  // namespace

struct WrittenMedium::Impl {
    std::unique_ptr<HeldDrive> drive;        // declared first: released after the reader
    std::unique_ptr<MediumReader> reader;
    std::string checksumProblem;
};

WrittenMedium::WrittenMedium(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WrittenMedium::~WrittenMedium() = default;

std::unique_ptr<WrittenMedium> WrittenMedium::OpenImage(const std::filesystem::path& image) {
    auto m = std::make_unique<Impl>();
    m->reader = ReadMedium([&] { return disc_detail::OpenImageFile(image); }, m->checksumProblem);
    return std::make_unique<WrittenMedium>(std::move(m));
}

std::unique_ptr<WrittenMedium> WrittenMedium::OpenDrive(const std::string& device) {
    disc_detail::EnsureLibraries();
    auto held = std::make_unique<HeldDrive>();
    // Drives are opened exclusively, as the writer opens them.
    burn::burn_preset_device_open(1, 0, 0);
    disc_detail::DrainMessages();
    if (device.empty()) {
        unsigned count = 0;
        int r = 0;
        // The scan runs in a thread of its own; it must be asked until it answers (at most two minutes).
        for (int i = 0; i < 120000 && (r = burn::burn_drive_scan(&held->infos, &count)) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (r <= 0) throw Error(-1, disc_detail::FailureFromQueue("The drive scan failed").text);
        if (count == 0) throw Error(0, "No optical drive found");
        char adr[BURN_DRIVE_ADR_LEN] = {};
        if (burn::burn_drive_d_get_adr(held->infos[0].drive, adr) > 0) held->name = adr;
        if (burn::burn_drive_grab(held->infos[0].drive, 1) != 1)
            throw Error(-1, disc_detail::FailureFromQueue("Cannot open the drive " + held->name).text);
        held->drive = held->infos[0].drive;
    } else {
        std::string path = device;
        char adr[BURN_DRIVE_ADR_LEN] = {};
        if (burn::burn_drive_convert_fs_adr(path.data(), adr) <= 0)
            throw Error(0, device + " is not an optical drive");
        held->name = device;
        if (burn::burn_drive_scan_and_grab(&held->infos, adr, 1) != 1)
            throw Error(-1, disc_detail::FailureFromQueue("Cannot open the drive " + device).text);
        held->drive = held->infos[0].drive;
    }
    switch (burn::burn_disc_get_status(held->drive)) {
    case burn::BURN_DISC_FULL:
    case burn::BURN_DISC_APPENDABLE:
        break;
    case burn::BURN_DISC_BLANK:
        throw Error(0, "The disc in " + held->name + " is blank");
    case burn::BURN_DISC_EMPTY:
        throw Error(0, "There is no disc in " + held->name);
    default:
        throw Error(0, "The disc in " + held->name + " cannot be read");
    }
    auto m = std::make_unique<Impl>();
    burn::burn_drive* drive = held->drive;
    const std::string name = held->name;
    m->drive = std::move(held);
    m->reader = ReadMedium([&] { return disc_detail::OpenDriveMedium(drive, name, false); }, m->checksumProblem);
    return std::make_unique<WrittenMedium>(std::move(m));
}

std::string WrittenMedium::Name() const { return impl_->reader->Name(); }
std::string WrittenMedium::VolumeId() const { return impl_->reader->VolumeId(); }
std::string WrittenMedium::CreationDate() const { return impl_->reader->CreationDate(); }
const std::string& WrittenMedium::ChecksumProblem() const { return impl_->checksumProblem; }
std::vector<MediumEntry> WrittenMedium::Files() const { return impl_->reader->AllFiles(); }
std::unique_ptr<MediumFile> WrittenMedium::Open(const std::string& path) const { return impl_->reader->OpenFile(path); }

// ---------------------------------------------------------------------------
// StudyFileReader: the caller's thread reads, the worker runs the MD5 over
// every piece and parses.

namespace {

constexpr std::size_t kPieceBytes = 1 << 20;
constexpr std::size_t kPieces = 4;   // one being parsed, the others read ahead or being read

// Raised inside the worker's byte source when the reader gave up on the
// file: the reader says why.
struct InputFailed {};

}  // namespace

struct StudyFileReader::Impl {
    struct Piece {
        std::vector<std::uint8_t> bytes;
        std::size_t length = 0;
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<std::uint8_t>> spare;   // buffers free for the reader
    std::deque<Piece> queued;                       // read, not yet taken by the worker
    bool stop = false;
    // The file handed to the worker.
    bool handed = false;       // not yet taken up by the worker
    MediumFile* file = nullptr;   // whose MD5 the worker runs
    bool dicom = false;           // whether the worker parses it
    std::string name;
    std::uint64_t size = 0;
    bool inputEnded = false;   // every byte of it is queued
    bool inputFailed = false;  // the reader gave up on it
    bool parsed = true;        // the worker has finished with it
    std::string studyUid, problem;
    std::thread worker;

    std::vector<std::uint8_t> TakeSpare() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return !spare.empty(); });
        std::vector<std::uint8_t> buffer = std::move(spare.back());
        spare.pop_back();
        return buffer;
    }

    // A piece for the worker, or the buffer back to the spares when it
    // holds nothing.
    void Hand(std::vector<std::uint8_t> buffer, std::size_t length) {
        const std::lock_guard lock(mutex);
        if (length > 0 && !parsed) queued.push_back({std::move(buffer), length});
        else spare.push_back(std::move(buffer));
        changed.notify_all();
    }

    // The next piece of the file, its bytes already in the file's MD5;
    // nullopt once the reader has handed the last one (or gave up).
    std::optional<Piece> Take(std::unique_lock<std::mutex>& l) {
        changed.wait(l, [&] { return !queued.empty() || inputEnded || inputFailed; });
        if (queued.empty()) return std::nullopt;
        Piece piece = std::move(queued.front());
        queued.pop_front();
        l.unlock();
        file->HashRead(piece.bytes.data(), piece.length);
        l.lock();
        return piece;
    }

    // Tells the worker that the file ends here, and waits until it has
    // finished with it.
    void EndInput(bool failed, FileReading& found) {
        std::unique_lock lock(mutex);
        (failed ? inputFailed : inputEnded) = true;
        changed.notify_all();
        changed.wait(lock, [&] { return parsed; });
        found.studyUid = studyUid;
        found.dicomProblem = problem;
    }

    // One file handed over: every piece into its MD5, and, for a DICOM
    // file, its bytes through ReadStudyUidStreamed until the toolkit has
    // what it wants; then the rest into the MD5 until the reader is done.
    void Parse(std::unique_lock<std::mutex>& lock) {
        handed = false;
        const std::string fileName = name;
        const std::uint64_t fileSize = size;
        std::string uid, why;
        if (dicom) {
            lock.unlock();
            Piece current;
            std::size_t offset = 0;
            const DicomByteSource source = [&](std::uint8_t* to, std::size_t length) -> std::size_t {
                if (offset == current.length) {
                    std::unique_lock l(mutex);
                    if (!current.bytes.empty()) spare.push_back(std::move(current.bytes));
                    current = {};
                    offset = 0;
                    changed.notify_all();
                    std::optional<Piece> next = Take(l);
                    if (!next) {
                        if (inputFailed) throw InputFailed{};
                        return 0;
                    }
                    current = std::move(*next);
                }
                const std::size_t n = std::min(length, current.length - offset);
                std::memcpy(to, current.bytes.data() + offset, n);
                offset += n;
                return n;
            };
            try {
                ReadStudyUidStreamed(source, fileSize, fileName, uid);
            } catch (const InputFailed&) {
            } catch (const std::exception& e) {
                why = e.what();
            } catch (...) {
                why = "Cannot read DICOM file " + fileName + ": an unknown error";
            }
            lock.lock();
            if (!current.bytes.empty()) spare.push_back(std::move(current.bytes));
            changed.notify_all();
        }
        // Bounded: the reader hands at most the file's size, then ends it.
        while (std::optional<Piece> rest = Take(lock)) {
            spare.push_back(std::move(rest->bytes));
            changed.notify_all();
        }
        studyUid = std::move(uid);
        problem = std::move(why);
        parsed = true;
        changed.notify_all();
    }

    // The worker: one file at a time until told to stop.
    void Work() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stop || handed; });
            if (stop) return;
            Parse(lock);
        }
    }
};

StudyFileReader::StudyFileReader() : impl_(std::make_unique<Impl>()) {
    for (std::size_t i = 0; i < kPieces; ++i) impl_->spare.emplace_back(kPieceBytes);
    impl_->worker = std::thread([m = impl_.get()] { m->Work(); });
}

StudyFileReader::~StudyFileReader() {
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->stop = true;
    }
    impl_->changed.notify_all();
    impl_->worker.join();
}

void StudyFileReader::Read(MediumFile& file, const std::string& name, bool dicom,
                           const std::function<void(std::size_t)>& afterPiece, FileReading& found) {
    Impl& m = *impl_;
    found = {};
    file.HashElsewhere();
    {
        const std::lock_guard lock(m.mutex);
        m.file = &file;
        m.dicom = dicom;
        m.name = name;
        m.size = file.Size();
        m.inputEnded = m.inputFailed = false;
        m.studyUid.clear();
        m.problem.clear();
        m.handed = true;
        m.parsed = false;
    }
    m.changed.notify_all();
    try {
        // Bounded by the file's size: every round but the last reads at least one byte.
        for (;;) {
            std::vector<std::uint8_t> buffer = m.TakeSpare();
            std::size_t n = 0;
            try {
                n = file.Read(buffer.data(), buffer.size());
            } catch (...) {
                m.Hand(std::move(buffer), 0);
                throw;
            }
            m.Hand(std::move(buffer), n);
            if (n == 0) break;
            afterPiece(n);
        }
    } catch (...) {
        m.EndInput(true, found);
        throw;
    }
    m.EndInput(false, found);
}

}  // namespace velunor
