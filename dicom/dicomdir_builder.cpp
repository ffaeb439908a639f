// DicomDirBuilder over DCMTK's DicomDirInterface.
//
// DicomDirInterface builds the record hierarchy (patient, study, series and
// one record per file, typed by SOP class, with the required keys) but
// accepts only conformant DICOM file IDs: up to 8 components of up to 8
// characters A-Z, 0-9 and "_". Staged names of the archive profile
// ("1.2.840....dcm", "IM00001.dcm", "Müller's Thorax.DCM") are none of that
// (the general-purpose profile's "IM000001" are). So every added file gets a
// conformant alias in a private work folder, a link "F0000001" to the real
// file; the interface reads the file through it and writes its
// DICOMDIR there. That DICOMDIR is then loaded as a DcmDicomDir, every
// Referenced File ID is replaced by the file's real path relative to the
// disc root ("1\name"), and DcmDicomDir::write() writes it again, which
// recomputes the record offsets that the longer IDs move. The result is
// copied to its target through a temporary name.
#include "dicom/dcmtk_support.hpp"

#include <dcmtk/dcmdata/dcddirif.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/dcmdata/dcdirrec.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "app/error.hpp"

namespace fs = std::filesystem;

namespace velunor {

namespace {

constexpr const char* kFilesetId = "VELUNOR";
constexpr std::size_t kMaxComponents = 8;   // DICOM's limit for a file ID
constexpr unsigned kMaxFiles = 9999999;     // aliases F0000001 .. F9999999
constexpr std::size_t kMaxQueued = 256;     // files waiting for the interface

constexpr const char* kWorkPrefix = "velunor-dicomdir-";
constexpr const char* kWorkLock = ".owner";
constexpr const char* kWorkLockNew = ".owner-new";   // its name until it is locked

// Removes the work folders that builders of processes that have ended left
// behind (a killed run cannot remove its own). Their hard links would keep
// the staged files' data on disk after the staging tree is emptied. A work
// folder is known to be abandoned when its lock file exists and can be
// locked: the owner holds the lock for as long as it lives. Never throws.
void RemoveAbandonedWorkFolders(const fs::path& temp) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(temp, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().rfind(kWorkPrefix, 0) != 0 || it->is_symlink() || !it->is_directory())
            continue;
        int fd = ::open((it->path() / kWorkLock).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        // An owner killed while setting its folder up left the lock file
        // under its first name (still nothing linked in), which it locks
        // the moment it creates it.
        if (fd < 0) fd = ::open((it->path() / kWorkLockNew).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            // Not even that: killed right after creating the folder, or an
            // owner about to create its lock file this very moment. A
            // minute later it is surely the former.
            std::error_code age;
            const auto written = fs::last_write_time(it->path(), age);
            if (!age && fs::file_time_type::clock::now() - written > std::chrono::minutes(1)) {
                std::error_code rm;
                fs::remove_all(it->path(), rm);
            }
            continue;
        }
        const bool abandoned = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (abandoned) {
            std::error_code rm;
            fs::remove_all(it->path(), rm);
        }
        ::close(fd);
    }
}

// A private folder under the system's temporary directory, removed with
// its content when the builder goes. It holds a lock file, locked for as
// long as the folder is in use, so that a later builder can tell a folder
// left behind by a process that was killed from one still in use.
struct WorkFolder {
    fs::path path;
    int lock = -1;

    WorkFolder() {
        const fs::path temp = fs::temp_directory_path();
        RemoveAbandonedWorkFolders(temp);
        std::string pattern = (temp / (std::string(kWorkPrefix) + "XXXXXX")).string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data())) {
            const int err = errno;
            throw Error(err, std::string("Cannot create a work folder for the DICOMDIR: ") + std::strerror(err));
        }
        path = buffer.data();
        // Locked under another name first, so that the lock file never
        // appears unlocked.
        const fs::path staging = path / kWorkLockNew;
        lock = ::open(staging.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lock < 0 || ::flock(lock, LOCK_EX) != 0 || ::rename(staging.c_str(), (path / kWorkLock).c_str()) != 0) {
            const int err = errno;
            Release();
            throw Error(err, std::string("Cannot create a work folder for the DICOMDIR: ") + std::strerror(err));
        }
    }
    ~WorkFolder() { Release(); }
    void Release() {
        std::error_code ec;
        fs::remove_all(path, ec);
        if (lock >= 0) ::close(lock);
        lock = -1;
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
};

