// DICOM media: the toolkit (reading, re-writing, DICOMDIR building) and the
// phase that writes the disc's DICOMDIR.
#pragma once

#include "app/run.hpp"
#include "dicom/toolkit.hpp"

namespace velunor {

// The DICOMDIR phase of a run. Reads every file lying directly in DVD/1/
// and then in DVD/2/ of the disc's staging tree (each folder in name order;
// subfolders are not visited) through the toolkit, adds a record for it
// with the file ID "1\<name>" or "2\<name>", and writes the DICOMDIR as
// DVD/Dicomdir, or in the general-purpose media profile (settings.Profile)
// as DVD/DICOMDIR under that profile's rules (DicomDirBuilder).
// Progress: the DicomDir bar goes to 0 and advances by one file's share
// (of the files counted in both folders before anything is deleted) per
// recorded file, with a Yield after each.
// A zero-byte file in DVD/1/ is deleted (a failed deletion is ignored) and
// gets no record and no progress step; a zero-byte file in DVD/2/ is read
// like any other and fails.
// Returns true when the DICOMDIR has been written. Any failure (a folder
// that cannot be listed, a file the toolkit cannot read, a record that
// cannot be added, a DICOMDIR that cannot be written), also after a
// zero-byte file was deleted, ends the phase: LogError with the error's
// number and text, label "DicomDir", image id 0, not silent; returns false
// and no DICOMDIR is written. Staged files are left as they are.
// Never throws.
bool DicomDir(Run& run, const StagedDisc& disc);

}  // namespace velunor
