// The file LastMediaNr in the program folder: the number of the last disc
// written. A run reads it before it selects studies and writes n + 1 as the
// very last step of a recorded disc.
#pragma once

#include <cstdint>
#include <filesystem>

namespace velunor {

// The number in `programDir`/LastMediaNr: the first line, blanks around the
// number allowed. A missing file or an empty first line gives 0.
// Throws velunor::Error naming the file (number 0) when it is not a file
// (a folder), or its line is not a 32-bit whole number or is negative, and
// (with errno) when the file exists but cannot be read.
std::int32_t ReadLastMediaNr(const std::filesystem::path& programDir);

// Writes LastMediaNr in `programDir`: a blank, the number, a blank, CR LF,
// through ReplaceFileAtomically (same guarantees and errors): a reader sees
// the old number or the new one, never a mix.
void WriteLastMediaNr(const std::filesystem::path& programDir, std::int32_t mediaNumber);

}  // namespace velunor
