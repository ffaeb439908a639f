// The collection phase: media number, staging preparation, carry-over and
// new selection, staging copy, capacity gate and the decision to burn.
#include "collect/collect.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <system_error>
#include <vector>

#include "app/error.hpp"
#include "app/files.hpp"
#include "bookkeeping/database.hpp"
#include "dicom/toolkit.hpp"
#include "zip/unzip.hpp"

namespace fs = std::filesystem;

namespace velunor {
namespace {

constexpr const char* kLabel = "DatenKopieren";
constexpr int kStatementTimeoutSeconds = 300;
constexpr std::int32_t kAskAboveMB = 1700;   // unattended: ask from here on
constexpr std::int32_t kTooLittleMB = 10;     // manual: no question at or below
constexpr int kMaxNameAttempts = 100000;
constexpr int kMaxDiscFiles = 999999;          // general-purpose file IDs IM000001 .. IM999999
const std::string kCRLF = "\r\n";

enum class Pass { CarryOver, New };

// How a pass or a selection ended.
enum class Flow { Done, Cancelled, GateStopped };

// Files this run placed into a staging folder, each with its size: what a
// study is withdrawn with when it must not reach the disc.
using StagedFiles = std::vector<std::pair<fs::path, std::uintmax_t>>;

// Everything one call of DatenKopieren holds.
struct Phase {
    Run& run;
    const CollectLimits& limits;
    StagingTree paths;
    std::string serverType, server, connectionString;
    std::unique_ptr<Database> db;   // the shared connection
    bool result = false;
    Collected out;                   // what the phase hands on
    double progress = 0;             // the collection's bar, 0..kProgressMax
    std::int32_t imageCounter = 0;   // files staged in this run
    std::string currentDir1;         // StudyDirectory1 of the row being staged
    std::string currentFolder;       // its source folder F
    // The study being staged: its key, the Study UID of its first staged
    // file, what it wrote in this run (and how many bytes), how many of its
    // files failed, the image counter when it began, and whether it was
    // found larger than one disc.
    std::string studyId;
    std::string studyUid;
    StagedFiles studyFiles;
    std::uintmax_t studyBytes = 0;
    int studyFailedFiles = 0;
    std::int32_t studyStartCounter = 0;
    bool studyOversized = false;
    std::uintmax_t dvd2Bytes = 0;    // what DVD/2/ holds during the new-study pass
    // Where the search for a free name starts, per folder and name: real
    // archives use the same names (IM00001.dcm) in every study, and a
    // search from 1 each time would grow with the square of the studies.
    std::map<std::string, int> nextSuffix;
    // General-purpose profile: the number of the disc's last file ID, and
    // the files staged into DVD/1/ in this run by SOP Instance UID.
    const MediaProfile profile;
    int discFiles = 0;
    std::map<std::string, fs::path> dvd1Instances;
    // Archive profile: the files an earlier run that wrote no disc left in
    // DVD/1/, by size. The carry-over pass stages the same studies again;
    // a file identical to one of them is not kept twice, whatever name
    // either got.
    std::multimap<std::uintmax_t, fs::path> dvd1Leftovers;

    Phase(Run& r, const CollectLimits& l)
        : run(r), limits(l), paths(r.Tree()),
          serverType(r.settings().ServerType), server(r.settings().Server),
          connectionString(r.settings().ConnectionString), profile(r.settings().Profile) {}

    void Yield() { run.events().Yield(); }
    bool Cancelled() const { return run.Cancelled(); }
    // The collection's bar: the carry-over pass fills its first half, the
    // new-study pass its second.
    void Progress(double value) {
        progress = value;
        run.events().Progress(RunPhase::Collect, static_cast<int>(std::lround(value)));
    }

    void OpenConnection() {
        db.reset();
        db = OpenDatabase(serverType, server, connectionString, kStatementTimeoutSeconds);
    }
};

// A StudyID as the database returned it, checked to be a whole number so it
// can stand bare in a statement.
std::string CheckedStudyID(const std::optional<std::string>& field) {
    if (!field) throw Error(0, "StudyID is NULL");
    const std::string& s = *field;
    long long value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size())
        throw Error(0, "StudyID \"" + s + "\" is not a whole number");
    return std::to_string(value);
}

bool IsDirectory(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec);
}

bool EntryExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

// Byte-for-byte comparison of two regular files.
bool SameContent(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (!fs::is_regular_file(a, ec) || !fs::is_regular_file(b, ec)) return false;
    auto sizeA = fs::file_size(a, ec);
    if (ec) return false;
    auto sizeB = fs::file_size(b, ec);
    if (ec || sizeA != sizeB) return false;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    std::vector<char> bufA(1 << 16), bufB(1 << 16);
    while (fa && fb) {
        fa.read(bufA.data(), static_cast<std::streamsize>(bufA.size()));
        fb.read(bufB.data(), static_cast<std::streamsize>(bufB.size()));
        if (fa.gcount() != fb.gcount()) return false;
        if (!std::equal(bufA.begin(), bufA.begin() + fa.gcount(), bufB.begin())) return false;
    }
    return fa.eof() && fb.eof();
}

