#include "app/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>
#include <system_error>

namespace velunor {

Error ErrnoError(int err, const std::string& what) {
    return Error(err, what + ": " + std::generic_category().message(err));
}

void SyncFolder(const std::filesystem::path& folder) {
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

void ReplaceFileAtomically(const std::filesystem::path& file, const std::string& content) {
    const std::string what = file.filename().string() + " cannot be written";
    auto tmp = file;
    tmp += ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) throw ErrnoError(errno, what);
    auto fail = [&](int err) {
        if (fd >= 0) ::close(fd);
        ::unlink(tmp.c_str());
        throw ErrnoError(err, what);
    };
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(n == 0 ? EIO : errno);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) fail(errno);
    int rc = ::close(fd);
    fd = -1;
    if (rc != 0) fail(errno);
    if (::rename(tmp.c_str(), file.c_str()) != 0) fail(errno);
    // Make the rename itself durable.
    SyncFolder(file.has_parent_path() ? file.parent_path() : std::filesystem::path("."));
}

void EmptyFolder(const std::string& path) {
    if (path.empty()) throw Error(0, "EmptyFolder: no folder given");
    const std::string folder = path.back() == '/' ? path : path + "/";
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec), end;
    if (ec == std::errc::no_such_file_or_directory) return;
    if (ec) throw Error(ec.value(), "Cannot list " + folder + ": " + ec.message());
    std::vector<std::filesystem::path> files;
    for (; it != end; it.increment(ec)) {
        std::error_code sec;
        if (!it->is_directory(sec) || it->is_symlink(sec)) files.push_back(it->path());
    }
    if (ec) throw Error(ec.value(), "Cannot list " + folder + ": " + ec.message());
    std::optional<Error> first;
    for (const auto& f : files) {
        std::error_code rec;
        std::filesystem::remove(f, rec);
        if (rec && !first) first = Error(rec.value(), "Cannot delete " + f.string() + ": " + rec.message());
    }
    if (first) throw *first;
}

}  // namespace velunor