// `text` in ISO 8859-1 when it is valid UTF-8 made only of characters up to
// U+00FF; otherwise `text` unchanged. DICOM readers decode a Referenced File
// ID in the default repertoire extended by ISO 8859-1, so "Müller" must be
// stored as one byte 0xFC to be found again.
std::string ToLatin1IfPossible(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
            out += static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
            i += 2;
        } else {
            return text;
        }
    }
    return out;
}

// A file ID component as DICOM allows it: 1 to 8 of A-Z, 0-9 and "_".
bool ConformantComponent(const std::string& c) {
    return !c.empty() && c.size() <= 8 && std::all_of(c.begin(), c.end(), [](char ch) {
        return (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
    });
}

// "1/name" -> "1\name" (as DICOM separates file ID components), checked;
// with `conformant`, every component must be one DICOM allows.
std::string ReferencedFileId(const std::string& relativePath, bool conformant) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = relativePath.find('/', start);
        components.push_back(relativePath.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (components.size() > kMaxComponents)
        throw Error(0, "\"" + relativePath + "\" has more than 8 path components, more than a DICOMDIR can refer to");
    std::string id;
    for (const std::string& c : components) {
        if (c.empty() || c == "." || c == "..")
            throw Error(0, "\"" + relativePath + "\" is not a path relative to the disc root");
        if (c.find('\\') != std::string::npos)
            throw Error(0, "\"" + relativePath +
                               "\" holds a backslash, which separates the components of a DICOM file ID; "
                               "the DICOMDIR cannot refer to it");
        if (conformant && !ConformantComponent(c))
            throw Error(0, "\"" + relativePath + "\" is no DICOM file ID (each part 1 to 8 of A-Z, 0-9, _); "
                           "a general-purpose DICOMDIR cannot refer to it");
        if (!id.empty()) id += '\\';
        id += ToLatin1IfPossible(c);
    }
    return id;
}

std::string AliasName(unsigned number) {
    char name[16];
    std::snprintf(name, sizeof name, "F%07u", number);
    return name;
}

}  // namespace

// A file waiting for the interface.
struct Job {
    std::string alias;          // "F0000001", in the work folder
    std::string relativePath;   // for messages
    std::string source;         // for messages
};

struct DicomDirBuilder::Impl {
    explicit Impl(MediaProfile p) : profile(p) {}
    const MediaProfile profile;
    WorkFolder work;   // first member: removed after the interface has let go of its files
    DicomDirInterface dicomdir;   // used by the worker only, until it has ended
    std::map<std::string, std::string> realIds;   // alias ("F0000001") -> Referenced File ID
    std::map<std::string, std::string> byKey;     // SOP instance UID -> relative path of its record
    std::vector<std::string> duplicates;
    unsigned count = 0;

    // The interface reads each file again; a worker thread feeds it while
    // the caller reads the next file, so the two reads overlap. The caller
    // learns of a refused file at its next AddFile or at WriteDicomDir.
    std::mutex mutex;
    std::condition_variable wake;    // a job was queued, or the queue closed
    std::condition_variable room;    // the queue shrank, or the worker failed
    std::deque<Job> queue;
    bool closing = false;            // no more jobs come
    bool abandoned = false;          // the builder goes: drop what is queued
    std::optional<Error> failure;    // the first file the interface refused
    std::thread worker;              // last member: starts after the others, joined first

    fs::path DicomDirPath() const { return work.path / "DICOMDIR"; }

    void Work();
    void Add(const Job& job);
    // Lets the worker finish the queue and end; rethrows its failure.
    void Finish();
    void ThrowIfFailed() {
        std::lock_guard<std::mutex> lock(mutex);
        if (failure) throw *failure;
    }
};

void DicomDirBuilder::Impl::Work() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return !queue.empty() || closing; });
            if (queue.empty() || abandoned) return;
            job = std::move(queue.front());
            queue.pop_front();
            room.notify_one();
            if (failure) continue;   // the DICOMDIR fails anyway
        }
        try {
            Add(job);
        } catch (const Error& e) {
            std::lock_guard<std::mutex> lock(mutex);
            failure = e;
            room.notify_all();
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> lock(mutex);
            failure = Error(-1, "DICOMDIR record for " + job.relativePath + ": " + e.what());
            room.notify_all();
        }
    }
}

