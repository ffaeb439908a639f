#include "disc/medium_reader.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "app/error.hpp"
#include "disc/libburnia.hpp"

namespace velunor::disc_detail {

namespace {

constexpr std::size_t kBlock = 2048;

class ImageFile final : public BlockDevice {
public:
    explicit ImageFile(const std::filesystem::path& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            const int e = errno;
            throw Error(e, "Cannot open the image " + path.string() + ": " + std::strerror(e));
        }
    }
    ~ImageFile() override { ::close(fd_); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    std::size_t ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t length) override {
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::pread(fd_, buffer + done, length - done, static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR) continue;
                const int e = errno;
                throw Error(e, "Cannot read the image " + path_.string() + ": " + std::strerror(e));
            }
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        return done;
    }
    std::size_t ChunkSize() const override { return 1 << 20; }
    std::string Name() const override { return path_.string(); }

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

class DriveMedium final : public BlockDevice {
public:
    DriveMedium(burn::burn_drive* drive, std::string name, bool retryBlocks)
        : drive_(drive), name_(std::move(name)), retryBlocks_(retryBlocks) {}

    std::size_t ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t length) override {
        off_t count = 0;
        // Bit 1: no message for a read error; the error is raised here.
        // Bit 2: no second attempt in single blocks.
        const int flags = retryBlocks_ ? 2 : 2 | 4;
        const int r = burn::burn_read_data(drive_, static_cast<off_t>(offset), reinterpret_cast<char*>(buffer),
                                           static_cast<off_t>(length), &count, flags);
        if (r <= 0) {
            if (count > 0) return static_cast<std::size_t>(count) / kBlock * kBlock;
            Failure f = FailureFromQueue("Cannot read the disc in " + name_);
            throw Error(f.number, f.text);
        }
        return static_cast<std::size_t>(count);
    }
    // 32 blocks: the unit DVD drives read in.
    std::size_t ChunkSize() const override { return 32 * kBlock; }
    std::string Name() const override { return name_; }

private:
    burn::burn_drive* drive_;
    std::string name_;
    bool retryBlocks_;
};

// State behind the IsoDataSource handed to libisofs: the device and a
// read-ahead buffer, so that libisofs' block-by-block reads turn into large
// sequential reads.
struct SourceState {
    std::unique_ptr<BlockDevice> device;
    std::vector<std::uint8_t> cache;
    std::uint64_t cacheStart = 0;
    std::size_t cacheLength = 0;
    std::string lastError;
};

int SourceOpen(IsoDataSource*) { return 1; }
int SourceClose(IsoDataSource*) { return 1; }

int SourceReadBlock(IsoDataSource* src, uint32_t lba, uint8_t* buffer) {
    auto* s = static_cast<SourceState*>(src->data);
    const std::uint64_t offset = static_cast<std::uint64_t>(lba) * kBlock;
    const bool cached = s->cacheLength > 0 && offset >= s->cacheStart &&
                        offset + kBlock <= s->cacheStart + s->cacheLength;
    if (!cached) {
        try {
            s->cache.resize(s->device->ChunkSize());
            s->cacheLength = 0;
            std::size_t n = 0;
            try {
                n = s->device->ReadAt(offset, s->cache.data(), s->cache.size());
            } catch (const Error&) {
                // A read-ahead may run past the end of a disc's track: retry the one block.
                n = s->device->ReadAt(offset, s->cache.data(), kBlock);
            }
            if (n < kBlock) {
                s->lastError = "The medium " + s->device->Name() + " ends before block " + std::to_string(lba);
                return ISO_DATA_SOURCE_FAILURE;
            }
            s->cacheStart = offset;
            s->cacheLength = n / kBlock * kBlock;
        } catch (const std::exception& e) {
            s->lastError = e.what();
            return ISO_DATA_SOURCE_FAILURE;
        }
    }
    std::memcpy(buffer, s->cache.data() + (offset - s->cacheStart), kBlock);
    return 1;
}

void SourceFree(IsoDataSource* src) {
    std::unique_ptr<SourceState> owned(static_cast<SourceState*>(src->data));
    src->data = nullptr;
}

std::string IsoText(int code) {
    const char* t = iso_error_to_msg(code);
    return t ? t : "error " + std::to_string(code);
}

std::uint32_t FirstBlock(IsoFile* file) {
    int count = 0;
    struct iso_file_section* sections = nullptr;
    std::uint32_t block = 0xffffffffu;
    if (iso_file_get_old_image_sections(file, &count, &sections, 0) == 1 && count > 0) block = sections[0].block;
    std::free(sections);  // allocated by libisofs with malloc()
    return block;
}

}  // namespace

