// The collection phase of an archive run: reads the media number, selects
// the studies of the last disc and the studies that are on no disc yet,
// re-writes their DICOM files into the staging tree and decides whether a
// disc is to be written.
//
// Staging tree under TempPath (which ends in "/"):
//   DVD/      root of the disc image
//   DVD/1/    every study whose first copy is on disc n (the carry-over set)
//   DVD/2/    the new studies that fit below the capacity limit
//   DVDTemp/  the one new study being staged
//   Unzip/    one study archive at a time and what it extracts to
// The section folders are flat. A staged file keeps its source name unless a
// file of that name is already there; it then gets the first free name
// "<stem>_<k><.ext>" (k = 1, 2, ...), so no staged file ever replaces another.
// A backslash in a source name becomes "_" (it separates the parts of a
// DICOMDIR file ID), and a suffixed name is cut to fit in 255 bytes.
// In the general-purpose media profile (settings.Profile) the files of DVD/1/
// and DVD/2/ are named IM000001, IM000002, ... instead, numbered over DVD/1/
// and then DVD/2/ (a new study when it moves from DVDTemp/ into DVD/2/), and
// DVD/1/ is emptied when the staging tree is prepared; files are written as
// DicomDataset::WriteForDisc writes them for the profile.
//
// Everything runs on the user-interface thread and yields (RunEvents::Yield)
// after every file and every database row, except the re-encoding of a
// source folder's DICOM files: worker threads (ReencodeQueue, as many as
// there are cores) re-encode a few files ahead under temporary names, and
// the run's thread places them one by one in name order, so names, logs,
// the capacity gate and failures come as if staged one at a time. What was
// re-encoded ahead of a study's end (the study larger than a disc, a
// failure) is deleted before the study is judged.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "app/files.hpp"
#include "app/media_number.hpp"
#include "app/run.hpp"

