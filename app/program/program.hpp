// What the two programs (the window and the headless runner) share: the
// real phases and disc writer, and where the program's files live.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "app/program/controller.hpp"
#include "collect/collect.hpp"

namespace velunor {

// The program's version: the project's one version number.
std::string_view ProgramVersion();

// The directory of the running executable: velunor.ini, LastMediaNr and
// Logs/ live there.
std::filesystem::path ProgramDirectory();

// The phases of a real run. The programs always run with the default
// limits; tests scale them down.
Phases ProgramPhases(const CollectLimits& limits = {});

// The real disc writer (libburn; the image-folder drive when ImageFolder is
// set). It reads `settings` again at every drive scan.
std::unique_ptr<DiscWriter> MakeProgramWriter(const Settings& settings);

// Start-up check shared by both programs: the DICOM data dictionary must be
// loaded, or files would be misread silently. Returns an error text, or ""
// when the program may start.
std::string StartupProblem();

}  // namespace velunor