// The regular files lying directly in `folder`, sorted by name. Throws when
// the folder cannot be listed.
std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    if (ec) throw Error(ec.value(), "Cannot list " + folder.string() + ": " + ec.message());
    for (; it != end; it.increment(ec)) {
        std::error_code sec;
        if (it->is_regular_file(sec)) files.push_back(it->path());
    }
    if (ec) throw Error(ec.value(), "Cannot list " + folder.string() + ": " + ec.message());
    std::sort(files.begin(), files.end());
    return files;
}

// Moves a file, falling back to copy and delete across file systems. The
// target must not exist.
void MoveFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return;
    if (ec != std::errc::cross_device_link)
        throw Error(ec.value(), "Cannot move " + from.string() + " to " + to.string() + ": " + ec.message());
    fs::copy_file(from, to, fs::copy_options::none, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(to, ignored);
        throw Error(ec.value(), "Cannot copy " + from.string() + " to " + to.string() + ": " + ec.message());
    }
    fs::remove(from, ec);
    if (ec) throw Error(ec.value(), "Cannot remove " + from.string() + ": " + ec.message());
}

// The upper-case extension of a file name: the part after its last ".", or
// the whole name when it has none.
std::string Extension(const std::string& name) {
    auto dot = name.rfind('.');
    std::string e = dot == std::string::npos ? name : name.substr(dot + 1);
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return std::toupper(c); });
    return e;
}

// The longest file name the file systems take, in bytes.
constexpr std::size_t kMaxNameBytes = 255;

// The name "<stem>_<k><.ext>" of a file called `name`. When that would be
// longer than a file name may be, the stem is cut (never inside a UTF-8
// character), so that a name of 255 bytes still gets a free name.
std::string Suffixed(const std::string& name, int k) {
    const std::string suffix = "_" + std::to_string(k);
    auto dot = name.rfind('.');
    if (dot != std::string::npos && name.size() - dot + suffix.size() > kMaxNameBytes) dot = std::string::npos;
    std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
    if (stem.size() + suffix.size() + ext.size() > kMaxNameBytes) {
        std::size_t keep = kMaxNameBytes - suffix.size() - ext.size();
        while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
        stem.resize(keep);
    }
    return stem + suffix + ext;
}

// The name a file called `name` is staged under: the same, but with every
// backslash made "_", because the DICOMDIR separates the parts of a file ID
// with it and could not refer to the file.
std::string StagedName(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '_');
    return name;
}

