// Archive bookkeeping: records a verified disc in the database, advances
// and stores the media number, ejects the disc and empties the staging tree.
#pragma once

#include <cstdint>
#include <filesystem>

#include "app/run.hpp"
#include "bookkeeping/database.hpp"

namespace velunor {

// Writes LastMediaNr in `programDir`: a blank, the number, a blank, CR LF.
// The file is replaced atomically (temporary file, flushed to disk,
// renamed), so it is never left empty or half written.
// Throws velunor::Error (errno) when it cannot be written; the old file is
// then unchanged.
void WriteLastMediaNr(const std::filesystem::path& programDir, std::int32_t mediaNumber);

// Records the disc just verified: every study of run.state.DiscStudies1
// gets StudyDirectory2 = "DVD n|DVD n+1", every study of DiscStudies2 gets
// "DVD n+1" (n = run.state.MediaNumber; each StudyUID bound as a parameter),
// then ejects the disc, empties DVD/, DVD/1/, DVD/2/, Unzip/ and DVDTemp/ of
// the staging tree, advances the media number to n + 1 and writes
// LastMediaNr last: a run that ends before that keeps the number of this
// disc and leaves nothing of its content in the staging tree behind a new
// number. Progress on pbDB (first list 0..5000, second 5000..10000).
// A failed connection or update is logged with the label "DBUpdate" and
// counted in run.state.summary.failedUpdates; the media number advances all
// the same, because the disc exists. Except when no connection can be
// opened and the written medium is an image that stays in the image folder
// (DiscWriter::WrittenImageStays): then nothing is recorded, the staging
// tree is emptied, the number stays, and the next run takes the image over
// and records it (logged with "DBUpdate"; returns false).
// Returns false otherwise only when LastMediaNr could not be written
// (logged): the next disc would reuse the number.
bool DBUpdate(Run& run);

}  // namespace velunor
