// Archive bookkeeping: records a verified disc in the database, keeps what
// could not be recorded in the record journal and records it on a later run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/files.hpp"
#include "app/run.hpp"
#include "bookkeeping/database.hpp"

namespace velunor {

// ---------------------------------------------------------------------------
// The record journal: the file "RecordJournal" in the program folder (beside
// LastMediaNr). It holds the updates of verified discs that are not (yet)
// known to be in the database, so that a disc that exists is never left
// unrecorded and its studies are not written again onto later discs.
//
// Format (version 1), plain text, lines ending in LF:
//
//     Velunor record journal 1
//     DVD 7
//     1 "1.2.840.10008.1"
//     2 "1.2.3\x20"
//     end 2
//
//   - the first line names the format;
//   - "DVD k" starts the updates of disc k (several discs may follow one
//     another; their updates run in the order of the file);
//   - `1 "uid"`: the study was found in the disc's folder 1 (carry-over) and
//     gets StudyDirectory2 = "DVD k-1|DVD k"; `2 "uid"`: found in folder 2
//     (new) and gets "DVD k";
//   - inside the quotes each byte 0x21..0x7E other than `"` and `\` stands
//     for itself, every other byte (blank, control bytes, bytes above 0x7E,
//     `"`, `\`) is written as \xHH (two hex digits), so any UID, empty or
//     holding odd bytes, has exactly one spelling on one line;
//   - "end N" closes the file, N = the number of study lines.
// Reading also accepts CR LF line ends and upper-case hex digits; anything
// else is refused as damaged.

inline constexpr const char* kRecordJournalName = "RecordJournal";

struct JournalEntry {
    std::int32_t disc = 0;  // k of "DVD k"
    int folder = 2;         // 1: "DVD k-1|DVD k", 2: "DVD k"
    std::string studyUid;   // as verification read it, any bytes

    // The StudyDirectory2 value the study gets.
    std::string Value() const;
    bool operator==(const JournalEntry&) const = default;
};

// The journal's text for `entries` (grouped under a "DVD k" line whenever
// the disc changes), as described above.
std::string FormatRecordJournal(const std::vector<JournalEntry>& entries);
// Reads a journal's text. Throws velunor::Error (0) "line n: <what is
// wrong>" for anything that is not exactly the format above (an unknown
// first line, a study line before any "DVD k" line, a folder other than 1
// or 2, a bad escape, a missing or wrong "end N" line, text after it, ...).
std::vector<JournalEntry> ParseRecordJournal(const std::string& text);

// programDir / kRecordJournalName.
std::filesystem::path RecordJournalPath(const std::filesystem::path& programDir);
// The journal in `programDir`; nullopt when there is none. Throws
// velunor::Error naming the file when it cannot be read or is damaged.
std::optional<std::vector<JournalEntry>> ReadRecordJournal(const std::filesystem::path& programDir);
// Replaces the journal in `programDir` with `entries` (ReplaceFileAtomically);
// an empty list removes it (and flushes the folder). Throws velunor::Error
// naming the file when it cannot.
void WriteRecordJournal(const std::filesystem::path& programDir, const std::vector<JournalEntry>& entries);

// ---------------------------------------------------------------------------

// Records the disc just verified: every study of verified.studies1 gets
// StudyDirectory2 = "DVD n|DVD n+1", every study of studies2 gets "DVD n+1"
// (n + 1 = verified.disc.Number(); each StudyUID bound as a parameter).
// Progress on the Record bar (first list 0..5000, second 5000..10000).
// Recording is all it does: the run controller then ejects the disc,
// empties the staging tree and advances the number, in that order.
//
// Before the first update, the updates are written to the record journal
// (after the entries an earlier run may have left there, which are kept
// but not run here). Each update then ends one of three ways:
//   - it changed a row: recorded (recordedStudies);
//   - it raised a database error (no connection included): counted in
//     failedUpdates and logged with "DBUpdate" (the first failure of a list
//     shown, later ones only logged); it stays in the journal, except when
//     the database refused the value itself (SQLSTATE class 22, e.g. a UID
//     that is not valid text in the database's encoding), which no retry
//     can change;
//   - it changed no row (no study has that UID): counted in failedUpdates,
//     logged silently with "DBUpdate" naming the folder, the UID and the
//     disc, and not kept (no retry can help).
// Afterwards the journal is removed when nothing is left to retry,
// otherwise rewritten with what is left (an entry superseded by a later one
// for the same UID is dropped) and journalKept is set. A journal that
// cannot be written, or an earlier one that cannot be read, is logged
// (shown) and left alone; the updates run all the same.
//
// A disc's number is used up whatever the database said, because the disc
// exists (numberUsed), recorded fully, partly or not at all. The one
// exception: no connection can be opened and the medium is an image that
// stays in the image folder (verified.imageStays). Then nothing is recorded
// and no journal is written, numberUsed is false, and the next run takes
// the image over and records it (logged with "DBUpdate"). Never throws.
Recorded DBUpdate(Run& run, const VerifiedDisc& verified);

// Records what the record journal of an earlier run still holds; meant to
// run after the run's lock is taken and before any study is selected.
//   - No journal: does nothing, clear.
//   - Otherwise logs silently, per disc, "Recording DVD k from the record
//     journal of an earlier run: N studies" (label "ReplayRecordJournal"),
//     opens its own connection with run.settings() and runs the journal's
//     updates in order, by DBUpdate's rules (database error: logged, stays;
//     value refused or no row changed: logged, dropped). Then removes the
//     journal, or rewrites it with what is left. Its counts are not the
//     run's: they go to the log only.
// Clear when no journal is left. Not clear (journalKept) when entries
// remain or the database cannot be reached (journal unchanged), when the
// journal cannot be read, rewritten or removed, or when it is damaged
// (never removed then): each with a shown error saying which discs are
// verified but not recorded, and that the run stops before selecting
// studies so that they are not written twice; `why` says so briefly.
// Never throws. Idempotent: a replay cut short is simply run again.
Replayed ReplayRecordJournal(Run& run);

}  // namespace velunor