std::unique_ptr<BlockDevice> OpenImageFile(const std::filesystem::path& path) {
    return std::make_unique<ImageFile>(path);
}

std::unique_ptr<BlockDevice> OpenDriveMedium(burn::burn_drive* drive, const std::string& name, bool retryBlocks) {
    return std::make_unique<DriveMedium>(drive, name, retryBlocks);
}

struct MediumReader::Impl {
    IsoImagePtr image;
    SourceState* state = nullptr;  // owned by the data source, which the image keeps
    std::string name;

    std::unique_ptr<MediumFile> Open(const std::string& path) const;

    IsoDir* Folder(const std::string& folder) const {
        IsoNode* node = nullptr;
        const std::string path = "/" + folder;
        if (iso_tree_path_to_node(image.get(), path.c_str(), &node) != 1 || !node)
            throw Error(0, "The folder " + folder + " is not on the medium " + name);
        if (iso_node_get_type(node) != LIBISO_DIR)
            throw Error(0, "The entry " + folder + " on the medium " + name + " is not a folder");
        return reinterpret_cast<IsoDir*>(node);
    }
};

MediumReader::MediumReader(std::unique_ptr<BlockDevice> device, ChecksumRecords records)
    : impl_(std::make_shared<Impl>()) {
    EnsureLibraries();
    impl_->name = device->Name();

    // libisofs releases the data source with free(): it is allocated with calloc().
    auto* src = static_cast<IsoDataSource*>(std::calloc(1, sizeof(IsoDataSource)));
    if (!src) throw Error(ENOMEM, "Out of memory");
    auto state = std::make_unique<SourceState>();
    state->device = std::move(device);
    impl_->state = state.get();
    src->version = 0;
    src->refcount = 1;
    src->open = SourceOpen;
    src->close = SourceClose;
    src->read_block = SourceReadBlock;
    src->free_data = SourceFree;
    src->data = state.release();

    IsoReadOpts* rawOpts = nullptr;
    if (iso_read_opts_new(&rawOpts, 0) < 0) {
        iso_data_source_unref(src);
        throw Error(ENOMEM, "Out of memory");
    }
    IsoReadOptsPtr opts(rawOpts);
    // The checksum array is found through the root's extended attributes (AAIP).
    iso_read_opts_set_no_aaip(opts.get(), 0);
    // 2: load the checksums without checking the session tags (0 is broken
    // for this kind of data source in libisofs 1.5.4); 1: do not load them.
    iso_read_opts_set_no_md5(opts.get(), records == ChecksumRecords::Load ? 2 : 1);

    IsoImage* rawImage = nullptr;
    if (iso_image_new("", &rawImage) < 0) {
        iso_data_source_unref(src);
        throw Error(ENOMEM, "Out of memory");
    }
    impl_->image.reset(rawImage);
    IsoReadImageFeatures* rawFeatures = nullptr;
    const int r = iso_image_import(impl_->image.get(), src, opts.get(), &rawFeatures);
    IsoFeaturesPtr features(rawFeatures);
    const std::string sourceError = impl_->state->lastError;
    iso_data_source_unref(src);  // the image keeps its own reference
    DrainMessages();
    if (r < 0) {
        impl_->image.reset();
        impl_->state = nullptr;
        std::string text = "The medium " + impl_->name + " cannot be read as an ISO image: " + IsoText(r);
        if (!sourceError.empty()) text += " (" + sourceError + ")";
        throw Error(0, text);
    }
}

MediumReader::~MediumReader() = default;

std::vector<DiscFile> MediumReader::List(const std::string& folder) const {
    IsoDir* dir = impl_->Folder(folder);
    IsoDirIter* rawIter = nullptr;
    if (iso_dir_get_children(dir, &rawIter) < 0) throw Error(0, "Cannot list the folder " + folder);
    IsoDirIterPtr iter(rawIter);

    struct Entry {
        std::uint32_t block;
        DiscFile file;
    };
    std::vector<Entry> entries;
    IsoNode* node = nullptr;
    while (iso_dir_iter_next(iter.get(), &node) == 1) {
        if (iso_node_get_type(node) != LIBISO_FILE) continue;
        auto* file = reinterpret_cast<IsoFile*>(node);
        Entry e;
        e.block = FirstBlock(file);
        e.file.name = iso_node_get_name(node);
        e.file.size = static_cast<std::uint64_t>(iso_stream_get_size(iso_file_get_stream(file)));
        entries.push_back(std::move(e));
    }
    // In the order of the files on the medium: a disc drive then reads forward only.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.block != b.block ? a.block < b.block : a.file.name < b.file.name;
    });
    std::vector<DiscFile> out;
    out.reserve(entries.size());
    const std::shared_ptr<const Impl> self = impl_;
    for (auto& e : entries) {
        e.file.open = [self, path = folder + "/" + e.file.name] { return self->Open(path); };
        out.push_back(std::move(e.file));
    }
    return out;
}

