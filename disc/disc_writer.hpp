// The disc writer: finds drives, builds an ISO image of a folder, burns it
// and reads a written medium back.
//
// One instance lives as long as the main window and is called on the user
// interface thread only. Drive indexes start at 0. A failing call raises
// velunor::Error; Boolean results report the failures the callers test.
//
// Burn state machine: after StartBurn() returns true the burn runs in the
// library's own threads. Its progress is delivered as events only from
// Poll(), which the owner calls on the UI thread every few hundred
// milliseconds (and from its yield loop): zero or more CachingProgress and
// WriteProgress, optionally ClosingTrack and ClosingDisc, then exactly one of
// BurnComplete or WriteError. A handler may yield or open a modal window;
// Poll() is not re-entered while a handler runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velunor {

struct DiscWriterEvents {
    std::function<void(std::int16_t percent)> CachingProgress;
    std::function<void(std::int32_t ignored, std::int32_t current, std::int32_t total)> WriteProgress;
    std::function<void()> ClosingTrack;
    std::function<void()> ClosingDisc;
    std::function<void()> BurnComplete;
    std::function<void(std::int32_t, std::int32_t, const std::string& message, const std::string&)> WriteError;
};

class MediumFile;   // disc/disc.hpp

// A file directly inside a folder of the written medium.
struct DiscFile {
    std::string name;        // real name (Rock Ridge)
    std::uint64_t size = 0;
    // Opens the file to be read in pieces from its start, its bytes counted
    // against the MD5 recorded when it was written. Usable while the medium
    // it was listed from stays in the drive, on the writer's thread. Throws
    // velunor::Error when the file cannot be opened.
    std::function<std::unique_ptr<MediumFile>()> open;
};

// Capability codes asked by drive detection.
inline constexpr int kCapWritesDvdMinusR = 9;
inline constexpr int kCapWritesDvdPlusR = 38;

class DiscWriter {
public:
    virtual ~DiscWriter() = default;

    virtual void SetEvents(DiscWriterEvents events) = 0;
    // Delivers pending burn events on the calling (UI) thread.
    virtual void Poll() = 0;

    // Drives.
    virtual void NewImage() = 0;
    virtual void ScanDrives(bool asapi) = 0;
    virtual int DriveCount() = 0;
    virtual bool DriveCapable(int index, int code) = 0;
    virtual bool DriveUsable(int index) = 0;
    virtual std::string DriveVendor(int index) = 0;
    virtual std::string DriveProduct(int index) = 0;
    virtual bool SelectDrive(int index) = 0;
    // Where the medium of drive `index` is read from (device path or image file), for messages.
    virtual std::string DriveLetter(int index) = 0;
    virtual std::int32_t MaxWriteSpeed() = 0;            // KB/s
    virtual void SetWriteSpeed(std::int32_t kbPerSecond) = 0;
    virtual void LoadTray(bool close) = 0;               // true closes, false opens
    virtual void AllowRemoval(bool allow) = 0;           // false locks the door
    virtual int DiscStatus() = 0;                        // 0: a blank writable disc is ready
    virtual void Eject() = 0;

    // Image.
    virtual void ImageOption(bool on) = 0;
    virtual bool CloneDirectoryToISO(const std::string& imageDir, const std::string& sourcePattern) = 0;
    virtual std::int32_t ImageBlockCount() = 0;
    virtual double ImageBytes(std::int32_t blocks, int unit) = 0;

    // Burn settings and burn.
    virtual void BurnMode(int mode) = 0;
    virtual void BurnSwitch1(bool on) = 0;
    virtual void BurnSwitch2(bool on) = 0;
    virtual void BurnSwitch3(bool on) = 0;
    virtual void BurnSwitch4(bool on) = 0;
    virtual void VolumeLabel(const std::string& label) = 0;
    virtual bool StartBurn() = 0;
    virtual void AbortBurn() = 0;
    // Why the last Boolean call that answered false did so ("" when unknown).
    virtual std::string LastProblem() const = 0;
    // Image-folder drive only: when the folder already holds the image
    // "<label>.iso" (a disc written by a run that ended before recording it),
    // makes that image the medium the read-back reads, as a finished burn
    // would, and returns true. False, changing nothing, for an optical drive
    // or when there is no such image. Throws velunor::Error when the image
    // exists but cannot be read as an image or carries another volume label.
    virtual bool AdoptWrittenImage(const std::string& label) {
        (void)label;
        return false;
    }
    // Image-folder drive only: the image last written or taken over failed
    // its verification. Renames it "<label>.iso" -> "<label>.iso.unverified"
    // (".unverified-2" ... when taken), so the disc can be written again
    // under its number, and returns the new name; "" for an optical drive
    // (the disc leaves with the operator) or when there is no such image.
    // Throws velunor::Error when the image cannot be renamed.
    virtual std::string SetAsideUnverifiedImage() { return ""; }
    // True when the medium last written or taken over is an image that stays
    // in the image folder, where the next run can take it over again; false
    // for a disc in an optical drive, which leaves with the operator.
    virtual bool WrittenImageStays() const { return false; }

    // Read-back of the medium in the working drive: the files directly in a
    // folder of its root ("1", "2"), each to be opened and read in pieces,
    // and one file's whole content, checked against its recorded MD5.
    // A missing folder raises velunor::Error.
    virtual std::vector<DiscFile> ListDiscFolder(const std::string& folder) = 0;
    virtual std::vector<std::uint8_t> ReadDiscFile(const std::string& folder, const std::string& name) = 0;
};

}  // namespace velunor
