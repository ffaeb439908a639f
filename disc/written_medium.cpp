// A written medium opened again for a re-check: an image file or the disc in
// an optical drive, read through the verification's reader.
#include <chrono>
#include <thread>

#include "app/error.hpp"
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

}  // namespace velunor
