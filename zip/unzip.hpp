// Extraction of study ZIP archives.
#pragma once

#include <filesystem>
#include <functional>

namespace velunor {

// Extracts every entry of `archive` into the folder that holds it, dropping
// stored folder paths and replacing files of the same name (of two entries
// with one name, the later one stays); no password is supplied, so
// encrypted entries are not extracted. `yield` is called before, between
// the entries and after. Returns true when every entry was extracted; a
// missing or damaged archive, or any entry refused or failed, gives false
// (the other entries are still extracted).
// Throws velunor::Error (number 0) only when `archive` has no folder part.
// Guarantees: an entry is never written outside the target folder (absolute
// names and names with ".." are refused), links, devices and pipes are never
// created, an existing link is replaced rather than followed, an entry whose
// declared size exceeds the free space of the volume is refused before
// anything is written, no file grows beyond its entry's declared size, and
// a failed entry leaves no partial file and the file it would have replaced
// unchanged.
bool UnzipArchive(const std::filesystem::path& archive, const std::function<void()>& yield = {});

}  // namespace velunor