std::vector<MediumEntry> MediumReader::AllFiles() const {
    struct Entry {
        std::uint32_t block;
        MediumEntry file;
    };
    std::vector<Entry> entries;
    // Depth-first over the tree; the depth is bounded by what ISO 9660 allows.
    std::function<void(IsoDir*, const std::string&)> walk = [&](IsoDir* dir, const std::string& prefix) {
        IsoDirIter* rawIter = nullptr;
        if (iso_dir_get_children(dir, &rawIter) < 0) throw Error(0, "Cannot list the folder /" + prefix);
        IsoDirIterPtr iter(rawIter);
        IsoNode* node = nullptr;
        while (iso_dir_iter_next(iter.get(), &node) == 1) {
            const std::string path = prefix + iso_node_get_name(node);
            if (iso_node_get_type(node) == LIBISO_DIR) {
                walk(reinterpret_cast<IsoDir*>(node), path + "/");
            } else if (iso_node_get_type(node) == LIBISO_FILE) {
                auto* file = reinterpret_cast<IsoFile*>(node);
                const off_t size = iso_stream_get_size(iso_file_get_stream(file));
                entries.push_back({FirstBlock(file), {path, static_cast<std::uint64_t>(std::max<off_t>(size, 0))}});
            }
        }
    };
    walk(iso_image_get_root(impl_->image.get()), "");
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.block != b.block ? a.block < b.block : a.file.path < b.file.path;
    });
    std::vector<MediumEntry> out;
    out.reserve(entries.size());
    for (auto& e : entries) out.push_back(std::move(e.file));
    return out;
}

}  // namespace velunor::disc_detail

namespace velunor {

struct MediumFile::Impl {
    disc_detail::IsoImagePtr image;   // a reference of its own: the stream belongs to it
    disc_detail::SourceState* state = nullptr;
    IsoStream* stream = nullptr;
    bool open = false;
    std::string where;                // "1/a.dcm on the medium <name>"
    std::uint64_t size = 0;
    std::uint64_t done = 0;
    bool recorded = false;
    char recordedMd5[16] = {};
    // The running MD5 while recorded. OpenSSL's, not libisofs': the same
    // digest as the one libisofs recorded, computed faster, and the reading
    // of a disc is bound by it.
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md5{nullptr, &EVP_MD_CTX_free};
    bool hashedElsewhere = false;     // HashRead runs it, not Read
    bool hashFailed = false;          // OpenSSL refused a piece: the bytes count as differing
    std::optional<Md5Verdict> verdict;

    void Hash(const std::uint8_t* bytes, std::size_t length) noexcept {
        if (md5 && EVP_DigestUpdate(md5.get(), bytes, length) != 1) hashFailed = true;
    }

    ~Impl() {
        if (open) iso_stream_close(stream);
    }

    void Start() {
        md5.reset(EVP_MD_CTX_new());
        if (!md5 || EVP_DigestInit_ex(md5.get(), EVP_md5(), nullptr) != 1) throw Error(ENOMEM, "Cannot start an MD5");
    }

    void End() {
        if (!recorded || verdict) return;
        unsigned char actual[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        const bool done =
            !hashFailed && EVP_DigestFinal_ex(md5.get(), actual, &length) == 1 && length == sizeof recordedMd5;
        md5.reset();
        verdict = done && std::memcmp(actual, recordedMd5, sizeof recordedMd5) == 0 ? Md5Verdict::Match
                                                                                    : Md5Verdict::Mismatch;
    }
};

MediumFile::MediumFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MediumFile::~MediumFile() = default;

std::size_t MediumFile::Read(std::uint8_t* buffer, std::size_t length) {
    Impl& m = *impl_;
    if (m.done == m.size) {
        if (!m.hashedElsewhere) m.End();
        return 0;
    }
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, m.size - m.done));
    if (want == 0) return 0;
    if (!m.open) {
        m.state->lastError.clear();
        const int r = iso_stream_open(m.stream);
        if (r < 0) throw Error(0, "Cannot open " + m.where + ": " + disc_detail::IsoText(r));
        m.open = true;
    }
    std::size_t got = 0;
    std::string failure;
    while (got < want) {
        const int r = iso_stream_read(m.stream, buffer + got, want - got);
        if (r < 0) {
            failure = disc_detail::IsoText(r);
            break;
        }
        if (r == 0) {
            failure = "the file ends after " + std::to_string(m.done + got) + " of " + std::to_string(m.size) + " bytes";
            break;
        }
        got += static_cast<std::size_t>(r);
    }
    disc_detail::DrainMessages();
    if (!failure.empty()) {
        if (!m.state->lastError.empty()) failure += " (" + m.state->lastError + ")";
        throw Error(0, "Cannot read " + m.where + ": " + failure);
    }
    if (!m.hashedElsewhere) m.Hash(buffer, got);
    m.done += got;
    return got;
}

