// Small file-system helpers every library uses: one text for an errno, and
// one way to replace a file so that it is never left half written.
#pragma once

#include <filesystem>
#include <string>

#include "app/error.hpp"

namespace velunor {

// velunor::Error(err, what + ": " + the system's text for err).
Error ErrnoError(int err, const std::string& what);

// Replaces `file` with `content` atomically: a temporary file beside it
// ("<name>.tmp", never opened through a link) is written, flushed to disk
// and renamed over `file`, then the folder is flushed so that the rename
// lasts. `file` is never left empty or half written.
// Throws velunor::Error (errno) "<name> cannot be written: <reason>"; `file`
// is then unchanged and the temporary file removed.
void ReplaceFileAtomically(const std::filesystem::path& file, const std::string& content);

// Deletes every file lying directly in the folder `path` ("/" is appended
// when missing); subfolders and their content are left alone, a symbolic
// link is deleted (never what it points to). A missing folder holds no
// file, so nothing happens. Every file that can be deleted is deleted.
// Throws velunor::Error (with errno) naming the first file that could not
// be deleted, or when the folder cannot be listed; an empty path is refused.
void EmptyFolder(const std::string& path);

// Flushes a folder's entries (a rename or an unlink in it) to disk; a
// folder that cannot be opened is passed over.
void SyncFolder(const std::filesystem::path& folder);

}  // namespace velunor