// "IM" and six digits: a file name of the general-purpose profile.
bool IsDiscFileName(const std::string& name) {
    return name.size() == 8 && name.compare(0, 2, "IM") == 0 &&
           std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The next file name of a disc in the general-purpose profile: "IM000001",
// "IM000002", ..., counted over DVD/1/ and DVD/2/ together, so that no name
// repeats on the disc and the same studies get the same names on every run.
// A file that is not kept, or a study taken out again, gives its numbers
// back (p.discFiles is set back), so the numbers have no gaps.
std::string NextDiscName(Phase& p) {
    while (p.discFiles < kMaxDiscFiles) {
        char name[16];
        std::snprintf(name, sizeof name, "IM%06d", ++p.discFiles);
        if (!EntryExists(p.paths.dvd1 / name) && !EntryExists(p.paths.dvd2 / name)) return name;
    }
    throw Error(0, "The disc would hold more than " + std::to_string(kMaxDiscFiles) +
                       " files, more than the general-purpose file IDs number");
}

// FreeName, starting the suffix search where the last search for the same
// folder and name ended. Names are only taken during a run, so nothing
// below that point has become free (except after a withdrawn study, whose
// names are then simply not reused).
std::string PlaceName(Phase& p, const fs::path& folder, const std::string& name) {
    if (!EntryExists(folder / name)) return name;
    return FreeName(folder, name, &p.nextSuffix[folder.string() + '\0' + name]);
}

// A failure of the staging volume itself (full, over quota, a file size
// limit, read-only, or a folder that takes no new file): every later file
// would fail alike, and it is no fault of the study being staged, so it
// ends the phase through the general handler instead of marking study
// after study "not readable".
struct StagingVolumeError : Error {
    using Error::Error;
};

// "N bytes free" for the volume of `folder`, as far as it can be told.
std::string FreeSpaceText(const fs::path& folder) {
    std::error_code ec;
    const auto info = fs::space(folder, ec);
    if (ec) return "its free space cannot be read";
    return std::to_string(info.available) + " bytes free";
}

bool StagingVolumeFailed(const Error& e, const fs::path& folder) {
    switch (e.number()) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EROFS: return true;
    default: break;
    }
    // Can the folder take a new file at all?
    std::string pattern = (folder / ".probe.XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = ::mkstemp(buffer.data());
    if (fd < 0) return true;
    ::close(fd);
    ::unlink(buffer.data());
    return false;
}

// A file just staged into DVD/1/ in the general-purpose profile that is
// byte for byte one staged there before in this run (the same object found
// twice): not kept twice.
bool StagedBefore(Phase& p, const std::string& key, const fs::path& written) {
    const auto it = p.dvd1Instances.find(key);
    if (it != p.dvd1Instances.end() && SameContent(it->second, written)) return true;
    p.dvd1Instances[key] = written;
    return false;
}

// True when `written` has the bytes of a file an earlier run left in
// DVD/1/; that file is then taken off the list, so that it answers for one
// file of this run only.
bool MatchesLeftover(Phase& p, const fs::path& written, std::uintmax_t size) {
    const auto [first, last] = p.dvd1Leftovers.equal_range(size);
    for (auto it = first; it != last; ++it) {
        if (!SameContent(it->second, written)) continue;
        p.dvd1Leftovers.erase(it);
        return true;
    }
    return false;
}

// Places a file re-encoded for `folder` (EncodedFile) under `sourceName`
// (made a StagedName), or under a free name when that one is taken, and
// adds it to the study's staged files. A file identical to one already
// there under `name` (the same study staged again after an earlier run
// ended early) is not kept twice; the file already there is not this run's
// and is not added.
// General-purpose profile: a file of DVD/1/ gets the disc's next file name
// instead, and one identical to a file staged there before in this run is
// not kept twice (DVDTemp/ works as in the archive profile; its files are
// named when they move into DVD/2/).
// Throws what the encoding failed with (a write failure of the staging
// volume as StagingVolumeError).
void StageDataset(Phase& p, EncodedFile& encoded, const fs::path& folder, const std::string& sourceName) {
    const bool numbered = p.profile == MediaProfile::GeneralPurpose && folder == p.paths.dvd1;
    const int numberBefore = p.discFiles;   // given back with a file that is not kept
    const std::string name = numbered ? NextDiscName(p) : StagedName(sourceName);
    const std::string target = numbered ? name : PlaceName(p, folder, name);
    const fs::path written = folder / target;
    // Listed before the write, so that a write that fails half-way is
    // withdrawn as well.
    p.studyFiles.emplace_back(written, 0);
    try {
        encoded.Place(written);
    } catch (const Error& e) {
        std::error_code ec;
        fs::remove(written, ec);
        if (!ec) p.studyFiles.pop_back();
        p.discFiles = numberBefore;
        // What failed to reach the staging tree is never the source's fault.
        if (dynamic_cast<const TargetWriteError*>(&e) || StagingVolumeFailed(e, folder))
            throw StagingVolumeError(e.number(), "Study " + p.currentFolder + " cannot be staged: " + e.what() +
                                                     ". The staging folder " + folder.string() +
                                                     " takes no more data (" + FreeSpaceText(folder) +
                                                     "); no study is marked. Free space and run again");
        throw;
    } catch (...) {
        std::error_code ec;
        fs::remove(written, ec);
        if (!ec) p.studyFiles.pop_back();
        p.discFiles = numberBefore;
        throw;
    }
    if (numbered ? StagedBefore(p, encoded.dirEntryKey, written)
                 : (target != name && SameContent(folder / name, written)) ||
                       (folder == p.paths.dvd1 && MatchesLeftover(p, written, encoded.bytes))) {
        fs::remove(written);
        p.studyFiles.pop_back();
        p.discFiles = numberBefore;
        return;
    }
    p.studyFiles.back().second = encoded.bytes;
    p.studyBytes += encoded.bytes;
    if (p.studyUid.empty()) p.studyUid = encoded.studyUid;   // "" leaves the folder alone to name the study
}

// The file-level handler: logs the failed file; staging goes on with the
// study's next file. What the study's failures mean is settled when the
// study ends (StageStudy).
void FileFailed(Phase& p, const char* code, const std::exception& e) {
    p.run.shell.FileLog(std::string(code) + p.currentFolder + " " + e.what());
    ++p.studyFailedFiles;
}

// Deletes the given staged files. Returns the bytes they held. Throws
// velunor::Error naming the first file that could not be deleted, after
// deleting all it could; a file that is already gone counts as deleted.
std::uintmax_t RemoveStaged(const StagedFiles& files) {
    std::uintmax_t bytes = 0;
    std::optional<Error> first;
    for (const auto& [file, size] : files) {
        std::error_code ec;
        fs::remove(file, ec);
        if (!ec) bytes += size;
        else if (!first) first = Error(ec.value(), "Cannot withdraw " + file.string() + ": " + ec.message());
    }
    if (first) throw *first;
    return bytes;
}

// Takes a study out of the staging tree again: deletes `files` (what it
// placed into DVD/1/ or DVD/2/ in this run) and, for a new study, empties
// DVDTemp/, which only ever holds the study in progress. Then logs `code` +
// F + " " + `why`. Returns the bytes deleted from `files`.
// Throws velunor::Error when anything of the study cannot be deleted: the
// study would reach the disc in part, so the phase must end without a disc.
std::uintmax_t WithdrawStudy(Phase& p, const StagedFiles& files, bool emptyTemp, const char* code,
                             const std::string& why) {
    std::uintmax_t bytes = 0;
    try {
        bytes = RemoveStaged(files);
        if (emptyTemp) EmptyFolder(p.paths.dvdTemp.string());
    } catch (const Error& e) {
        throw Error(e.number(), "Study " + p.currentFolder + " cannot be withdrawn from the disc: " + e.what());
    }
    p.run.shell.FileLog(code + p.currentFolder + " " + why);
    return bytes;
}

// The per-file steps for one file of a study's source folder. Its DICOM
// file (".dcm") is the next result of `queue`.
void StageFile(Phase& p, Pass pass, const fs::path& file, const fs::path& target, ReencodeQueue& queue) {
    const std::string name = file.filename().string();
    InitDicomToolkit();
    const std::string ext = Extension(name);
    p.Yield();

    if (ext == "DCM") {
        try {
            if (pass == Pass::CarryOver) p.run.shell.DebugLog("0", "Reading: " + file.string());
            EncodedFile encoded = queue.Next();
            if (encoded.readError) std::rethrow_exception(encoded.readError);
            p.Yield();
            StageDataset(p, encoded, target, name);
            ++p.imageCounter;
        } catch (const StagingVolumeError&) {
            throw;
        } catch (const std::exception& e) {
            FileFailed(p, pass == Pass::CarryOver ? "1-1 " : "2-1 ", e);
        }
    } else if (ext == "ZIP") {
        const fs::path copy = p.paths.unzip / name;
        std::error_code ec;
        fs::copy_file(file, copy, fs::copy_options::overwrite_existing, ec);
        if (ec) throw Error(ec.value(), "Cannot copy " + file.string() + " to " + copy.string() + ": " + ec.message());
        UnzipArchive(copy, [&p] { p.Yield(); });
        const std::string base = name.substr(0, name.size() - ext.size());   // ends with "."
        try {
            EncodedFile encoded =
                EncodeForDisc(p.paths.unzip / (base + "dcm"), target / StagedName(base + "dcm"), p.profile);
            if (encoded.readError) std::rethrow_exception(encoded.readError);
            p.Yield();
            StageDataset(p, encoded, target, base + "dcm");
            ++p.imageCounter;
        } catch (const StagingVolumeError&) {
            throw;
        } catch (const std::exception& e) {
            FileFailed(p, pass == Pass::CarryOver ? "1-2 " : "2-2 ", e);
        }
        EmptyFolder(p.paths.unzip.string());
    }
}

// Stages the files of one source folder into `target`, in name order, their
// DICOM files re-encoded ahead on worker threads (ReencodeQueue) while this
// thread places them, logs and yields as it stages file by file. New
// studies: stops as soon as the study has proven larger than a disc
// (staging the rest of it would only cost time). What was encoded ahead and
// not placed is deleted before this returns or throws.
void StageFolder(Phase& p, Pass pass, const fs::path& folder, const fs::path& target) {
    const std::vector<fs::path> files = FilesIn(folder);
    std::vector<ReencodeQueue::Job> jobs;
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        if (Extension(name) == "DCM") jobs.push_back({file, target / StagedName(name)});
    }
    ReencodeQueue queue(std::move(jobs), p.profile);
    for (const fs::path& file : files) {
        StageFile(p, pass, file, target, queue);
        if (pass == Pass::New && p.studyBytes >= p.limits.capacityBytes) {
            p.studyOversized = true;
            return;
        }
    }
}