std::uint64_t MediumFile::Size() const { return impl_->size; }

void MediumFile::HashElsewhere() { impl_->hashedElsewhere = true; }

void MediumFile::HashRead(const std::uint8_t* bytes, std::size_t length) noexcept { impl_->Hash(bytes, length); }

Md5Verdict MediumFile::Verdict() {
    Impl& m = *impl_;
    if (!m.recorded) return Md5Verdict::NotRecorded;
    if (m.done == m.size) m.End();
    return m.verdict.value_or(Md5Verdict::Mismatch);
}

void MediumFile::RequireRecordedMd5() {
    switch (Verdict()) {
    case Md5Verdict::Match:
        return;
    case Md5Verdict::NotRecorded:
        throw Error(0, "No checksum was recorded for " + impl_->where);
    case Md5Verdict::Mismatch:
        break;
    }
    throw Error(0, "The content of " + impl_->where + " differs from what was written (MD5 mismatch)");
}

}  // namespace velunor

namespace velunor::disc_detail {

std::unique_ptr<MediumFile> MediumReader::Impl::Open(const std::string& path) const {
    const std::string where = path + " on the medium " + name;
    IsoNode* node = nullptr;
    if (path.empty() || iso_tree_path_to_node(image.get(), ("/" + path).c_str(), &node) != 1 || !node ||
        iso_node_get_type(node) != LIBISO_FILE)
        throw Error(0, "The file " + where + " does not exist");
    auto* file = reinterpret_cast<IsoFile*>(node);
    auto m = std::make_unique<MediumFile::Impl>();
    iso_image_ref(image.get());
    m->image.reset(image.get());
    m->state = state;
    m->stream = iso_file_get_stream(file);
    m->where = where;
    const off_t size = iso_stream_get_size(m->stream);
    if (size < 0) throw Error(0, "The size of " + where + " is unknown");
    m->size = static_cast<std::uint64_t>(size);
    m->recorded = iso_file_get_md5(image.get(), file, m->recordedMd5, 0) == 1;
    if (m->recorded) m->Start();
    return std::make_unique<MediumFile>(std::move(m));
}

std::unique_ptr<MediumFile> MediumReader::OpenFile(const std::string& path) const { return impl_->Open(path); }

std::vector<std::uint8_t> MediumReader::Read(const std::string& folder, const std::string& name) const {
    IsoDir* dir = impl_->Folder(folder);
    const std::string where = folder + "/" + name;
    IsoNode* node = nullptr;
    if (name.empty() || name.find('/') != std::string::npos || iso_dir_get_node(dir, name.c_str(), &node) != 1 ||
        !node || iso_node_get_type(node) != LIBISO_FILE)
        throw Error(0, "The file " + where + " is not on the medium " + impl_->name);
    std::unique_ptr<MediumFile> file = OpenFile(where);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file->Size()));
    for (std::size_t done = 0; done < bytes.size();)
        done += file->Read(bytes.data() + done, std::min<std::size_t>(bytes.size() - done, 1 << 20));
    file->RequireRecordedMd5();
    return bytes;
}

std::string MediumReader::VolumeId() const {
    const char* id = iso_image_get_volume_id(impl_->image.get());
    return id ? id : "";
}

std::string MediumReader::CreationDate() const {
    char *created = nullptr, *modified = nullptr, *expires = nullptr, *effective = nullptr;
    if (iso_image_get_pvd_times(impl_->image.get(), &created, &modified, &expires, &effective) != ISO_SUCCESS ||
        !created)
        return "";
    const std::string digits(created, strnlen(created, 8));   // YYYYMMDDhhmmsscc
    if (digits.size() != 8 || digits == "00000000" ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return "";
    return digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2);
}

const std::string& MediumReader::Name() const { return impl_->name; }

}  // namespace velunor::disc_detail