void DicomDirBuilder::Impl::Add(const Job& job) {
    DcmtkMessages messages;   // this thread's own scope
    OFCondition status = dicomdir.addDicomFile(OFFilename(job.alias.c_str()), OFFilename(work.path.c_str()));
    if (status == EC_ApplicationProfileViolated) {
        // A required record value is missing: let DCMTK invent it, for
        // this file only (the invent mode costs time for every later file).
        dicomdir.enableInventMode(OFTrue);
        status = dicomdir.addDicomFile(OFFilename(job.alias.c_str()), OFFilename(work.path.c_str()));
        dicomdir.enableInventMode(OFFalse);
    }
    if (status.good()) return;
    // DCMTK names the file by its alias; the operator knows it by its path.
    std::string reasons = messages.Summary();
    for (const std::string& name : {work.path.string() + "/" + job.alias, job.alias}) {
        for (std::size_t at = reasons.find(name); at != std::string::npos;
             at = reasons.find(name, at + job.relativePath.size()))
            reasons.replace(at, name.size(), job.relativePath);
    }
    throw Error(status.code(),
                "The DICOMDIR refuses " + job.relativePath + " (" + job.source + "): " + status.text() + reasons);
}

void DicomDirBuilder::Impl::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing = true;
    }
    wake.notify_all();
    if (worker.joinable()) worker.join();
    if (failure) throw *failure;
}

DicomDirBuilder::DicomDirBuilder(MediaProfile profile) : impl_(std::make_unique<Impl>(profile)) {
    InitDicomToolkit();
    DicomDirInterface& d = impl_->dicomdir;
    const bool archive = profile == MediaProfile::Archive;
    // Archive discs hold Implicit VR Little Endian files, which no general-
    // purpose profile allows; the others are checked as the profile says.
    if (archive) d.disableTransferSyntaxCheck();
    d.disableBackupMode();
    d.enableRetiredSOPClassSupport();  // older archives hold retired classes (e.g. US 1.2.840.10008.5.1.4.1.1.6)
    // The consistency check compares every file with the records made
    // before and only warns (about differing patient names and the like);
    // it costs a sixth of the time and changes nothing that is written.
    d.disableConsistencyCheck();
    DcmtkMessages messages;
    const OFCondition status =
        d.createNewDicomDir(archive ? DicomDirInterface::AP_GeneralPurpose : DicomDirInterface::AP_GeneralPurposeDVDJPEG,
                            OFFilename(impl_->DicomDirPath().c_str()), kFilesetId);
    if (status.bad())
        throw Error(status.code(), std::string("Cannot start a DICOMDIR: ") + status.text() + messages.Summary());
    impl_->worker = std::thread([impl = impl_.get()] { impl->Work(); });
}

DicomDirBuilder::~DicomDirBuilder() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->closing = true;
        impl_->abandoned = true;
    }
    impl_->wake.notify_all();
    if (impl_->worker.joinable()) impl_->worker.join();
}

void DicomDirBuilder::AddFile(const DicomDataset& dataset, const std::string& relativePath,
                              const std::string& dirEntryKey, int flags) {
    impl_->ThrowIfFailed();
    if (impl_->closing) throw Error(0, "DICOMDIR record for " + relativePath + ": the DICOMDIR has been written");
    if (flags != 0)
        throw Error(0, "DICOMDIR record for " + relativePath + ": flags " + std::to_string(flags) +
                           " are not supported (0 is the only value)");
    if (!dataset.impl || dataset.impl->source.empty())
        throw Error(0, "DICOMDIR record for " + relativePath +
                           ": the dataset was not read from a file, so no record can refer to it");
    const std::string fileId = ReferencedFileId(relativePath, impl_->profile != MediaProfile::Archive);
    const std::string key = dataset.DirEntryKey();
    if (dirEntryKey != key)
        throw Error(0, "DICOMDIR record for " + relativePath + ": the entry key \"" + dirEntryKey +
                           "\" does not belong to this dataset (SOP Instance UID " + key + ")");

    if (impl_->byKey.count(key)) {
        // DICOM references a SOP instance once; DCMTK would skip it too.
        impl_->duplicates.push_back(relativePath);
        return;
    }
    if (impl_->count >= kMaxFiles)
        throw Error(0, "The DICOMDIR cannot refer to more than " + std::to_string(kMaxFiles) + " files");

    const std::string alias = AliasName(impl_->count + 1);
    const fs::path link = impl_->work.path / alias;
    // A hard link costs a directory entry only; a symbolic link (needed
    // across file systems) costs an inode, many times slower on ext4.
    std::error_code ec;
    fs::create_hard_link(dataset.impl->source, link, ec);
    if (ec) {
        ec.clear();
        fs::create_symlink(dataset.impl->source, link, ec);
    }
    if (ec) throw Error(ec.value(), "DICOMDIR record for " + relativePath + ": " + ec.message());

    {
        std::unique_lock<std::mutex> lock(impl_->mutex);
        impl_->room.wait(lock, [this] { return impl_->queue.size() < kMaxQueued || impl_->failure; });
        if (impl_->failure) throw *impl_->failure;
        impl_->queue.push_back({alias, relativePath, dataset.impl->source.string()});
    }
    impl_->wake.notify_one();
    ++impl_->count;
    impl_->realIds.emplace(alias, fileId);
    impl_->byKey.emplace(key, relativePath);
}

