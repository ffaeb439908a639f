#include "disc/medium_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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
    DriveMedium(burn::burn_drive* drive, std::string name) : drive_(drive), name_(std::move(name)) {}

    std::size_t ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t length) override {
        off_t count = 0;
        // Bit 1: no message for a read error; the error is raised here.
        const int r = burn::burn_read_data(drive_, static_cast<off_t>(offset), reinterpret_cast<char*>(buffer),
                                           static_cast<off_t>(length), &count, 2);
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

std::unique_ptr<BlockDevice> OpenDriveMedium(burn::burn_drive* drive, const std::string& name) {
    return std::make_unique<DriveMedium>(drive, name);
}

struct MediumReader::Impl {
    IsoImagePtr image;
    SourceState* state = nullptr;  // owned by the data source, which the image keeps
    std::string name;

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

MediumReader::MediumReader(std::unique_ptr<BlockDevice> device) : impl_(std::make_unique<Impl>()) {
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
    // for this kind of data source in libisofs 1.5.4).
    iso_read_opts_set_no_md5(opts.get(), 2);

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
    for (auto& e : entries) out.push_back(std::move(e.file));
    return out;
}

std::vector<std::uint8_t> MediumReader::Read(const std::string& folder, const std::string& name) const {
    IsoDir* dir = impl_->Folder(folder);
    const std::string where = folder + "/" + name;
    if (name.empty() || name.find('/') != std::string::npos)
        throw Error(0, "The file " + where + " is not on the medium " + impl_->name);
    IsoNode* node = nullptr;
    if (iso_dir_get_node(dir, name.c_str(), &node) != 1 || !node || iso_node_get_type(node) != LIBISO_FILE)
        throw Error(0, "The file " + where + " is not on the medium " + impl_->name);
    auto* file = reinterpret_cast<IsoFile*>(node);

    char recorded[16];
    if (iso_file_get_md5(impl_->image.get(), file, recorded, 0) != 1)
        throw Error(0, "No checksum was recorded for " + where + " on the medium " + impl_->name);

    IsoStream* stream = iso_file_get_stream(file);
    const off_t size = iso_stream_get_size(stream);
    if (size < 0) throw Error(0, "The size of " + where + " is unknown");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));

    impl_->state->lastError.clear();
    int r = iso_stream_open(stream);
    if (r < 0) throw Error(0, "Cannot open " + where + " on the medium " + impl_->name + ": " + IsoText(r));
    std::size_t done = 0;
    std::string failure;
    while (done < bytes.size()) {
        const std::size_t want = std::min<std::size_t>(bytes.size() - done, 1 << 20);
        r = iso_stream_read(stream, bytes.data() + done, want);
        if (r < 0) {
            failure = IsoText(r);
            break;
        }
        if (r == 0) {
            failure = "the file ends after " + std::to_string(done) + " of " + std::to_string(bytes.size()) + " bytes";
            break;
        }
        done += static_cast<std::size_t>(r);
    }
    iso_stream_close(stream);
    DrainMessages();
    if (!failure.empty()) {
        if (!impl_->state->lastError.empty()) failure += " (" + impl_->state->lastError + ")";
        throw Error(0, "Cannot read " + where + " on the medium " + impl_->name + ": " + failure);
    }

    void* context = nullptr;
    if (iso_md5_start(&context) < 0) throw Error(ENOMEM, "Out of memory");
    for (std::size_t pos = 0; pos < bytes.size();) {
        const int piece = static_cast<int>(std::min<std::size_t>(bytes.size() - pos, 1 << 30));
        iso_md5_compute(context, reinterpret_cast<char*>(bytes.data() + pos), piece);
        pos += static_cast<std::size_t>(piece);
    }
    char actual[16];
    iso_md5_end(&context, actual);
    if (!iso_md5_match(actual, recorded))
        throw Error(0, "The content of " + where + " on the medium " + impl_->name +
                           " differs from what was written (MD5 mismatch)");
    return bytes;
}

std::string MediumReader::VolumeId() const {
    const char* id = iso_image_get_volume_id(impl_->image.get());
    return id ? id : "";
}

}  // namespace velunor::disc_detail
