// Extraction of study ZIP archives.
#pragma once

#include <filesystem>
#include <functional>

namespace velunor {

// Extracts every entry of `archive` into the folder that holds it, dropping
// stored folder paths and replacing files of the same name; no password is
// supplied, so encrypted entries are not extracted. `yield` is called
// between entries. Returns true when every entry was extracted. An entry
// can never be written outside the target folder.
bool UnzipArchive(const std::filesystem::path& archive, const std::function<void()>& yield = {});

}  // namespace velunor