// The rows of View_Studies for one study, each staged into `target`.
// Returns Cancelled when a cancel was seen after a row.
Flow StageStudyRows(Phase& p, Pass pass, const std::string& studyId, const fs::path& target) {
    std::string sql = "SELECT StudyDirectory1, ArchiveUNC, ArchivePath FROM View_Studies WHERE StudyID = " + studyId;
    if (pass == Pass::CarryOver) sql += " ORDER BY StudyID";
    auto rows = p.db->Query(sql);
    while (rows->Next()) {
        p.Yield();
        StudyRoots roots{rows->Field("StudyDirectory1"), rows->Field("ArchiveUNC"), rows->Field("ArchivePath")};
        p.currentDir1 = roots.studyDirectory1.value_or("");
        auto folder = SourceFolder(roots);
        if (folder) {
            p.currentFolder = *folder;
            if (pass == Pass::CarryOver) {
                if (IsDirectory(*folder)) {
                    p.run.shell.DebugLog("0", "StudyDir: " + *folder);
                    StageFolder(p, pass, *folder, target);
                }
            } else if (!IsDirectory(*folder)) {
                // Selected through the other archive root: nothing to stage
                // from here, the study waits.
                p.run.shell.FileLog("2-0 " + *folder + " Source folder does not exist");
            } else {
                StageFolder(p, pass, *folder, target);
                // A study that fills a disc by itself can never fit.
                if (p.studyOversized) return Flow::Done;
            }
        }
        if (p.Cancelled()) return Flow::Cancelled;
    }
    return Flow::Done;
}

// Files of the study in progress that reached its staging folder in this run.
std::int32_t StudyStaged(const Phase& p) { return p.imageCounter - p.studyStartCounter; }

// Logs, silently, a condition of one study that an operator must see in the
// error log; the run goes on.
void StudyNotice(Phase& p, const std::string& text) {
    p.run.shell.LogError(0, text, kLabel, 0, true);
}

// A study some of whose files could not be read reaches the disc with the
// others: named in the error log and in the run's summary.
void NotePartlyUnreadable(Phase& p) {
    StudyNotice(p, "Study " + p.currentFolder + " is archived without " + std::to_string(p.studyFailedFiles) +
                       " unreadable file(s) (see Logs/FileLog.log); its " + std::to_string(StudyStaged(p)) +
                       " readable file(s) are on the disc");
    p.out.partlyUnreadable.push_back(p.currentFolder);
}

