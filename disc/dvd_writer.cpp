#include "disc/dvd_writer.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "app/error.hpp"
#include "disc/libburnia.hpp"
#include "disc/medium_reader.hpp"

namespace velunor {

namespace fs = std::filesystem;
using disc_detail::AsBurnSource;
using disc_detail::BurnDiscPtr;
using disc_detail::BurnSessionPtr;
using disc_detail::BurnSourcePtr;
using disc_detail::BurnTrackPtr;
using disc_detail::BurnWriteOptsPtr;
using disc_detail::Describe;
using disc_detail::DrainMessages;
using disc_detail::Failure;
using disc_detail::FailureFromQueue;
using disc_detail::IsoImagePtr;
using disc_detail::IsoWriteOptsPtr;
using disc_detail::LibMessage;
using disc_detail::MediumReader;
using disc_detail::SeverityRank;
using disc_detail::SpeedListPtr;
using disc_detail::FirstMessage;

namespace {

constexpr std::int64_t kBlock = 2048;
// The image generator's buffer: 8 MiB, over a third of a second of a 16x
// DVD drive's writing (22 MB/s), while libisofs reads the next source file
// at the speed of the disk or the page cache; the drive has a buffer of its
// own beside it. A larger one only adds to the run's memory.
constexpr int kGeneratorBufferBlocks = 4096;

struct DriveEntry {
    bool imageFolder = false;
    std::string vendor;
    std::string product;
    fs::path folder;                    // image-folder drive
    burn::burn_drive* drive = nullptr;  // optical drive, owned by the scan array
    std::string address;                // optical drive's device file
    bool writesDvdMinusR = false;
    bool writesDvdPlusR = false;
};

std::string TrimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

std::string IsoText(int code) {
    const char* t = iso_error_to_msg(code);
    return t ? t : "error " + std::to_string(code);
}

bool FolderUsable(const fs::path& folder) {
    std::error_code ec;
    return !folder.empty() && fs::is_directory(folder, ec) && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::optional<std::int64_t> FreeBytes(const fs::path& folder) {
    struct statvfs sv {};
    if (::statvfs(folder.c_str(), &sv) != 0) return std::nullopt;
    return static_cast<std::int64_t>(sv.f_bavail) * static_cast<std::int64_t>(sv.f_frsize);
}

bool ExistsNoFollow(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

// A pass-through source between the image generator and libburn that counts
// the bytes libburn takes: the proof that the whole image reached the drive.
//
// It also supplies the image's last block. libisofs 1.5.4 reserves one block
// after the checksum array for the session checksum tag, but writes that block
// only when a session checksum is recorded: with file checksums alone its
// generator ends one block short of the size it announced (and reports
// "Calculated/written image end address mismatch"). The block holds nothing
// else, so it is supplied here as zeros and the image gets the size its
// volume descriptor declares.
struct CountingData {
    burn::burn_source* inner = nullptr;  // one reference, released with the wrapper
    std::int64_t size = 0;               // announced by the generator
    std::atomic<std::int64_t> bytes{0};
    std::atomic<bool> suppliedTagBlock{false};
};

int CountingRead(burn::burn_source* s, unsigned char* buffer, int size) {
    auto* c = static_cast<CountingData*>(s->data);
    int n = 0;
    if (!c->suppliedTagBlock)
        n = c->inner->read ? c->inner->read(c->inner, buffer, size) : c->inner->read_xt(c->inner, buffer, size);
    const std::int64_t missing = c->size - c->bytes;
    if (n == 0 && size > 0 && (c->suppliedTagBlock ? missing > 0 : missing == kBlock)) {
        c->suppliedTagBlock = true;
        n = static_cast<int>(std::min<std::int64_t>(size, missing));
        std::memset(buffer, 0, static_cast<std::size_t>(n));
    }
    if (n > 0) c->bytes += n;
    return n;
}

// libisofs' report of the tag block it left out (see CountingData).
bool ReportsUnwrittenTagBlock(const LibMessage& m) {
    return m.text.find("Calculated/written image end address mismatch") != std::string::npos;
}

off_t CountingGetSize(burn::burn_source* s) {
    auto* c = static_cast<CountingData*>(s->data);
    return c->inner->get_size(c->inner);
}

int CountingSetSize(burn::burn_source* s, off_t size) {
    auto* c = static_cast<CountingData*>(s->data);
    return c->inner->set_size ? c->inner->set_size(c->inner, size) : 1;
}

int CountingCancel(burn::burn_source* s) {
    auto* c = static_cast<CountingData*>(s->data);
    if (c->inner->version >= 1 && c->inner->cancel) return c->inner->cancel(c->inner);
    return 1;
}

void CountingFree(burn::burn_source* s) {
    std::unique_ptr<CountingData> c(static_cast<CountingData*>(s->data));
    s->data = nullptr;
    burn::burn_source_free(c->inner);
}

// Wraps `inner`, taking over the caller's reference to it.
BurnSourcePtr NewCountingSource(burn::burn_source* inner, CountingData** counter) {
    // libburn releases a source's structure with free(): allocate it with calloc().
    auto* s = static_cast<burn::burn_source*>(std::calloc(1, sizeof(burn::burn_source)));
    if (!s) {
        burn::burn_source_free(inner);
        throw Error(ENOMEM, "Out of memory");
    }
    auto data = std::make_unique<CountingData>();
    data->inner = inner;
    data->size = inner->get_size(inner);
    *counter = data.get();
    s->refcount = 1;
    s->get_size = CountingGetSize;
    s->set_size = CountingSetSize;
    s->free_data = CountingFree;
    s->data = data.release();
    s->version = 1;
    s->read_xt = CountingRead;
    s->cancel = CountingCancel;
    return BurnSourcePtr(s);
}

// The stdio: drive of one burn into the image folder.
struct StdioDrive {
    burn::burn_drive_info* info = nullptr;
    StdioDrive() = default;
    StdioDrive(const StdioDrive&) = delete;
    StdioDrive& operator=(const StdioDrive&) = delete;
    ~StdioDrive() {
        if (!info) return;
        burn::burn_drive_release(info[0].drive, 0);
        burn::burn_drive_info_free(info);
    }
};

// Everything one running burn holds. Members are released in reverse
// order: the libburn objects first, the stdio drive last.
struct BurnJob {
    StdioDrive stdio;
    burn::burn_drive* drive = nullptr;
    IsoImagePtr image;                   // the generator thread reads this image
    BurnSourcePtr source;                // the counting source
    CountingData* counter = nullptr;     // inside `source`
    ::burn_source* isoSource = nullptr;  // inside `source`
    BurnTrackPtr track;
    BurnSessionPtr session;
    BurnDiscPtr disc;
    BurnWriteOptsPtr opts;

    bool started = false;
    bool aborted = false;
    bool imageFolder = false;
    bool simulate = false;
    bool ejectAfter = false;
    std::int64_t expectedBytes = 0;
    fs::path partPath;   // removed with the job unless published
    fs::path finalPath;
    std::vector<LibMessage> messages;
    int lastCaching = -1;
    int lastSector = 0;
    int totalSectors = 0;
    bool sentClosingTrack = false;
    bool sentClosingDisc = false;

    bool workerSpawned = false;  // libburn started its write thread
    bool threadEnded = false;    // ... and that thread has announced its end

    BurnJob() = default;
    BurnJob(const BurnJob&) = delete;
    BurnJob& operator=(const BurnJob&) = delete;
    ~BurnJob() {
        // A generator thread that nobody reads must be told to end.
        if (!started && source && source->cancel) {
            source->cancel(source.get());
            WaitForGenerator();
        }
        if (!partPath.empty()) ::unlink(partPath.c_str());
    }

    // Keeps the messages worth reporting and notes the end of libburn's thread.
    void Collect(std::vector<LibMessage> batch) {
        static const int note = SeverityRank("NOTE");
        for (auto& m : batch) {
            if (m.code == disc_detail::kWriteThreadEnded) threadEnded = true;
            if (m.rank >= note) messages.push_back(std::move(m));
        }
    }

    void WaitForGenerator() {
        for (int i = 0; i < 10000 && image && iso_image_generator_is_running(image.get()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    // After the drive went idle: waits (bounded) until libburn's write
    // thread has left the drive and the image generator has stopped, so
    // that their last messages belong to this burn and a later burn finds
    // no thread of this one.
    void WaitForEnd() {
        for (int i = 0; i < 10000 && workerSpawned && !threadEnded; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            Collect(DrainMessages());
        }
        if (image && iso_image_generator_is_running(image.get())) {
            if (source && source->cancel) source->cancel(source.get());
            WaitForGenerator();
        }
        Collect(DrainMessages());
    }
};

// Moves the finished image to its name, never replacing an existing file.
int PublishImage(const fs::path& part, const fs::path& final) {
    if (::renameat2(AT_FDCWD, part.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without RENAME_NOREPLACE: link() never replaces either.
    if (::link(part.c_str(), final.c_str()) != 0) return errno;
    ::unlink(part.c_str());
    return 0;
}

void SyncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool IsDvdProfile(int profile) {
    switch (profile) {
    case 0x11: case 0x12: case 0x13: case 0x14: case 0x15: case 0x1a: case 0x1b: case 0x2b:
        return true;
    default:
        return false;
    }
}

}  // namespace

struct DVDWriter::Impl {
    const Settings& settings;
    DiscWriterEvents events;

    std::vector<DriveEntry> drives;
    burn::burn_drive_info* scan = nullptr;
    unsigned scanCount = 0;
    int selected = -1;
    burn::burn_drive* grabbed = nullptr;  // the optical drive held open

    IsoImagePtr image;
    bool imageHasContent = false;
    bool joliet = false;
    std::int64_t sizedBytes = -1;

    int burnMode = 1;
    bool underrunProof = false;
    bool closeDisc = true;
    bool simulate = false;
    bool ejectAfter = false;
    std::string label;
    bool labelSet = false;
    std::int32_t speed = 0;

    std::unique_ptr<BurnJob> job;
    bool inPoll = false;
    std::string lastProblem;
    fs::path lastImage;
    std::unique_ptr<MediumReader> medium;

    explicit Impl(const Settings& s) : settings(s) {}

    DriveEntry& At(int index) {
        if (index < 0 || index >= static_cast<int>(drives.size()))
            throw Error(0, "There is no drive with index " + std::to_string(index));
        return drives[static_cast<std::size_t>(index)];
    }

    DriveEntry* Selected() { return selected >= 0 && selected < static_cast<int>(drives.size()) ? &drives[selected] : nullptr; }

    DriveEntry& SelectedOrThrow() {
        DriveEntry* e = Selected();
        if (!e) throw Error(0, "No drive is selected");
        return *e;
    }

    void RequireIdle(const std::string& what) {
        if (job) throw Error(0, "The drive is busy writing; cannot " + what);
    }

    bool Refuse(std::string problem) {
        lastProblem = std::move(problem);
        return false;
    }

    void ReleaseOptical() {
        medium.reset();
        if (!grabbed) return;
        burn::burn_drive_release(grabbed, 0);
        grabbed = nullptr;
    }

    void FreeScan() {
        ReleaseOptical();
        if (scan) burn::burn_drive_info_free(scan);
        scan = nullptr;
        scanCount = 0;
    }

    // Opens (grabs) an optical drive as the one held, loading its tray when asked.
    bool Grab(DriveEntry& e, bool load) {
        if (grabbed == e.drive && !load) return true;
        ReleaseOptical();
        DrainMessages();
        if (burn::burn_drive_grab(e.drive, load ? 1 : 0) != 1) return false;
        grabbed = e.drive;
        return true;
    }

    void GrabOrThrow(DriveEntry& e, bool load) {
        if (Grab(e, load)) return;
        Failure f = FailureFromQueue("Cannot open the drive " + e.address);
        throw Error(f.number, f.text);
    }

    IsoWriteOptsPtr MakeWriteOpts(bool sizeOnly) {
        IsoWriteOpts* raw = nullptr;
        const int r = iso_write_opts_new(&raw, 0);
        if (r < 0) throw Error(r, "Cannot set up the image options: " + IsoText(r));
        IsoWriteOptsPtr o(raw);
        iso_write_opts_set_iso_level(o.get(), 3);
        iso_write_opts_set_rockridge(o.get(), 1);
        iso_write_opts_set_joliet(o.get(), joliet ? 1 : 0);
        // UID file names are longer than Joliet's 64 characters.
        if (joliet) iso_write_opts_set_joliet_long_names(o.get(), 1);
        // Keeps the blank in "DVD 17" (else "DVD_17").
        iso_write_opts_set_relaxed_vol_atts(o.get(), 1);
        // An MD5 of every file, computed as the generator writes it; the
        // checksum array is found through AAIP attributes. No session
        // checksum: nothing reads it, and it would cost a second MD5 pass
        // over the whole image in the generator's one thread.
        iso_write_opts_set_aaip(o.get(), 1);
        iso_write_opts_set_record_md5(o.get(), 0, 1);
        iso_write_opts_set_dir_rec_mtime(o.get(), 1);
        iso_write_opts_set_fifo_size(o.get(), kGeneratorBufferBlocks);
        iso_write_opts_set_will_cancel(o.get(), sizeOnly ? 1 : 0);
        return o;
    }

    std::int64_t SizeImage() {
        IsoWriteOptsPtr o = MakeWriteOpts(true);
        iso_image_set_volume_id(image.get(), label.c_str());
        DrainMessages();
        ::burn_source* raw = nullptr;
        const int r = iso_image_create_burn_source(image.get(), o.get(), &raw);
        if (r < 0) {
            Failure f = FailureFromQueue("Cannot compute the image size: " + IsoText(r));
            throw Error(f.number, f.text);
        }
        BurnSourcePtr src(AsBurnSource(raw));
        const std::int64_t size = src->get_size(src.get());
        src->cancel(src.get());
        src.reset();
        DrainMessages();
        return size;
    }

    std::int32_t ActualSpeed(DriveEntry& e, std::int32_t kb) {
        if (kb <= 0 || e.imageFolder) return 0;
        burn::burn_speed_descriptor* raw = nullptr;
        if (burn::burn_drive_get_speedlist(e.drive, &raw) <= 0 || !raw) return kb;
        SpeedListPtr list(raw);
        for (auto* d = list.get(); d; d = d->next) {
            const std::int64_t w = d->write_speed;
            if (w > 0 && std::llabs(w - kb) * 100 <= w) return static_cast<std::int32_t>(w);
        }
        return kb;
    }

    std::unique_ptr<MediumReader> OpenMedium() {
        DriveEntry& e = SelectedOrThrow();
        if (e.imageFolder) {
            if (lastImage.empty()) throw Error(0, "No image has been written into the image folder " + e.folder.string());
            return std::make_unique<MediumReader>(disc_detail::OpenImageFile(lastImage));
        }
        GrabOrThrow(e, false);
        return std::make_unique<MediumReader>(disc_detail::OpenDriveMedium(e.drive, e.address));
    }

    void Emit(const std::function<void()>& f) {
        if (f) f();
    }

    void EmitCaching(BurnJob& j) {
        size_t size = 0, freeBytes = 0;
        int percent = 0;
        if (j.isoSource && iso_ring_buffer_get_status(j.isoSource, &size, &freeBytes) >= 0 && size > 0)
            percent = static_cast<int>((size - std::min(size, freeBytes)) * 100 / size);
        if (percent == j.lastCaching) return;
        j.lastCaching = percent;
        if (events.CachingProgress) events.CachingProgress(static_cast<std::int16_t>(percent));
    }

    void FinishBurn();
};

void DVDWriter::Impl::FinishBurn() {
    std::unique_ptr<BurnJob> j = std::move(job);
    medium.reset();
    j->WaitForEnd();

    if (j->counter && j->counter->suppliedTagBlock) std::erase_if(j->messages, ReportsUnwrittenTagBlock);
    const int sorry = SeverityRank("SORRY");
    const LibMessage* cause = FirstMessage(j->messages, sorry);
    const bool wroteWell = burn::burn_drive_wrote_well(j->drive) == 1;
    const std::int64_t handed = j->counter ? j->counter->bytes.load() : 0;
    std::string problem;
    if (j->aborted) {
        problem = "The burn was aborted";
    } else if (cause) {
        problem = Describe(*cause);
    } else if (!wroteWell) {
        problem = "The disc writing library reports a failed burn";
    } else if (!j->simulate && handed < j->expectedBytes) {
        problem = "Only " + std::to_string(handed) + " of " + std::to_string(j->expectedBytes) +
                  " bytes of the image were written";
    }
    if (problem.empty() && j->imageFolder && !j->simulate) {
        struct stat st {};
        if (::stat(j->partPath.c_str(), &st) != 0 || static_cast<std::int64_t>(st.st_size) < j->expectedBytes)
            problem = "The image file holds only " + std::to_string(st.st_size) + " of " +
                      std::to_string(j->expectedBytes) + " bytes";
    }

    const fs::path part = j->partPath, final = j->finalPath;
    const bool imageFolder = j->imageFolder, simulated = j->simulate, eject = j->ejectAfter;
    burn::burn_drive* drive = j->drive;
    j->partPath.clear();  // removed below, or published
    j.reset();            // releases the stdio drive and every libburn object

    if (imageFolder) {
        if (problem.empty() && !simulated) {
            const int e = PublishImage(part, final);
            if (e == 0) {
                SyncFolder(final.parent_path());
                lastImage = final;
            } else if (e == EEXIST) {
                problem = "The image " + final.string() + " exists already; it was not replaced";
            } else {
                problem = "Cannot store the image as " + final.string() + ": " + std::strerror(e);
            }
        }
        ::unlink(part.c_str());
    } else if (problem.empty()) {
        // The drive learns about the new state of the disc.
        burn::burn_drive_re_assess(drive, 0);
        if (eject && grabbed == drive) {
            burn::burn_drive_release(drive, 1);
            grabbed = nullptr;
        }
    }
    DrainMessages();

    if (problem.empty()) {
        Emit(events.BurnComplete);
    } else if (events.WriteError) {
        events.WriteError(0, 0, problem, "");
    }
}

DVDWriter::DVDWriter(const Settings& settings) : impl_(std::make_unique<Impl>(settings)) {
    disc_detail::EnsureLibraries();
}

DVDWriter::~DVDWriter() {
    if (impl_->job) {
        burn::burn_drive_cancel(impl_->job->drive);
        burn::burn_progress p{};
        bool idle = false;
        for (int i = 0; i < 6000 && !idle; ++i) {
            idle = burn::burn_drive_get_status(impl_->job->drive, &p) == burn::BURN_DRIVE_IDLE;
            if (!idle) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // A drive that never stops cannot be released safely: leave it to the process end.
        if (!idle) {
            (void)impl_->job.release();
        } else {
            impl_->job->WaitForEnd();
            impl_->job.reset();
        }
    }
    impl_->medium.reset();
    impl_->image.reset();
    impl_->FreeScan();
    DrainMessages();
}

void DVDWriter::SetEvents(DiscWriterEvents events) { impl_->events = std::move(events); }

void DVDWriter::Poll() {
    Impl& m = *impl_;
    if (!m.job || m.inPoll) return;
    m.inPoll = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{m.inPoll};

    BurnJob& j = *m.job;
    j.Collect(DrainMessages());
    burn::burn_progress p{};
    const burn::burn_drive_status state = burn::burn_drive_get_status(j.drive, &p);
    if (state == burn::BURN_DRIVE_IDLE) {
        m.FinishBurn();
        return;
    }
    if (p.sectors > 0) j.totalSectors = p.sectors;
    const int total = j.totalSectors > 0 ? j.totalSectors : static_cast<int>(j.expectedBytes / kBlock);

    auto closingTrack = [&] {
        if (j.sentClosingTrack) return;
        j.sentClosingTrack = true;
        m.Emit(m.events.ClosingTrack);
    };
    switch (state) {
    case burn::BURN_DRIVE_WRITING:
    case burn::BURN_DRIVE_WRITING_SYNC:
        if (p.sector <= 0) {
            m.EmitCaching(j);
            break;
        }
        if (p.sector != j.lastSector && total > 0) {
            j.lastSector = p.sector;
            if (m.events.WriteProgress) m.events.WriteProgress(0, std::min(p.sector, total), total);
        }
        if (!m.job) return;
        // Every sector sent: the drive now flushes and closes (DVD-R in DAO shows no closing state).
        if (total > 0 && p.sector >= total) closingTrack();
        break;
    case burn::BURN_DRIVE_SPAWNING:
    case burn::BURN_DRIVE_WRITING_LEADIN:
    case burn::BURN_DRIVE_WRITING_PREGAP:
    case burn::BURN_DRIVE_FORMATTING:
    case burn::BURN_DRIVE_GRABBING:
        m.EmitCaching(j);
        break;
    case burn::BURN_DRIVE_WRITING_LEADOUT:
    case burn::BURN_DRIVE_CLOSING_TRACK:
        closingTrack();
        break;
    case burn::BURN_DRIVE_CLOSING_SESSION:
        closingTrack();
        if (m.job && !m.job->sentClosingDisc) {
            m.job->sentClosingDisc = true;
            m.Emit(m.events.ClosingDisc);
        }
        break;
    default:
        break;
    }
}

void DVDWriter::NewImage() {
    Impl& m = *impl_;
    m.image.reset();
    IsoImage* raw = nullptr;
    const int r = iso_image_new("", &raw);
    if (r < 0) throw Error(r, "Cannot create an image: " + IsoText(r));
    m.image.reset(raw);
    iso_tree_set_follow_symlinks(m.image.get(), 0);
    iso_tree_set_ignore_hidden(m.image.get(), 0);
    m.imageHasContent = false;
    m.sizedBytes = -1;
    m.label.clear();
    m.labelSet = false;
}

void DVDWriter::ScanDrives(bool asapi) {
    Impl& m = *impl_;
    m.RequireIdle("look for drives");
    m.FreeScan();
    m.drives.clear();
    m.selected = -1;

    if (!m.settings.ImageFolder.empty()) {
        DriveEntry e;
        e.imageFolder = true;
        std::error_code ec;
        e.folder = fs::absolute(fs::path(m.settings.ImageFolder), ec);
        if (ec) e.folder = m.settings.ImageFolder;
        e.vendor = "Image folder ";
        e.product = e.folder.string();
        m.drives.push_back(std::move(e));
    }

    // 1: open drives exclusively; +16 in ASAPI mode: the generic SCSI
    // devices (/dev/sg*) instead of the CD-ROM devices.
    burn::burn_preset_device_open(asapi ? 1 + 16 : 1, 0, 0);
    DrainMessages();
    int r = 0;
    // The scan runs in a thread of its own; it must be asked until it answers.
    for (int i = 0; i < 120000 && (r = burn::burn_drive_scan(&m.scan, &m.scanCount)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (r <= 0) {
        Failure f = FailureFromQueue("The drive scan failed");
        m.lastProblem = f.text;
        if (m.scan) burn::burn_drive_info_free(m.scan);
        m.scan = nullptr;
        m.scanCount = 0;
        return;
    }
    for (unsigned i = 0; i < m.scanCount; ++i) {
        burn::burn_drive_info& info = m.scan[i];
        DriveEntry e;
        e.vendor = std::string(info.vendor, strnlen(info.vendor, sizeof info.vendor));
        e.product = TrimRight(std::string(info.product, strnlen(info.product, sizeof info.product)));
        e.drive = info.drive;
        char adr[BURN_DRIVE_ADR_LEN] = {};
        if (burn::burn_drive_d_get_adr(info.drive, adr) > 0) e.address = adr;
        int count = 0;
        int profiles[64] = {};
        char current[64] = {};
        burn::burn_drive_get_all_profiles(info.drive, &count, profiles, current);
        e.writesDvdMinusR = info.write_dvdr != 0;
        for (int k = 0; k < count && k < 64; ++k) {
            if (profiles[k] == 0x11 || profiles[k] == 0x14 || profiles[k] == 0x15) e.writesDvdMinusR = true;
            if (profiles[k] == 0x1b || profiles[k] == 0x2b) e.writesDvdPlusR = true;
        }
        m.drives.push_back(std::move(e));
    }
    DrainMessages();
}

int DVDWriter::DriveCount() { return static_cast<int>(impl_->drives.size()); }

bool DVDWriter::DriveCapable(int index, int code) {
    DriveEntry& e = impl_->At(index);
    if (e.imageFolder) return (code == kCapWritesDvdMinusR || code == kCapWritesDvdPlusR) && FolderUsable(e.folder);
    if (code == kCapWritesDvdMinusR) return e.writesDvdMinusR;
    if (code == kCapWritesDvdPlusR) return e.writesDvdPlusR;
    return false;
}

bool DVDWriter::DriveUsable(int index) {
    Impl& m = *impl_;
    DriveEntry& e = m.At(index);
    if (e.imageFolder) return FolderUsable(e.folder);
    if (m.grabbed == e.drive) return true;
    if (m.job) return false;
    DrainMessages();
    if (burn::burn_drive_grab(e.drive, 0) != 1) {
        m.lastProblem = FailureFromQueue("Cannot open the drive " + e.address).text;
        return false;
    }
    burn::burn_drive_release(e.drive, 0);
    return true;
}

std::string DVDWriter::DriveVendor(int index) { return impl_->At(index).vendor; }
std::string DVDWriter::DriveProduct(int index) { return impl_->At(index).product; }

bool DVDWriter::SelectDrive(int index) {
    Impl& m = *impl_;
    if (index < 0 || index >= static_cast<int>(m.drives.size()))
        return m.Refuse("There is no drive with index " + std::to_string(index));
    if (m.job) return index == m.selected ? true : m.Refuse("The drive is busy writing");
    DriveEntry& e = m.drives[static_cast<std::size_t>(index)];
    if (index != m.selected) m.ReleaseOptical();
    if (e.imageFolder) {
        if (!FolderUsable(e.folder))
            return m.Refuse("The image folder " + e.folder.string() + " is missing or not writable");
        m.selected = index;
        return true;
    }
    if (!m.Grab(e, false)) return m.Refuse(FailureFromQueue("Cannot open the drive " + e.address).text);
    m.selected = index;
    return true;
}

std::string DVDWriter::DriveLetter(int index) {
    Impl& m = *impl_;
    DriveEntry& e = m.At(index);
    if (e.imageFolder) return !m.lastImage.empty() ? m.lastImage.string() : e.folder.string();
    return e.address;
}

std::int32_t DVDWriter::MaxWriteSpeed() {
    Impl& m = *impl_;
    DriveEntry& e = m.SelectedOrThrow();
    if (e.imageFolder) return 0;
    if (!m.job) m.GrabOrThrow(e, false);
    return burn::burn_drive_get_write_speed(e.drive);
}

void DVDWriter::SetWriteSpeed(std::int32_t kbPerSecond) { impl_->speed = kbPerSecond; }

void DVDWriter::LoadTray(bool close) {
    Impl& m = *impl_;
    DriveEntry& e = m.SelectedOrThrow();
    if (e.imageFolder) return;
    m.RequireIdle(close ? "close the tray" : "open the tray");
    if (close) {
        m.GrabOrThrow(e, true);
        return;
    }
    m.GrabOrThrow(e, false);
    m.medium.reset();
    burn::burn_drive_release(e.drive, 1);
    m.grabbed = nullptr;
}

void DVDWriter::AllowRemoval(bool allow) {
    Impl& m = *impl_;
    DriveEntry* e = m.Selected();
    if (!e || e->imageFolder || m.job) return;
    if (allow) {
        m.ReleaseOptical();
    } else {
        m.GrabOrThrow(*e, false);
    }
}

int DVDWriter::DiscStatus() {
    Impl& m = *impl_;
    DriveEntry* e = m.Selected();
    if (!e) return kNoDriveSelected;
    if (e->imageFolder) {
        if (!FolderUsable(e->folder)) return kImageFolderUnusable;
        if (m.labelSet && ExistsNoFollow(e->folder / (m.label + ".iso"))) return kImageExists;
        if (m.sizedBytes >= 0) {
            auto room = FreeBytes(e->folder);
            if (room && *room < m.sizedBytes) return kImageFolderFull;
        }
        return kDiscReady;
    }
    if (m.job || !m.Grab(*e, false)) return kDriveNotReady;
    burn::burn_disc_status s = burn::burn_disc_get_status(e->drive);
    // The state may need a moment to settle after a disc was inserted.
    for (int i = 0; i < 20 && s == burn::BURN_DISC_UNREADY; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s = burn::burn_disc_get_status(e->drive);
    }
    switch (s) {
    case burn::BURN_DISC_BLANK: {
        int profile = 0;
        char name[80] = {};
        burn::burn_disc_get_profile(e->drive, &profile, name);
        return IsDvdProfile(profile) ? kDiscReady : kDiscUnsuitable;
    }
    case burn::BURN_DISC_EMPTY: return kNoDisc;
    case burn::BURN_DISC_APPENDABLE:
    case burn::BURN_DISC_FULL: return kDiscNotBlank;
    case burn::BURN_DISC_UNSUITABLE: return kDiscUnsuitable;
    default: return kDriveNotReady;
    }
}

void DVDWriter::Eject() {
    DriveEntry* e = impl_->Selected();
    if (!e) return;
    if (e->imageFolder) {
        // The written image "leaves the drive": the next disc is a new one,
        // whose label is not known yet (DiscStatus must not keep answering
        // for the image just recorded).
        impl_->label.clear();
        impl_->labelSet = false;
        return;
    }
    LoadTray(false);
}

void DVDWriter::ImageOption(bool on) {
    impl_->joliet = on;
    impl_->sizedBytes = -1;
}

bool DVDWriter::CloneDirectoryToISO(const std::string& imageDir, const std::string& sourcePattern) {
    Impl& m = *impl_;
    m.lastProblem.clear();
    if (!m.image) NewImage();

    // "<folder>/*" or "<folder>/*.*": the content of <folder>.
    std::string folder = sourcePattern;
    for (const char* wildcard : {"*.*", "*"}) {
        const std::string w = wildcard;
        if (folder.size() >= w.size() && folder.compare(folder.size() - w.size(), w.size(), w) == 0) {
            folder.erase(folder.size() - w.size());
            break;
        }
    }
    if (folder.empty() || folder.back() != '/' || folder.find('*') != std::string::npos)
        return m.Refuse("The source pattern must name a folder followed by /*: " + sourcePattern);
    std::error_code ec;
    fs::path source = fs::absolute(fs::path(folder), ec);
    if (ec || !fs::is_directory(source, ec)) return m.Refuse("The folder " + folder + " does not exist");
    source = source.lexically_normal();

    // The folder of the image that receives the content.
    IsoDir* parent = iso_image_get_root(m.image.get());
    std::string parentPath;
    if (imageDir != "\\") {
        for (const auto& part : fs::path(imageDir).relative_path()) {
            const std::string name = part.string();
            if (name.empty() || name == ".") continue;
            if (name == "..") return m.Refuse("The image folder " + imageDir + " leaves the image");
            IsoNode* node = nullptr;
            if (iso_dir_get_node(parent, name.c_str(), &node) == 1) {
                if (iso_node_get_type(node) != LIBISO_DIR) return m.Refuse(imageDir + " is a file in the image");
                parent = reinterpret_cast<IsoDir*>(node);
            } else {
                IsoDir* dir = nullptr;
                const int r = iso_tree_add_new_dir(parent, name.c_str(), &dir);
                if (r < 0) return m.Refuse("Cannot create " + imageDir + " in the image: " + IsoText(r));
                parent = dir;
            }
            parentPath += "/" + name;
        }
    }

    DrainMessages();
    const int r = iso_tree_add_dir_rec(m.image.get(), parent, source.c_str());
    auto messages = DrainMessages();
    m.imageHasContent = true;
    m.sizedBytes = -1;
    if (r < 0) {
        std::string text = "Cannot add " + source.string() + " to the image: " + IsoText(r);
        if (const LibMessage* w = FirstMessage(messages, SeverityRank("SORRY"))) text += " (" + Describe(*w) + ")";
        return m.Refuse(text);
    }
    if (const LibMessage* w = FirstMessage(messages, SeverityRank("SORRY")))
        return m.Refuse("Not every file could be added to the image: " + Describe(*w));

    // Every regular file of the folder must be in the image with its size:
    // a file that libisofs skipped would otherwise be missing from the disc.
    for (auto it = fs::recursive_directory_iterator(source, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
        const std::string rel = it->path().lexically_relative(source).generic_string();
        const std::string inImage = parentPath + "/" + rel;
        IsoNode* node = nullptr;
        if (iso_tree_path_to_node(m.image.get(), inImage.c_str(), &node) != 1 || !node ||
            iso_node_get_type(node) != LIBISO_FILE)
            return m.Refuse("The file " + it->path().string() + " is missing from the image");
        const auto size = it->file_size(ec);
        const off_t inImageSize = iso_stream_get_size(iso_file_get_stream(reinterpret_cast<IsoFile*>(node)));
        if (!ec && static_cast<std::uintmax_t>(inImageSize) != size)
            return m.Refuse("The file " + it->path().string() + " changed while the image was built");
    }
    if (ec) return m.Refuse("Cannot list " + source.string() + ": " + ec.message());
    return true;
}

std::int32_t DVDWriter::ImageBlockCount() {
    Impl& m = *impl_;
    if (!m.image || !m.imageHasContent) throw Error(0, "No image has been built");
    if (m.sizedBytes < 0) m.sizedBytes = m.SizeImage();
    const std::int64_t blocks = (m.sizedBytes + kBlock - 1) / kBlock;
    if (blocks > INT32_MAX) throw Error(0, "The image is larger than any disc (" + std::to_string(m.sizedBytes) + " bytes)");
    return static_cast<std::int32_t>(blocks);
}

double DVDWriter::ImageBytes(std::int32_t blocks, int unit) {
    if (unit < 1) throw Error(0, "Unknown size unit " + std::to_string(unit));
    return static_cast<double>(blocks) * static_cast<double>(kBlock) / unit;
}

void DVDWriter::BurnMode(int mode) {
    if (mode != 0 && mode != 1) throw Error(0, "Unknown burn mode " + std::to_string(mode));
    impl_->burnMode = mode;
}
void DVDWriter::BurnSwitch1(bool on) { impl_->underrunProof = on; }
void DVDWriter::BurnSwitch2(bool on) { impl_->closeDisc = on; }
void DVDWriter::BurnSwitch3(bool on) { impl_->simulate = on; }
void DVDWriter::BurnSwitch4(bool on) { impl_->ejectAfter = on; }

void DVDWriter::VolumeLabel(const std::string& label) {
    if (label.size() > 32) throw Error(0, "The volume label \"" + label + "\" is longer than 32 characters");
    impl_->label = label;
    impl_->labelSet = true;
}

bool DVDWriter::StartBurn() {
    Impl& m = *impl_;
    m.lastProblem.clear();
    if (m.job) return m.Refuse("A burn is already running");
    DriveEntry* e = m.Selected();
    if (!e) return m.Refuse("No drive is selected");
    if (!m.image || !m.imageHasContent) return m.Refuse("No image has been built");
    m.medium.reset();

    auto job = std::make_unique<BurnJob>();
    job->imageFolder = e->imageFolder;
    job->simulate = m.simulate;
    job->ejectAfter = m.ejectAfter;
    if (m.sizedBytes < 0) m.sizedBytes = m.SizeImage();

    if (e->imageFolder) {
        if (m.label.empty() || m.label == "." || m.label == ".." || m.label.find('/') != std::string::npos ||
            m.label.find('\0') != std::string::npos)
            return m.Refuse("The volume label \"" + m.label + "\" cannot name an image file");
        if (!FolderUsable(e->folder))
            return m.Refuse("The image folder " + e->folder.string() + " is missing or not writable");
        job->finalPath = e->folder / (m.label + ".iso");
        if (ExistsNoFollow(job->finalPath))
            return m.Refuse("The image " + job->finalPath.string() + " exists already");
        auto room = FreeBytes(e->folder);
        if (room && *room < m.sizedBytes)
            return m.Refuse("The image folder " + e->folder.string() + " has room for " + std::to_string(*room) +
                            " bytes; the image needs " + std::to_string(m.sizedBytes));
        // Written under a temporary name; a stale one of an interrupted burn goes first.
        const fs::path part = e->folder / ("." + m.label + ".iso.part");
        ::unlink(part.c_str());
        const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) return m.Refuse("Cannot create " + part.string() + ": " + std::strerror(errno));
        ::close(fd);
        job->partPath = part;
        DrainMessages();
        std::string address = "stdio:" + part.string();
        if (burn::burn_drive_scan_and_grab(&job->stdio.info, address.data(), 0) != 1) {
            job->stdio.info = nullptr;
            return m.Refuse(FailureFromQueue("Cannot open " + part.string() + " for writing").text);
        }
        job->drive = job->stdio.info[0].drive;
    } else {
        if (!m.Grab(*e, false)) return m.Refuse(FailureFromQueue("Cannot open the drive " + e->address).text);
        if (burn::burn_disc_get_status(e->drive) != burn::BURN_DISC_BLANK)
            return m.Refuse("The disc in " + e->address + " is not blank");
        const off_t room = burn::burn_disc_available_space(e->drive, nullptr);
        if (room < m.sizedBytes)
            return m.Refuse("The disc has room for " + std::to_string(room) + " bytes; the image needs " +
                            std::to_string(m.sizedBytes));
        job->drive = e->drive;
    }

    // The image generator starts its thread now.
    iso_image_set_volume_id(m.image.get(), m.label.c_str());
    IsoWriteOptsPtr isoOpts = m.MakeWriteOpts(false);
    ::burn_source* iso = nullptr;
    DrainMessages();
    int r = iso_image_create_burn_source(m.image.get(), isoOpts.get(), &iso);
    if (r < 0) return m.Refuse(FailureFromQueue("Cannot start the image generator: " + IsoText(r)).text);
    iso_image_ref(m.image.get());
    job->image.reset(m.image.get());
    job->isoSource = iso;
    job->source = NewCountingSource(AsBurnSource(iso), &job->counter);
    job->expectedBytes = job->source->get_size(job->source.get());
    m.sizedBytes = job->expectedBytes;  // the files may have changed since the image was sized
    if (e->imageFolder) {
        auto room = FreeBytes(e->folder);
        if (room && *room < job->expectedBytes)
            return m.Refuse("The image folder " + e->folder.string() + " has room for " + std::to_string(*room) +
                            " bytes; the image needs " + std::to_string(job->expectedBytes));
    }

    job->disc.reset(burn::burn_disc_create());
    job->session.reset(burn::burn_session_create());
    job->track.reset(burn::burn_track_create());
    if (!job->disc || !job->session || !job->track) return m.Refuse("Out of memory");
    burn::burn_disc_add_session(job->disc.get(), job->session.get(), BURN_POS_END);
    burn::burn_track_define_data(job->track.get(), 0, 0, 0, BURN_MODE1);
    if (burn::burn_track_set_source(job->track.get(), job->source.get()) != burn::BURN_SOURCE_OK)
        return m.Refuse("The image cannot be handed to the drive");
    burn::burn_session_add_track(job->session.get(), job->track.get(), BURN_POS_END);

    job->opts.reset(burn::burn_write_opts_new(job->drive));
    if (!job->opts) return m.Refuse("Out of memory");
    burn::burn_write_opts* o = job->opts.get();
    burn::burn_write_opts_set_multi(o, m.closeDisc ? 0 : 1);
    burn::burn_write_opts_set_underrun_proof(o, m.underrunProof ? 1 : 0);
    burn::burn_write_opts_set_simulate(o, m.simulate ? 1 : 0);
    std::vector<char> reasons(BURN_REASONS_LEN, '\0');
    if (m.burnMode == 1)
        burn::burn_write_opts_set_write_type(o, burn::BURN_WRITE_SAO, burn::BURN_BLOCK_SAO);
    else
        burn::burn_write_opts_set_write_type(o, burn::BURN_WRITE_TAO, burn::BURN_BLOCK_MODE1);
    if (burn::burn_precheck_write(o, job->disc.get(), reasons.data(), 1) <= 0) {
        // The medium does not allow the mode asked for: let libburn choose.
        // Bit 1: the reasons come back here, not as messages.
        if (burn::burn_write_opts_auto_write_type(o, job->disc.get(), reasons.data(), 2) == burn::BURN_WRITE_NONE)
            return m.Refuse("The medium cannot be written: " + TrimRight(reasons.data()));
    }
    if (!e->imageFolder) burn::burn_drive_set_speed(job->drive, 0, m.ActualSpeed(*e, m.speed));

    // From here on every message may concern this burn (the generator runs already).
    job->Collect(DrainMessages());
    burn::burn_disc_write(o, job->disc.get());
    job->started = true;
    burn::burn_progress p{};
    // A refused write leaves the drive idle with its reason in the queue;
    // Poll() then ends the burn with that reason.
    job->workerSpawned = burn::burn_drive_get_status(job->drive, &p) != burn::BURN_DRIVE_IDLE;
    job->Collect(DrainMessages());
    m.job = std::move(job);
    return true;
}

void DVDWriter::AbortBurn() {
    Impl& m = *impl_;
    if (!m.job || m.job->aborted) return;
    m.job->aborted = true;
    burn::burn_drive_cancel(m.job->drive);
}

std::vector<DiscFile> DVDWriter::ListDiscFolder(const std::string& folder) {
    Impl& m = *impl_;
    m.RequireIdle("read the disc");
    // Every listing reads the medium anew.
    m.medium.reset();
    m.medium = m.OpenMedium();
    return m.medium->List(folder);
}

std::vector<std::uint8_t> DVDWriter::ReadDiscFile(const std::string& folder, const std::string& name) {
    Impl& m = *impl_;
    m.RequireIdle("read the disc");
    if (!m.medium) m.medium = m.OpenMedium();
    return m.medium->Read(folder, name);
}

bool DVDWriter::AdoptWrittenImage(const std::string& label) {
    Impl& m = *impl_;
    m.RequireIdle("take over an image");
    DriveEntry* e = m.Selected();
    if (!e || !e->imageFolder || label.empty() || label.find('/') != std::string::npos) return false;
    const fs::path image = e->folder / (label + ".iso");
    struct stat st {};
    if (::lstat(image.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) throw Error(0, "The image " + image.string() + " is not a regular file");
    auto reader = std::make_unique<MediumReader>(disc_detail::OpenImageFile(image));
    if (const std::string id = reader->VolumeId(); id != label)
        throw Error(0, "The image " + image.string() + " carries the volume label \"" + id + "\"");
    m.medium = std::move(reader);
    m.lastImage = image;
    return true;
}

std::string DVDWriter::SetAsideUnverifiedImage() {
    Impl& m = *impl_;
    m.RequireIdle("set an image aside");
    DriveEntry* e = m.Selected();
    if (!e || !e->imageFolder || m.lastImage.empty() || !ExistsNoFollow(m.lastImage)) return "";
    m.medium.reset();
    int err = EEXIST;
    for (int k = 1; k <= 1000 && err == EEXIST; ++k) {
        fs::path aside = m.lastImage;
        aside += k == 1 ? std::string(".unverified") : ".unverified-" + std::to_string(k);
        err = PublishImage(m.lastImage, aside);
        if (err == 0) {
            SyncFolder(aside.parent_path());
            m.lastImage.clear();
            return aside.filename().string();
        }
    }
    throw Error(err, "The image " + m.lastImage.string() + " failed its verification and cannot be set aside: " +
                         std::strerror(err));
}

bool DVDWriter::WrittenImageStays() const {
    const Impl& m = *impl_;
    return !m.lastImage.empty() && ExistsNoFollow(m.lastImage);
}

std::string DVDWriter::LastProblem() const { return impl_->lastProblem; }
std::filesystem::path DVDWriter::LastImage() const { return impl_->lastImage; }
bool DVDWriter::Burning() const { return impl_->job != nullptr; }

}  // namespace velunor
