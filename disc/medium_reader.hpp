// Internal to disc/: reads a written medium back through libisofs, without
// mounting it: the image file of the image-folder drive, or the disc in a
// grabbed optical drive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "disc/disc.hpp"
#include "disc/disc_writer.hpp"

namespace burn {
struct burn_drive;
}

namespace velunor::disc_detail {

// Byte ranges of a medium.
class BlockDevice {
public:
    virtual ~BlockDevice() = default;
    // Reads up to `length` bytes from `offset` (a multiple of 2048) into
    // `buffer`. Returns the number of bytes read, fewer only at the end of
    // the medium. Throws velunor::Error on a read error.
    virtual std::size_t ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t length) = 0;
    // How many bytes one read should ask for.
    virtual std::size_t ChunkSize() const = 0;
    // The medium's name for messages (a path).
    virtual std::string Name() const = 0;
};

// An image file, read with pread() in 1 MiB chunks. Throws velunor::Error
// (errno) when the file cannot be opened.
std::unique_ptr<BlockDevice> OpenImageFile(const std::filesystem::path& path);

// The disc in a grabbed optical drive, read with burn_read_data(). The drive
// must stay grabbed while the device is used. `retryBlocks` false: a read
// error of a chunk is not retried block by block by libburn (a re-check
// names the file and goes on rather than wait for every bad block).
std::unique_ptr<BlockDevice> OpenDriveMedium(burn::burn_drive* drive, const std::string& name,
                                             bool retryBlocks = true);

// Whether a reader loads the medium's checksum records.
enum class ChecksumRecords { Load, Skip };

// An ISO 9660 medium written by DVDWriter: Rock Ridge names and per-file MD5
// checksums.
class MediumReader {
public:
    // Reads the medium's directory tree and checksum array. Throws
    // velunor::Error when the medium is not a readable ISO image (a truncated
    // image fails here, because its checksum array lies at its end).
    // With ChecksumRecords::Skip the medium is read without them (every
    // file then answers Md5Verdict::NotRecorded), which a truncated image
    // allows.
    explicit MediumReader(std::unique_ptr<BlockDevice> device, ChecksumRecords records = ChecksumRecords::Load);
    ~MediumReader();
    MediumReader(const MediumReader&) = delete;
    MediumReader& operator=(const MediumReader&) = delete;

    // The regular files directly inside `folder` of the root ("1", "2"),
    // in the order of their position on the medium (then by name), each
    // with its `open` (OpenFile), which keeps what it reads from alive after
    // the reader has gone. Subfolders are left out. Throws velunor::Error
    // when the folder is missing or is not a folder.
    std::vector<DiscFile> List(const std::string& folder) const;

    // The whole content of one file of `folder`. Throws velunor::Error when
    // the file is missing, cannot be read completely, has no recorded MD5,
    // or its bytes do not match the MD5 recorded when it was written
    // (MediumFile::RequireRecordedMd5).
    std::vector<std::uint8_t> Read(const std::string& folder, const std::string& name) const;

    // Every regular file of the medium, by path from the root, in the order
    // of their position on it (then by path).
    std::vector<MediumEntry> AllFiles() const;

    // One file by its path from the root ("1/a.dcm"), to be read in pieces.
    // The reader must outlive it. Throws velunor::Error when there is no
    // such file.
    std::unique_ptr<MediumFile> OpenFile(const std::string& path) const;

    // The volume label of the medium.
    std::string VolumeId() const;
    // When the image was made, "YYYY-MM-DD" (from its volume descriptor); "" when unknown.
    std::string CreationDate() const;
    // The medium's name for messages (a path).
    const std::string& Name() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;   // shared with the `open` of listed files
};

}  // namespace velunor::disc_detail