// Stages one study into `target`. Returns Cancelled when a cancel was seen
// after one of its rows.
// A failure that ends the phase takes out again what the study staged in
// this run (and, for a new study, DVDTemp/), so no part of it reaches a disc.
// A study none of whose files could be staged although some failed is
// marked "not readable" when it is new; a carry-over study keeps its disc
// record. Files that did stage go on like any other.
Flow StageStudy(Phase& p, Pass pass, const std::string& studyId, const fs::path& target) {
    p.currentDir1.clear();
    p.currentFolder.clear();
    p.studyId = studyId;
    p.studyUid.clear();
    p.studyFiles.clear();
    p.studyBytes = 0;
    p.studyFailedFiles = 0;
    p.studyOversized = false;
    p.studyStartCounter = p.imageCounter;
    Flow flow = Flow::Done;
    try {
        flow = StageStudyRows(p, pass, studyId, target);
    } catch (...) {
        try {
            RemoveStaged(p.studyFiles);
            if (pass == Pass::New) EmptyFolder(p.paths.dvdTemp.string());
        } catch (const std::exception&) {
            // The failure that interrupted the study is the one reported;
            // the next run's preparation empties DVDTemp/ again.
        }
        p.studyFiles.clear();
        p.imageCounter = p.studyStartCounter;
        throw;
    }
    if (p.studyFailedFiles > 0 && StudyStaged(p) == 0) {
        if (pass == Pass::New) {
            MarkStudyNotReadable(p.db.get(), studyId);
            StudyNotice(p, "Study " + p.currentFolder + ": none of its files could be read; it is marked \"not readable\"");
        } else {
            StudyNotice(p, "Study " + p.currentFolder + " of DVD " + std::to_string(p.out.lastDisc) +
                               ": none of its files could be read again; it stays on that disc only");
        }
    } else if (p.studyFailedFiles > 0 && pass == Pass::CarryOver) {
        NotePartlyUnreadable(p);
    }
    return flow;
}

// The carry-over selection: every study whose first copy is on disc n.
std::vector<std::string> SelectCarryOver(Phase& p) {
    std::vector<std::string> ids;
    auto rows = p.db->Query("Select StudyID from tblStudies where StudyDirectory2 = 'DVD " +
                            std::to_string(p.out.lastDisc) + "' Order By StudyID");
    while (rows->Next()) {
        ids.push_back(CheckedStudyID(rows->Field("StudyID")));
        p.Yield();
    }
    rows.reset();
    p.Yield();
    return ids;
}

// The new selection: up to maxNewStudies studies on no disc whose folder
// exists under ArchiveUNC or else ArchivePath.
Flow SelectNew(Phase& p, std::vector<std::string>& ids) {
    ids.clear();
    p.OpenConnection();
    auto rows = p.db->Query(
        "SELECT StudyID FROM tblStudies WHERE StudyDirectory1 NOT LIKE 'migrated%' AND "
        "(StudyDirectory2 IS NULL OR StudyDirectory2 = '') ORDER BY StudyID");
    auto hasFolder = [](const std::optional<std::string>& root, const std::string& dir1) {
        return root && !root->empty() && IsDirectory(*root + "/" + dir1);
    };
    while (rows->Next()) {
        const std::string id = CheckedStudyID(rows->Field("StudyID"));
        {
            auto look = p.db->Query("SELECT StudyDirectory1, ArchiveUNC, ArchivePath FROM View_Studies WHERE StudyID = " + id);
            if (look->Next()) {
                auto dir1 = look->Field("StudyDirectory1");
                if (dir1 && !dir1->empty() &&
                    (hasFolder(look->Field("ArchiveUNC"), *dir1) || hasFolder(look->Field("ArchivePath"), *dir1))) {
                    ids.push_back(id);
                    if (static_cast<int>(ids.size()) >= p.limits.maxNewStudies) break;
                }
            }
        }
        if (p.Cancelled()) return Flow::Cancelled;
        p.Yield();
    }
    rows.reset();
    p.db.reset();
    p.Yield();
    return Flow::Done;
}

// The capacity gate after one new study has been staged into DVDTemp/.
// Returns GateStopped when the disc is full, Done otherwise (the study was
// moved into DVD/2/, or withdrawn when that failed).
Flow CapacityGate(Phase& p, bool& admitted) {
    admitted = false;
    std::uintmax_t size = 0;
    try {
        size = FolderBytes(p.paths.dvdTemp) + p.dvd2Bytes;
    } catch (const std::exception& e) {
        // Without a size the study cannot be proven to fit: it waits, and so
        // does the rest of the list. Nothing of it is in DVD/2/ yet, and
        // what DVDTemp/ keeps is emptied by the next run's preparation.
        try {
            WithdrawStudy(p, {}, true, "2-3 ", e.what());
        } catch (const std::exception&) {
        }
        return Flow::GateStopped;
    }
    if (size >= p.limits.capacityBytes) {
        try {
            EmptyFolder(p.paths.dvdTemp.string());
        } catch (const std::exception&) {
            // Left for the next run's preparation.
        }
        p.result = true;
        return Flow::GateStopped;
    }
    StagedFiles moved;
    const int numberBefore = p.discFiles;
    try {
        for (const auto& file : FilesIn(p.paths.dvdTemp)) {
            const fs::path to =
                p.paths.dvd2 / (p.profile == MediaProfile::GeneralPurpose ? NextDiscName(p)
                                                                         : PlaceName(p, p.paths.dvd2, file.filename().string()));
            const std::uintmax_t bytes = fs::file_size(file);
            MoveFile(file, to);
            moved.emplace_back(to, bytes);
            p.dvd2Bytes += bytes;
            p.Yield();
        }
    } catch (const std::exception& e) {
        // The study is not written in part: what already moved into DVD/2/
        // goes again, and it waits for a later run.
        const std::uintmax_t bytes = WithdrawStudy(p, moved, true, "2-3 ", e.what());
        p.dvd2Bytes -= std::min(p.dvd2Bytes, bytes);
        p.discFiles = numberBefore;
        return Flow::Done;
    }
    admitted = !moved.empty();
    return Flow::Done;
}