namespace {

// Replaces the alias of every record below `record` by the real file ID;
// collects the aliases met.
void RewriteFileIds(DcmDirectoryRecord& record, const std::map<std::string, std::string>& realIds,
                    std::set<std::string>& seen) {
    for (unsigned long i = 0; i < record.cardSub(); ++i) {
        DcmDirectoryRecord* sub = record.getSub(i);
        if (!sub) continue;
        OFString alias;
        if (sub->findAndGetOFStringArray(DCM_ReferencedFileID, alias).good() && !alias.empty()) {
            const auto it = realIds.find(alias.c_str());
            if (it == realIds.end())
                throw Error(0, std::string("The DICOMDIR holds a record for an unknown file \"") + alias.c_str() + "\"");
            if (!seen.insert(it->first).second)
                throw Error(0, "The DICOMDIR holds two records for " + it->second);
            const OFCondition status = sub->putAndInsertString(DCM_ReferencedFileID, it->second.c_str());
            if (status.bad())
                throw Error(status.code(), "Cannot set the file ID " + it->second + ": " + status.text());
        }
        RewriteFileIds(*sub, realIds, seen);
    }
}

}  // namespace

void DicomDirBuilder::WriteDicomDir(const fs::path& path) {
    impl_->Finish();
    DcmtkMessages messages;
    OFCondition status = impl_->dicomdir.writeDicomDir(EET_UndefinedLength, EGL_withoutGL);
    if (status.bad())
        throw Error(status.code(), std::string("Cannot write the DICOMDIR: ") + status.text() + messages.Summary());

    {
        DcmDicomDir dir(OFFilename(impl_->DicomDirPath().c_str()), kFilesetId);
        if (dir.error().bad())
            throw Error(dir.error().code(),
                        std::string("Cannot read back the DICOMDIR: ") + dir.error().text() + messages.Summary());
        std::set<std::string> seen;
        RewriteFileIds(dir.getRootRecord(), impl_->realIds, seen);
        if (seen.size() != impl_->realIds.size()) {
            std::string missing;
            std::size_t listed = 0;
            for (const auto& [alias, id] : impl_->realIds) {
                if (seen.count(alias)) continue;
                if (listed++ < 5) missing += (missing.empty() ? "" : ", ") + id;
            }
            throw Error(0, "The DICOMDIR has no record for " + std::to_string(impl_->realIds.size() - seen.size()) +
                               " file(s): " + missing + (listed > 5 ? ", ..." : ""));
        }
        status = dir.write(DICOMDIR_DEFAULT_TRANSFERSYNTAX, EET_UndefinedLength, EGL_withoutGL);
        if (status.bad())
            throw Error(status.code(),
                        std::string("Cannot write the DICOMDIR: ") + status.text() + messages.Summary());
    }

    // Copy into the target folder under a temporary name, then rename.
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::string pattern = (folder / ".Dicomdir.XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = ::mkstemp(buffer.data());
    if (fd < 0) {
        const int err = errno;
        throw Error(err, "Cannot write " + path.string() + ": " + std::strerror(err));
    }
    ::close(fd);
    const fs::path temporary(buffer.data());
    std::error_code ec;
    fs::copy_file(impl_->DicomDirPath(), temporary, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::permissions(temporary, fs::perms(0644), ec);
    if (!ec) fs::rename(temporary, path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw Error(ec.value(), "Cannot write " + path.string() + ": " + ec.message());
    }
}

const std::vector<std::string>& DicomDirBuilder::Duplicates() const { return impl_->duplicates; }

}  // namespace velunor
