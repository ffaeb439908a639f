// Disc writing and verification: drive detection, image build and burn with
// its event handlers, the notice and wait windows, and the read-back of the
// written disc. Every function runs on the user-interface thread and works
// on one Run (settings, window, run state, the disc writer).
//
// Paths: TempPath ends in "/"; the image is built from the source pattern
// StagingTree::DiscPattern() (TempPath + "DVD/*"), so that the staging tree's DVD/
// folder (1/, 2/ and Dicomdir) becomes the root of the disc. The disc of
// media number n + 1 carries the volume label "DVD " + (n + 1).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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

// "DVD " + (mediaNumber + 1), counted in 64 bits so that no number wraps.
std::string VolumeLabelFor(std::int32_t mediaNumber);

// Looks for the first drive that writes DVD-R (code 9) or DVD+R (code 38)
// and is usable, makes it the working drive (DriveIndex) and shows it in
// lblDrive. Returns true when a drive was found and selected. No drive:
// BurnState -1, "No DVD-Writer found" logged and shown once more in a box
// whatever Archive says. A drive that cannot be selected: DriveIndex and
// BurnState -1, no message. A raised error is logged under
// "LoadDriveCombo"; DriveIndex and BurnState keep their values then.
// Never throws.
bool LoadDriveCombo(Run& run);

// Appends " [Speed " + factor + "X/" + speed + " KBs]" to lblDrive, where
// speed is the working drive's MaxWriteSpeed (kept in RunState::MaxSpeed).
// Throws what MaxWriteSpeed throws.
void ShowDriveInfo(Run& run);

// speed / 1380 kept to one decimal place, halves to the even neighbour, in
// its shortest form: 22160 -> "16.1", 33240 -> "24.1", 27600 -> "20".
std::string FormatSpeedFactor(std::int32_t kbPerSecond);

// The wait window fDetect ("Information"): after one tick of
// Timing::detectDelay it runs LoadDriveCombo, enables cmdStarten when it
// succeeded, and closes. Never throws.
void ShowDetectWindow(Run& run);

// Makes sure a blank disc is in the working drive (two attempts, asking for
// one with MSGDVDInsert), builds the image of the staging tree, refuses one
// above 4,500,000,000 bytes, sets the burn settings, the label and the speed
// (DVDSpeed x 1380, or the drive's highest speed for 0) and starts the
// burn. Returns true when writing has started; on false BurnState is -1 and
// the reason was logged or shown. When the image folder already holds the
// image of this disc's label (an earlier run ended between writing and
// recording it), nothing is burned: that image becomes the medium to verify,
// BurnState is 1 at once, the case is logged silently under "DVDCreate",
// and true is returned. The burn's events go to the handlers the
// owner installed with SetEvents(BurnEvents(run)). Never throws.
bool DVDCreate(Run& run);

// True when the built image fits on one disc (4,500,000,000 bytes pass).
// Otherwise "Too many data for one DVD!": logged with -1 when Archive is
// set, else shown with the exclamation icon. Throws what the writer throws.
bool RecalcIsoSize(Run& run);

// The handlers of the burn's events, bound to `run`'s shell, state and
// writer (not to the Run object itself, which may be a temporary):
// CachingProgress, WriteProgress, ClosingTrack and ClosingDisc show the
// progress in lblCur and pbDisk; BurnComplete opens the tray, shows fNot
// and then sets BurnState 1; WriteError resets the five progress bars, sets
// BurnState -1, logs the writer's message with -1 under
// "DVDWriter_WriteError" and shows it unless Archive is set. A handler
// never throws: an error inside BurnComplete (a tray that does not move) is
// logged under "DVDWriter_BurnComplete" and sets BurnState -1.
DiscWriterEvents BurnEvents(Run& run);

// cur x 100 / total to the nearest whole number, halves to the even
// neighbour; 0 for a total of 0 or less.
std::int64_t RoundPercent(std::int64_t current, std::int64_t total);

// The notice window fNot ("Attention"): after Timing::noticeStep it closes
// the tray (LoadTray(true)), after another step it closes itself. Returns
// when it has closed. Throws the error of LoadTray, after the window closed.
void ShowNoticeWindow(Run& run);

// Reads every file directly inside the folders 1/ and 2/ of the written
// medium, parses each with the DICOM toolkit (the writer checks its bytes
// against the MD5 recorded at write time) and collects the distinct study
// UIDs in DiscStudies1 and DiscStudies2, in the order found. pbVer runs
// 0..5000 over 1/ and 5000..10000 over 2/. Any failure (a missing folder,
// an empty 2/, a file that cannot be read or parsed, a file without study
// UID) logs "Verification failed!" under "DVDVerify" and returns false; an
// image in the image folder that failed is then renamed
// "<label>.iso.unverified" (logged silently), so that the next run writes
// the disc again.
// Never throws.
bool DVDVerify(Run& run);

}  // namespace velunor