namespace velunor {

class Database;

// Limits of the collection phase. Tests lower the byte limit; the program
// always runs with the defaults.
struct CollectLimits {
    // The new-study pass stops as soon as DVDTemp/ and DVD/2/ together hold
    // at least this many bytes (decimal: 2,000,000,000).
    std::uintmax_t capacityBytes = 2'000'000'000;
    // At most this many new studies are selected per run.
    int maxNewStudies = 1000;
    // The unit of the decision's sizes ("MB": 1024 x 1024 bytes) and its
    // thresholds (1700 and 10 of them); tests scale it with capacityBytes.
    std::uintmax_t megabyte = 1024 * 1024;
};

// The collection phase. Reads LastMediaNr (n, handed on as lastDisc),
// prepares the staging tree, stages the carry-over studies into DVD/1/ and
// the new studies into DVD/2/, then decides (asking the operator where the
// settings and the unattended mode require) whether a disc is written.
// Polls run.Cancelled() once per database row; a cancel goes straight to
// the decision with what has been staged so far.
// Returns write = true when the staging tree is to be written as disc n + 1.
// Never throws: every failure is logged through LogError with the label
// "DatenKopieren" (message ending in " ImgNr: " + the number of files staged
// in this run) and gives write = false with the message in `why`.
// Progress: the Collect bar runs 0..5000 over the carry-over studies and
// 5000..10000 over the new ones.
// Before anything is staged: a MediaProfile that names no profile
// (settings.ProfileProblem), or a LastMediaNr that is not a file, holds no
// whole number or a negative one, or whose next disc number would not fit
// 32 bits ends the phase with couldNotStart.
// Files: a file that cannot be read is logged in the file log and staging
// goes on with the study's next file; the study reaches the disc with its
// readable files and is named in the error log (silently) and in
// partlyUnreadable. A new study none of whose files could be staged
// is marked "not readable" (by its key, and only while it is on no disc); a
// carry-over study keeps its disc record whatever happens.
// A failure to write into the staging tree (a full volume, a quota, a file
// size limit) is never taken for the source's: the study is taken out
// again, nothing is marked, and the phase ends with an error naming the
// folder and the lack of space.
// A new study whose files reach the capacity limit by themselves can never
// fit: it is taken out of DVDTemp/, named in the error log (silently) with
// its folder, Study UID and size, counted in oversizedStudies, and
// the pass goes on with the next study. A run in which no new study reached
// DVD/2/ writes no disc (as when nothing is new).
// carryOverStudies and newStudies count the studies that brought at least
// one file into DVD/1/ and DVD/2/; nothingToWrite is true when no disc is to
// be written although nothing failed, and `why` says why no disc is written
// (or the error's message).
Collected DatenKopieren(Run& run, const CollectLimits& limits = {});


// Makes sure every folder of `path` exists, creating missing levels one by
// one. Consecutive "/" (a root given as "//...") are taken as one.
// Returns true when every folder exists afterwards. On failure calls
// LogError (error number, text, label "MakePath(" + path + ")", image id 0,
// not silent) and returns false. Never throws.
bool MakePath(Shell& shell, const std::string& path);

// Marks the one study with the key `studyId` (a whole number) with
// StudyDirectory2 = 'not readable', on the given connection, provided it is
// on no disc (NULL or empty): a disc record is never replaced. Does nothing
// when `db` is null or `studyId` is not a whole number. Never throws: a
// failure leaves the study's value unchanged.
void MarkStudyNotReadable(Database* db, const std::string& studyId) noexcept;

// One row of View_Studies as the source folder rule sees it.
struct StudyRoots {
    std::optional<std::string> studyDirectory1;
    std::optional<std::string> archiveUNC;
    std::optional<std::string> archivePath;
};

// The source folder of a study: ArchiveUNC + "/" + StudyDirectory1 + "/"
// when ArchiveUNC is neither NULL nor empty, else the same with ArchivePath;
// nullopt when StudyDirectory1 is NULL or both roots are NULL or empty.
// Values are joined as they are (no trimming). Never throws.
std::optional<std::string> SourceFolder(const StudyRoots& row);

// The total size in bytes of the regular files below `folder`, subfolders
// included (the decision measures DVD/1/ and DVD/2/ with it). Throws
// velunor::Error when it cannot be listed.
std::uintmax_t FolderBytes(const std::filesystem::path& folder);

// A folder's size in MB as the decision counts it: bytes / `megabyte`
// (1024 x 1024), rounded to the nearest whole number, halves to the even
// neighbour.
std::int32_t SizeInMB(std::uintmax_t bytes, std::uintmax_t megabyte = 1024 * 1024);

// The name under which a file called `name` is placed into `folder`:
// `name` itself when no entry of that name exists there, otherwise the
// first free "<stem>_<k><.ext>" (the extension being the part from the last
// "."), its stem cut where needed (never inside a UTF-8 character) so that
// it fits in 255 bytes. With `nextSuffix`, the search starts at that k and
// leaves it where the name was found (names once taken stay taken during a
// run, so a folder of many equal names is not searched from 1 each time).
// Throws velunor::Error when no free name is found.
std::string FreeName(const std::filesystem::path& folder, const std::string& name, int* nextSuffix = nullptr);

// The decision to burn, on what the passes left in DVD/1/ and DVD/2/.
// `result` is the result so far (true when the capacity limit stopped the
// new-study pass); `gateStopped` says whether it did. Sets the Collect bar
// to its end, measures DVD/2/ (and DVD/1/ when AuthBurn is 1) and asks the
// operator as the settings and run.unattended require; in unattended mode
// it asks (a Question marked unattended) from 1700 MB of new data on, or
// whenever the capacity limit stopped the pass. Returns the new result;
// when it is false, `why` says why no disc is written.
// Throws velunor::Error when a folder cannot be measured.
bool DecideBurn(Run& run, bool result, bool gateStopped, std::string& why, std::uintmax_t megabyte = 1024 * 1024);

}  // namespace velunor
