// DVDWriter: the disc writer over libburn and libisofs.
//
// Drives. ScanDrives lists, in this order:
//  - the image-folder drive, when the setting ImageFolder names a folder
//    (read again at every scan). It "burns" each disc as the file
//    "<volume label>.iso" in that folder through a libburn stdio: drive, at
//    full speed. Tray, door and eject do nothing for it;
//  - the optical drives libburn finds (/dev/sr*; in ASAPI mode the generic
//    SCSI devices /dev/sg*, the pass-through family).
//
// Capability codes: 9 = writes DVD-R (libburn's write_dvdr flag, or a
// DVD-R profile 0x11, 0x14, 0x15 in the drive's profile list); 38 = writes
// DVD+R (profile 0x1B or 0x2B). The image-folder drive answers both when its
// folder is usable. Any other code is false.
//
// DriveUsable: optical drives can be opened (grabbed) now; the image-folder
// drive's folder exists and is writable.
//
// Speeds are in libburn's unit, 1000 bytes/s (1x DVD = 1385); the program
// shows factors against 1380. SetWriteSpeed takes the drive's listed speed
// when the request lies within 1 % of it (24 x 1380 = 33120 selects a 24x
// speed of 33240), else the request; 0 or less is the highest speed. The
// image-folder drive reports 0 (no limit).
//
// Tray and door: a grabbed optical drive has its tray loaded and its door
// locked. LoadTray(true) (re)grabs with loading, LoadTray(false) ejects and
// releases, AllowRemoval(false) grabs, AllowRemoval(true) releases (a drive
// that is writing is never released).
//
// DiscStatus, see DiscStatusCode. The image-folder drive is ready when its
// folder is usable, no image of the label given by VolumeLabel exists yet
// and the folder has room for the image built; label and image are checked
// only once known, and StartBurn checks both again.
//
// Image: CloneDirectoryToISO adds the content of a folder (pattern
// "<folder>/*") below a folder of the image. Images are ISO 9660 level 3
// with Rock Ridge (real names and attributes), Joliet with long names when
// ImageOption(true), the volume label exactly as given, and an MD5 checksum
// of every file recorded in the image.
//
// Burn settings: BurnMode 1 = disc at once (falls back to what the medium
// allows), 0 = track at once; BurnSwitch1 = buffer underrun protection;
// BurnSwitch2 = close the disc (no later session); BurnSwitch3 = simulate
// (nothing is recorded); BurnSwitch4 = eject when the burn ended well.
//
// Burn: StartBurn returns at once; libburn writes in its own threads. Poll()
// turns the drive's state into events on the calling thread:
// CachingProgress (fill of the image generator's buffer, before the first
// sector), WriteProgress (0, sectors written, total sectors; a sector is
// 2048 bytes), ClosingTrack (once every sector is sent, or when the drive
// closes the track), ClosingDisc (when it closes the session), then exactly
// one of BurnComplete or WriteError. A burn counts as good only when libburn
// says so, no message of severity SORRY or worse came from the libraries
// (libisofs fills a vanished or shrunk source file with zeros and goes on),
// every byte of the image was handed to the drive and, for the image
// folder, the file holds the whole image; the image is written under a
// temporary name (".<label>.iso.part") and renamed to "<label>.iso" without
// ever replacing an existing file. A failed image is removed.
//
// Read-back: ListDiscFolder/ReadDiscFile read the medium of the working
// drive through libisofs: the image the last burn wrote, or the disc in the
// optical drive. Every listing reads the medium anew. ReadDiscFile checks the
// bytes against the MD5 recorded at write time and raises velunor::Error on
// any difference.
//
// Every call is made on one thread. Errors are velunor::Error with the
// libraries' own message and code (errno, or the libburn/libisofs code).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/settings.hpp"
#include "disc/disc_writer.hpp"

namespace velunor {

// DiscStatus() answers of DVDWriter.
enum DiscStatusCode : int {
    kDiscReady = 0,             // a blank writable disc (or a usable image folder)
    kNoDisc = 1,                // the drive holds no disc
    kDiscNotBlank = 2,          // written or closed disc
    kDiscUnsuitable = 3,        // a medium this program does not write (CD, BD, ROM)
    kDriveNotReady = 4,         // the drive cannot be opened or reports no state
    kImageExists = 5,           // the image of this label exists in the image folder
    kImageFolderFull = 6,       // the image folder lacks room for the image
    kImageFolderUnusable = 7,   // the image folder is missing or not writable
    kNoDriveSelected = 8,
};

class DVDWriter final : public DiscWriter {
public:
    // `settings` must outlive the writer; ImageFolder is read at every scan.
    // Throws velunor::Error when libisofs or libburn cannot be initialised.
    explicit DVDWriter(const Settings& settings);
    // Cancels a running burn and waits for the drive to stop, then releases
    // every drive.
    ~DVDWriter() override;
    DVDWriter(const DVDWriter&) = delete;
    DVDWriter& operator=(const DVDWriter&) = delete;

    void SetEvents(DiscWriterEvents events) override;
    void Poll() override;

    void NewImage() override;
    void ScanDrives(bool asapi) override;
    int DriveCount() override;
    bool DriveCapable(int index, int code) override;
    bool DriveUsable(int index) override;
    std::string DriveVendor(int index) override;
    std::string DriveProduct(int index) override;
    bool SelectDrive(int index) override;
    std::string DriveLetter(int index) override;
    std::int32_t MaxWriteSpeed() override;
    void SetWriteSpeed(std::int32_t kbPerSecond) override;
    void LoadTray(bool close) override;
    void AllowRemoval(bool allow) override;
    int DiscStatus() override;
    void Eject() override;

    void ImageOption(bool on) override;
    bool CloneDirectoryToISO(const std::string& imageDir, const std::string& sourcePattern) override;
    std::int32_t ImageBlockCount() override;
    // blocks x 2048 / unit: unit 1 gives bytes. Throws for a unit below 1.
    double ImageBytes(std::int32_t blocks, int unit) override;

    void BurnMode(int mode) override;
    void BurnSwitch1(bool on) override;
    void BurnSwitch2(bool on) override;
    void BurnSwitch3(bool on) override;
    void BurnSwitch4(bool on) override;
    void VolumeLabel(const std::string& label) override;
    bool StartBurn() override;
    void AbortBurn() override;

    std::vector<DiscFile> ListDiscFolder(const std::string& folder) override;
    std::vector<std::uint8_t> ReadDiscFile(const std::string& folder, const std::string& name) override;

    // Why the last Boolean call that answered false did so ("" when none did).
    std::string LastProblem() const override;
    bool AdoptWrittenImage(const std::string& label) override;
    std::string SetAsideUnverifiedImage() override;
    bool WrittenImageStays() const override;
    // The image file the last good burn into the image folder wrote ("" when none).
    std::filesystem::path LastImage() const;
    // True from a successful StartBurn until Poll() has delivered the last event.
    bool Burning() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velunor