Flow CarryOverPass(Phase& p, const std::vector<std::string>& ids) {
    const double step = kProgressMax / 2.0 / static_cast<double>(ids.size());
    double value = p.progress;
    for (const auto& id : ids) {
        const std::int32_t before = p.imageCounter;
        Flow f = StageStudy(p, Pass::CarryOver, id, p.paths.dvd1);
        if (p.imageCounter > before) ++p.out.carryOverStudies;
        if (f == Flow::Cancelled) return f;
        value += step;
        p.Progress(value);
        p.Yield();
    }
    return Flow::Done;
}

// A new study that fills a disc by itself: it is taken out of DVDTemp/ and
// named in the error log, stays on no disc and never holds up the studies
// after it.
void WithdrawOversized(Phase& p) {
    std::uintmax_t sourceBytes = 0;
    try {
        for (const auto& file : FilesIn(p.currentFolder)) sourceBytes += fs::file_size(file);
    } catch (const std::exception&) {
    }
    WithdrawStudy(p, {}, true, "2-3 ", "Study larger than one disc, withdrawn");
    p.imageCounter = p.studyStartCounter;
    ++p.out.oversizedStudies;
    StudyNotice(p, "Study " + p.currentFolder + " (Study UID " + (p.studyUid.empty() ? "unknown" : p.studyUid) +
                       ") is larger than one disc: at least " + std::to_string(p.studyBytes) +
                       " bytes once re-encoded (its folder holds " + std::to_string(sourceBytes) +
                       " bytes), while a disc takes less than " + std::to_string(p.limits.capacityBytes) +
                       ". It is not archived and stays on no disc");
}

Flow NewStudyPass(Phase& p, const std::vector<std::string>& ids) {
    // DVD/2/ is measured once; from then on only this pass adds to it.
    p.dvd2Bytes = FolderBytes(p.paths.dvd2);
    const double step = kProgressMax / 2.0 / static_cast<double>(ids.size());
    double value = p.progress;
    for (const auto& id : ids) {
        if (StageStudy(p, Pass::New, id, p.paths.dvdTemp) == Flow::Cancelled) return Flow::Cancelled;
        bool admitted = false;
        if (p.studyOversized) {
            WithdrawOversized(p);
        } else if (StudyStaged(p) > 0 && CapacityGate(p, admitted) == Flow::GateStopped) {
            return Flow::GateStopped;
        }
        if (admitted) {
            ++p.out.newStudies;
            if (p.studyFailedFiles > 0) NotePartlyUnreadable(p);
        }
        value += step;
        p.Progress(value);
        p.Yield();
    }
    return Flow::Done;
}

// Deletes from `folder` the incomplete temporary files of writes that a
// killed run left behind: written onto a disc, they would fail its
// verification again and again. Also the files a general-purpose run left
// (an archive run stages no such name): staged again under their source
// names, the objects would otherwise go onto the disc twice. Throws
// velunor::Error when one cannot be deleted.
void RemoveInterruptedWrites(const fs::path& folder) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (it->is_directory() || !(IsTemporaryWriteName(name) || IsDiscFileName(name))) continue;
        std::error_code rm;
        fs::remove(it->path(), rm);
        if (rm) throw Error(rm.value(), "Cannot delete " + it->path().string() + ": " + rm.message());
    }
    if (ec) throw Error(ec.value(), "Cannot list " + folder.string() + ": " + ec.message());
}

// Staging preparation. False when a folder could not be created (MakePath
// has logged it); an EmptyFolder failure throws. DVD/1/ keeps what earlier
// runs staged there, but not the remains of a write that was interrupted.
// In the general-purpose profile DVD/1/ is emptied as well: its file names
// are numbered afresh for every disc, so what an earlier run left would
// hold names the new numbering gives again, or repeat its objects.
bool PrepareStaging(Phase& p) {
    const StagingTree& t = p.paths;
    for (const fs::path* folder : {&t.dvd, &t.dvdTemp, &t.unzip, &t.dvd1, &t.dvd2})
        if (!MakePath(p.run.shell, folder->string())) return false;
    for (const fs::path* folder : {&t.dvd2, &t.dvd, &t.dvdTemp, &t.unzip}) EmptyFolder(folder->string());
    if (p.profile == MediaProfile::GeneralPurpose) {
        EmptyFolder(t.dvd1.string());
        return true;
    }
    RemoveInterruptedWrites(t.dvd1);
    for (const fs::path& file : FilesIn(t.dvd1)) p.dvd1Leftovers.emplace(fs::file_size(file), file);
    return true;
}

