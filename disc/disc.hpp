// Disc writing and verification: drive detection, image build and burn with
// its event handlers, the notice and wait windows, and the read-back of the
// written disc. Every function runs on the user-interface thread and works
// on one Run (settings, run events, the disc writer) and reports through
// its run events.
//
// Paths: the image is built from the staged disc's pattern
// StagingTree::DiscPattern() (TempPath + "DVD/*"), so that the staging tree's
// DVD/ folder (1/, 2/ and Dicomdir) becomes the root of the disc. The disc
// carries the volume label StagedDisc::Label(), "DVD " + (n + 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/run.hpp"
#include "app/settings.hpp"
#include "disc/disc_writer.hpp"

namespace velunor {

// The largest image that goes on one disc: 450 x 10,000,000 bytes.
inline constexpr double kMaxImageBytes = 4'500'000'000.0;
// KB/s per unit of a speed factor.
inline constexpr std::int32_t kKbPerSpeedUnit = 1380;

// The real disc writer over libburn and libisofs (see disc/dvd_writer.hpp).
// `settings` must outlive it; its ImageFolder is read again at every drive
// scan. Throws velunor::Error when the libraries cannot be initialised.
std::unique_ptr<DiscWriter> MakeDVDWriter(const Settings& settings);

// Looks for the first drive that writes DVD-R (code 9) or DVD+R (code 38)
// and is usable and selects it: the working drive. Reports it with
// Drive(vendor + product, false), then once selected with
// Drive(DriveDescription(drive), true). No drive: "No DVD-Writer found"
// logged and asked once more as a message whatever Archive says. A drive
// that cannot be selected: nullopt, no message. A raised error (also of
// MaxWriteSpeed) is logged under "LoadDriveCombo". Never throws.
std::optional<Drive> LoadDriveCombo(Run& run);

// The drive as it is shown: name + " [Speed " + factor + "X/" + speed + " KBs]".
std::string DriveDescription(const Drive& drive);

// speed / 1380 kept to one decimal place, halves to the even neighbour, in
// its shortest form: 22160 -> "16.1", 33240 -> "24.1", 27600 -> "20".
std::string FormatSpeedFactor(std::int32_t kbPerSecond);

// The detection notice ("Information"): after one tick of
// Timing::detectDelay it runs LoadDriveCombo and closes; returns its drive.
// Never throws.
std::optional<Drive> ShowDetectWindow(Run& run);

// Makes sure a blank disc is in `drive` (two attempts, asking for one with
// MSGDVDInsert), builds the image of the staged disc, refuses one above
// 4,500,000,000 bytes, sets the burn settings, the label and the speed
// (DVDSpeed x 1380, or the drive's highest speed for 0) and starts the
// burn. Cancel is not allowed from here on. Returns Started when writing
// has started (its end comes through the handlers the owner installed with
// SetEvents(BurnEvents(...))); Failed when not, the reason logged or asked.
// When the image folder already holds the image of this disc's label (an
// earlier run ended between writing and recording it), nothing is burned:
// that image becomes the medium to verify, the case is logged silently
// under "DVDCreate", and TakenOver is returned. Never throws.
BurnStart DVDCreate(Run& run, const StagedDisc& disc, const Drive& drive);

// True when the built image fits on one disc (4,500,000,000 bytes pass).
// Otherwise "Too many data for one DVD!": logged with -1 when Archive is
// set, else shown with the exclamation icon. Throws what the writer throws.
bool RecalcIsoSize(Run& run);

// The handlers of the burn's events, bound to `run`'s shell and writer
// (not to the Run object itself, which may be a temporary):
// CachingProgress, WriteProgress, ClosingTrack and ClosingDisc report the
// status and the Disc progress; BurnComplete opens the tray, shows the tray
// notice and then calls done(true); WriteError resets the five bars, calls
// done(false), logs the writer's message with -1 under
// "DVDWriter_WriteError" and asks it unless Archive is set. A handler never
// throws: an error inside BurnComplete (a tray that does not move) is
// logged under "DVDWriter_BurnComplete" and calls done(false).
DiscWriterEvents BurnEvents(Run& run, std::function<void(bool written)> done);

// cur x 100 / total to the nearest whole number, halves to the even
// neighbour; 0 for a total of 0 or less.
std::int64_t RoundPercent(std::int64_t current, std::int64_t total);

// The tray notice ("Attention"): after Timing::noticeStep it closes
// the tray (LoadTray(true)), after another step it closes itself. Returns
// when it has closed. Throws the error of LoadTray, after the window closed.
void ShowNoticeWindow(Run& run);

// Reads every file directly inside the folders 1/ and 2/ of the written
// medium of `disc` in pieces (StudyFileReader: the bytes against the MD5
// recorded at write time, the DICOM toolkit on the other core) and returns
// the distinct study UIDs per folder, in the order found. Memory stays the
// same whatever the size of a file. The Verify bar runs 0..5000 over 1/
// and 5000..10000 over 2/, a step per file; the run's events are yielded
// to between files and between the pieces of one. Any failure (a missing
// folder, an empty 2/, a file that cannot be read, has no recorded MD5 or
// differs from it, cannot be parsed or has no study UID) logs
// "Verification failed!" under "DVDVerify", the reason in the debug log,
// and gives nullopt; an image in the image folder that failed is then
// renamed "<label>.iso.unverified" (logged silently), so that the next run
// writes the disc again. Never throws.
std::optional<VerifiedDisc> DVDVerify(Run& run, const StagedDisc& disc);

// ---------------------------------------------------------------------------
// Reading a written medium: right after writing (DVDVerify) and again long
// after (velunor-cli check), through the same reader, one file at a time and
// in pieces, so that memory stays the same whatever the size of a file or of
// the disc.

// A regular file of a written medium: its path from the root ("1/a.dcm",
// "Dicomdir") and its size.
struct MediumEntry {
    std::string path;
    std::uint64_t size = 0;
};

// How a file's bytes compare with the MD5 recorded when it was written.
enum class Md5Verdict { Match, Mismatch, NotRecorded };

// One file of a medium, read from its start. Made by WrittenMedium::Open.
class MediumFile {
public:
    ~MediumFile();
    MediumFile(const MediumFile&) = delete;
    MediumFile& operator=(const MediumFile&) = delete;

