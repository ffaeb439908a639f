// Extraction of study ZIP archives over libzip.
//
// Every entry lands directly in the archive's own folder under the last
// component of its stored name. An archive is input from outside the
// program, so each entry is checked before anything is written: no name may
// lead out of the folder, links and special files are never created, an
// encrypted entry is not extracted (no password is known), and an entry
// larger than the space left on the volume is refused. A file is first
// written under a temporary name and renamed over the final name only when
// it is complete, so a failed entry never leaves a partial file and never
// damages the file it would have replaced.
#include "zip/unzip.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/error.hpp"

namespace velunor {

namespace {

namespace fs = std::filesystem;

struct ArchiveCloser {
    void operator()(zip_t* za) const { zip_discard(za); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveCloser>;

struct EntryCloser {
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};
using EntryPtr = std::unique_ptr<zip_file_t, EntryCloser>;

enum class EntryKind { Folder, File, Refused };

// What to do with an entry, judged by its stored name alone. For a file,
// `flatName` receives the name it is extracted under.
EntryKind JudgeName(std::string_view stored, std::string& flatName) {
    if (stored.empty()) return EntryKind::Refused;
    std::string name(stored);
    // Archives made on Windows may separate folders with "\".
    for (char& c : name)
        if (c == '\\') c = '/';
    // Absolute names: "/etc/x", and drive names such as "C:x" or "C:/x".
    if (name.front() == '/') return EntryKind::Refused;
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        return EntryKind::Refused;
    // A ".." anywhere marks a hostile or broken archive.
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (std::string_view(name).substr(start, end - start) == "..") return EntryKind::Refused;
        start = end + 1;
    }
    if (name.back() == '/') return EntryKind::Folder;
    std::string last = name.substr(name.rfind('/') + 1);  // npos + 1 == 0
    if (last.empty() || last == "." || last == "..") return EntryKind::Refused;
    flatName = last;
    return EntryKind::File;
}

// Judges the file type recorded by Unix archivers: only plain files (and
// folders, which are dropped) are extracted.
EntryKind JudgeType(zip_t* za, zip_uint64_t index, EntryKind byName) {
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(za, index, 0, &opsys, &attributes) != 0) return EntryKind::Refused;
    if (opsys != ZIP_OPSYS_UNIX) return byName;
    mode_t type = static_cast<mode_t>(attributes >> 16) & S_IFMT;
    if (type == 0 || type == S_IFREG) return byName;
    if (type == S_IFDIR) return byName == EntryKind::Refused ? EntryKind::Refused : EntryKind::Folder;
    return EntryKind::Refused;  // symbolic link, device, pipe, socket
}

// A file being written under a temporary name in the target folder; removed
// unless Commit() renamed it to its final name.
class PendingFile {
public:
    explicit PendingFile(const fs::path& folder) {
        std::random_device rd;
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            path_ = folder / (".unzip-" + std::to_string(rd()) + ".part");
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd_ < 0 && errno != EEXIST) break;
        }
        if (fd_ < 0) path_.clear();
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    bool IsOpen() const { return fd_ >= 0; }

    bool Write(const char* data, std::size_t size) {
        while (size > 0) {
            ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    // Closes the file and moves it over `finalPath` (which it replaces).
    bool Commit(const fs::path& finalPath) {
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return false;
        if (::rename(path_.c_str(), finalPath.c_str()) != 0) return false;
        path_.clear();
        return true;
    }

private:
    fs::path path_;
    int fd_ = -1;
};

// Extracts one plain-file entry to `folder`/`flatName`. False when it cannot
// be extracted completely; the folder is then as it was.
bool ExtractEntry(zip_t* za, zip_uint64_t index, const zip_stat_t& st, const fs::path& folder,
                  const std::string& flatName) {
    if (!(st.valid & ZIP_STAT_SIZE)) return false;
    if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE) return false;

    // The declared size has to fit into what is left on the volume; what
    // is written is held to the declared size, so a lying header cannot
    // fill the volume either.
    std::error_code ec;
    fs::space_info space = fs::space(folder, ec);
    if (ec || st.size >= space.available) return false;

    EntryPtr entry(zip_fopen_index(za, index, 0));
    if (!entry) return false;
    PendingFile out(folder);
    if (!out.IsOpen()) return false;

    std::vector<char> buffer(64 * 1024);
    zip_uint64_t written = 0;
    // Each round writes at least one byte of a bounded total, or ends.
    for (;;) {
        zip_int64_t n = zip_fread(entry.get(), buffer.data(), buffer.size());
        if (n < 0) return false;  // damaged data, CRC mismatch, missing password
        if (n == 0) break;
        if (static_cast<zip_uint64_t>(n) > st.size - written) return false;  // more than declared
        if (!out.Write(buffer.data(), static_cast<std::size_t>(n))) return false;
        written += static_cast<zip_uint64_t>(n);
    }
    if (written != st.size) return false;
    entry.reset();
    return out.Commit(folder / flatName);
}

}  // namespace

bool UnzipArchive(const std::filesystem::path& archive, const std::function<void()>& yield) {
    auto Yield = [&] {
        if (yield) yield();
    };
    Yield();
    fs::path folder = archive.parent_path();
    if (folder.empty())
        throw Error(0, "the archive path " + archive.string() + " names no folder to extract into");

    int error = 0;
    ArchivePtr za(zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
    bool allExtracted = static_cast<bool>(za);
    if (za) {
        zip_int64_t count = zip_get_num_entries(za.get(), 0);
        if (count < 0) allExtracted = false;
        for (zip_int64_t i = 0; i < count; ++i) {
            if (i > 0) Yield();
            zip_uint64_t index = static_cast<zip_uint64_t>(i);
            zip_stat_t st;
            zip_stat_init(&st);
            if (zip_stat_index(za.get(), index, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) {
                allExtracted = false;
                continue;
            }
            std::string flatName;
            EntryKind kind = JudgeType(za.get(), index, JudgeName(st.name, flatName));
            if (kind == EntryKind::Folder) continue;  // stored folders are dropped
            if (kind == EntryKind::Refused || !ExtractEntry(za.get(), index, st, folder, flatName))
                allExtracted = false;
        }
    }
    Yield();
    return allExtracted;
}

}  // namespace velunor