std::string Why(const char* text, std::int32_t mb) {
    return std::string(text) + " (" + std::to_string(mb) + " MB of new data)";
}

bool Decide(Run& run, bool result, bool gateStopped, const fs::path& dvd1, const fs::path& dvd2,
            std::uintmax_t megabyte, std::string& why) {
    RunEvents& ev = run.events();
    const auto ask = [&ev](const std::string& text, Icon icon, bool unattended = false) {
        return ev.Ask({text, icon, Buttons::YesNo, unattended}) == Answer::Yes;
    };
    const std::int32_t m = SizeInMB(FolderBytes(dvd2), megabyte);
    ev.Progress(RunPhase::Collect, kProgressMax);

    if (run.settings().AuthBurn == 1) {
        const std::int32_t total = m + SizeInMB(FolderBytes(dvd1), megabyte);
        const std::string text = "Daten für Archiv-DVD zusammengestellt." + kCRLF + "Gesatmgröße: " +
                                 std::to_string(total) + " MB" + kCRLF + kCRLF +
                                 "Möchten Sie den Brennvorgang starten?";
        result = ask(text, Icon::Question);
        if (!result) why = "the operator declined the burn";
        return result;
    }

    if (!run.unattended) {
        // Below 1700 MB, or 1700 MB and more that all fitted: ask.
        if (m > kTooLittleMB && (m < kAskAboveMB || !gateStopped)) {
            const std::string text = "Available volume of new data (" + std::to_string(m) +
                                     " MB) is less than DVD capacity (2000 MB)." + kCRLF + kCRLF + "Continue?";
            if (ask(text, Icon::None)) result = true;
            if (!result) why = Why("the operator declined the burn", m);
        } else if (!result) {
            why = Why("too little new data", m);
        }
        return result;
    }

    // Below 1700 MB only when every new study fitted: once the capacity
    // limit stopped the pass, this disc is as full as the order of the
    // studies lets it get, and waiting would stop at the same study again.
    if (m < kAskAboveMB && !gateStopped) {
        why = Why("less than 1700 MB of new data in unattended mode", m);
        return false;
    }
    if (ask("Daten für Archiv-DVD zusammengestellt. Brennvorgang starten?", Icon::Question, true)) return true;
    why = Why("the operator declined the burn", m);
    return false;
}

// "Keine neuen Untersuchungen gefunden!" (unless Archive is set): no disc
// although nothing failed.
void NothingNew(Phase& p, const char* why) {
    if (p.run.settings().Archive == 0)
        p.run.events().Ask({"Keine neuen Untersuchungen gefunden!", Icon::Information, Buttons::Ok});
    p.out.nothingToWrite = true;
    p.out.why = why;
}

// Steps 5 to 9 of the phase: selections, passes and the decision. Returns
// normally also after a cancel.
void Collect(Phase& p) {
    Collected& out = p.out;

    p.OpenConnection();
    p.Yield();

    Flow flow = Flow::Done;
    auto carryOver = SelectCarryOver(p);
    if (p.Cancelled()) flow = Flow::Cancelled;
    else if (!carryOver.empty()) flow = CarryOverPass(p, carryOver);

    bool gateStopped = false;
    if (flow != Flow::Cancelled) {
        p.db.reset();
        if (p.Cancelled()) {
            flow = Flow::Cancelled;
        } else {
            p.Progress(kProgressMax / 2);
            std::vector<std::string> fresh;
            flow = SelectNew(p, fresh);
            if (flow != Flow::Cancelled) {
                if (fresh.empty()) return NothingNew(p, "no new studies found");
                p.run.shell.DebugLog("Studie-Count: " + std::to_string(fresh.size()), "");
                p.OpenConnection();
                flow = NewStudyPass(p, fresh);
                gateStopped = flow == Flow::GateStopped;
                // Every new study was larger than a disc, unreadable or
                // gone: as when nothing is new.
                if (flow == Flow::Done && out.newStudies == 0) return NothingNew(p, "no new study could be staged");
            }
        }
    }
    // A disc without new data fails its verification: never written.
    if (!p.result && FilesIn(p.paths.dvd2).empty()) {
        p.Progress(kProgressMax);
        out.nothingToWrite = true;
        if (out.why.empty()) out.why = "no new study was staged";
        return;
    }

    if (gateStopped) {
        // After the gate a failing measurement or dialog is skipped: the
        // disc is full and is written.
        try {
            p.result = Decide(p.run, p.result, true, p.paths.dvd1, p.paths.dvd2, p.limits.megabyte, out.why);
        } catch (const std::exception&) {
        }
    } else {
        p.result = Decide(p.run, p.result, false, p.paths.dvd1, p.paths.dvd2, p.limits.megabyte, out.why);
    }
    if (!p.result) out.nothingToWrite = true;
}

void FinalCleanup(Phase& p) {
    try {
        p.run.events().Progress(RunPhase::Collect, kProgressMax);
    } catch (...) {
    }
    try {
        p.db.reset();
    } catch (...) {
    }
}

}  // namespace