    // Reads the next bytes of the file into `buffer`, at most `length`
    // (fewer only at its end); 0 at its end. Throws velunor::Error when the medium cannot be read
    // there or ends before the file does.
    std::size_t Read(std::uint8_t* buffer, std::size_t length);
    std::uint64_t Size() const;
    // The bytes read so far against the MD5 recorded at write time: Match
    // or Mismatch once every byte was read (Mismatch before); NotRecorded
    // when the medium holds no checksum for the file (then at any time).
    Md5Verdict Verdict();
    // Throws velunor::Error naming the file and its medium unless Verdict()
    // is Match: no checksum was recorded for it, or its bytes differ from
    // what was written (or were not all read).
    void RequireRecordedMd5();

    // From here on Read leaves the MD5 to HashRead, which another thread may
    // call with every byte Read returned, in order, before Verdict is asked
    // (StudyFileReader: the MD5 is the slowest part of reading a disc, and
    // runs beside the reading).
    void HashElsewhere();
    void HashRead(const std::uint8_t* bytes, std::size_t length) noexcept;

    struct Impl;
    explicit MediumFile(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

// What reading one file to its end found.
struct FileReading {
    std::string studyUid;      // a DICOM file's Study Instance UID; "" when it has none
    std::string dicomProblem;  // why the DICOM toolkit refused the file; "" when it did not
};

// Reads files of a medium to their end through a fixed set of buffers
// (4 MiB, whatever the size of a file): the calling thread reads each file;
// a worker thread of the reader's own runs its MD5 and parses the same bytes
// as a DICOM file (ReadStudyUidStreamed), a bounded queue of buffers between
// the two. The worker touches nothing but the buffers and the
// DICOM toolkit: the medium, and whatever the caller does between pieces
// (run events), stay on the calling thread. One file at a time, from one
// thread.
class StudyFileReader {
public:
    StudyFileReader();    // starts the worker
    ~StudyFileReader();   // stops it
    StudyFileReader(const StudyFileReader&) = delete;
    StudyFileReader& operator=(const StudyFileReader&) = delete;

    // Reads `file` to its end, parsing it as a DICOM file when `dicom` is
    // set (`name` in the toolkit's messages); `found` is reset first. After
    // each piece of n bytes, `afterPiece(n)` runs on the calling thread; it
    // may throw to give up on the file. A file the toolkit refuses is read
    // to its end all the same (its MD5 is still decided), and said in
    // `found.dicomProblem`. Throws what file.Read() or afterPiece throw,
    // once the worker has parsed what came before: `found` then holds what
    // was learnt until then (a Study UID read ahead of a bad sector).
    void Read(MediumFile& file, const std::string& name, bool dicom,
              const std::function<void(std::size_t)>& afterPiece, FileReading& found);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A written medium opened for reading: an image file, or the disc in an
// optical drive (grabbed while the object lives).
class WrittenMedium {
public:
    // Throws velunor::Error when the file cannot be opened or is no ISO
    // image at all.
    static std::unique_ptr<WrittenMedium> OpenImage(const std::filesystem::path& image);
    // The disc in the drive at `device` ("/dev/sr0"), or in the first
    // optical drive found when `device` is empty. Throws velunor::Error when
    // there is no such drive, it cannot be opened, it holds no written
    // disc, or the disc is no ISO image.
    static std::unique_ptr<WrittenMedium> OpenDrive(const std::string& device);
    ~WrittenMedium();

    // The image's path or the drive's device, for messages.
    std::string Name() const;
    std::string VolumeId() const;
    // When the medium was written, "YYYY-MM-DD"; "" when it does not say.
    std::string CreationDate() const;
    // "" when the medium's checksum records were read (files written
    // without one still answer NotRecorded); otherwise why no file can be
    // compared, e.g. a medium that ends before its checksum records, which
    // lie at its end.
    const std::string& ChecksumProblem() const;
    // Every regular file of the medium, in the order of their position on
    // it (then by path), so that a drive reads forward only.
    std::vector<MediumEntry> Files() const;
    // Throws velunor::Error when there is no such file.
    std::unique_ptr<MediumFile> Open(const std::string& path) const;

    struct Impl;
    explicit WrittenMedium(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace velunor