bool MakePath(Shell& shell, const std::string& path) {
    try {
        std::string prefix = !path.empty() && path[0] == '/' ? "/" : "";
        std::size_t pos = 0;
        while (pos <= path.size()) {
            std::size_t slash = path.find('/', pos);
            if (slash == std::string::npos) slash = path.size();
            const std::string piece = path.substr(pos, slash - pos);
            pos = slash + 1;
            if (piece.empty()) continue;
            prefix += piece;
            std::error_code ec;
            if (!fs::is_directory(prefix, ec)) {
                fs::create_directory(prefix, ec);
                if (ec) throw Error(ec.value(), "Cannot create " + prefix + ": " + ec.message());
                if (!fs::is_directory(prefix, ec))
                    throw ErrnoError(ENOTDIR, "Cannot create " + prefix);
            }
            prefix += '/';
        }
        return true;
    } catch (const std::exception& e) {
        try {
            shell.LogError(ErrorNumber(e), e.what(), "MakePath(" + path + ")", 0, false);
        } catch (...) {
        }
        return false;
    }
}

void MarkStudyNotReadable(Database* db, const std::string& studyId) noexcept {
    if (!db) return;
    try {
        // The key stands bare, as in every statement of the selection: it
        // was checked to be a whole number when it was read.
        db->Execute("UPDATE tblStudies SET StudyDirectory2 = 'not readable' WHERE StudyID = " +
                        CheckedStudyID(studyId) + " AND (StudyDirectory2 IS NULL OR StudyDirectory2 = '')",
                    {});
    } catch (...) {
        // The study keeps its value.
    }
}

std::optional<std::string> SourceFolder(const StudyRoots& row) {
    if (!row.studyDirectory1 || row.studyDirectory1->empty()) return std::nullopt;
    const std::string& d = *row.studyDirectory1;
    if (row.archiveUNC && !row.archiveUNC->empty()) return *row.archiveUNC + "/" + d + "/";
    if (row.archivePath && !row.archivePath->empty()) return *row.archivePath + "/" + d + "/";
    return std::nullopt;
}

std::uintmax_t FolderBytes(const fs::path& folder) {
    std::uintmax_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, ec), end;
    if (ec) throw Error(ec.value(), "Cannot measure " + folder.string() + ": " + ec.message());
    for (; it != end; it.increment(ec)) {
        std::error_code sec;
        if (!it->is_regular_file(sec)) continue;
        const auto size = it->file_size(sec);
        if (sec) throw Error(sec.value(), "Cannot measure " + it->path().string() + ": " + sec.message());
        total += size;
    }
    if (ec) throw Error(ec.value(), "Cannot measure " + folder.string() + ": " + ec.message());
    return total;
}

std::int32_t SizeInMB(std::uintmax_t bytes, std::uintmax_t megabyte) {
    const double mb = std::nearbyint(static_cast<double>(bytes) / static_cast<double>(megabyte));
    return mb >= static_cast<double>(std::numeric_limits<std::int32_t>::max())
               ? std::numeric_limits<std::int32_t>::max()
               : static_cast<std::int32_t>(mb);
}

std::string FreeName(const fs::path& folder, const std::string& name, int* nextSuffix) {
    if (!EntryExists(folder / name)) return name;
    int first = 1;
    int& k = nextSuffix ? *nextSuffix : first;
    if (k < 1) k = 1;
    for (int tries = 0; tries < kMaxNameAttempts; ++tries, ++k) {
        std::string candidate = Suffixed(name, k);
        if (!EntryExists(folder / candidate)) return candidate;
    }
    throw Error(0, "No free name for " + name + " in " + folder.string());
}

bool DecideBurn(Run& run, bool result, bool gateStopped, std::string& why, std::uintmax_t megabyte) {
    const StagingTree paths = run.Tree();
    return Decide(run, result, gateStopped, paths.dvd1, paths.dvd2, megabyte, why);
}

Collected DatenKopieren(Run& run, const CollectLimits& limits) {
    Phase p(run, limits);
    Collected& out = p.out;
    try {
        // Nothing is staged in a profile nobody chose.
        if (!run.settings().ProfileProblem.empty()) {
            out.couldNotStart = true;
            throw Error(0, run.settings().ProfileProblem);
        }
        try {
            out.lastDisc = ReadLastMediaNr(run.shell.programDir);
        } catch (const std::exception&) {
            out.couldNotStart = true;
            throw;
        }
        if (out.lastDisc == std::numeric_limits<std::int32_t>::max()) {
            out.couldNotStart = true;
            throw Error(0, "The next disc would be DVD " + std::to_string(std::int64_t{out.lastDisc} + 1) +
                               ", which does not fit the disc numbers of the database (at most " +
                               std::to_string(out.lastDisc) + "); nothing is written");
        }
        if (!PrepareStaging(p)) {
            out.why = "the staging tree could not be created";
            return out;
        }
        Collect(p);
    } catch (const std::exception& e) {
        const std::string message = std::string(e.what()) + " ImgNr: " + std::to_string(p.imageCounter);
        out.nothingToWrite = false;
        out.why = message;
        try {
            run.shell.LogError(ErrorNumber(e), message, kLabel, 0, false);
        } catch (...) {
        }
    }
    FinalCleanup(p);
    out.write = p.result;
    return out;
}

}  // namespace velunor
