// Helpers of the disc tests: DICOM files to put on a disc, a shell on
// recorded run events, and a loop that waits for a real burn.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "app/run.hpp"
#include "disc/disc_writer.hpp"
#include "tests/support/recorded_events.hpp"
#include "tests/support/support.hpp"

namespace velunor::test {

// `count` DICOM files of one study in `folder` (Implicit VR Little Endian,
// pixels that differ from file to file), named prefix + "<n>.dcm" from `first` on.
void StageStudy(const std::filesystem::path& folder, const std::string& studyUid, int count,
                const std::string& prefix, int first = 1, std::size_t pixelBytes = 4096);

// A shell in a temporary program folder, the staging root dir/"temp/" with
// DVD/1 and DVD/2, and dir/"images" (not yet the settings' image folder).
struct DiscHarness {
    TempDir dir;
    RecordedEvents events;
    velunor::Shell shell;
    DiscWriter* writer = nullptr;

    DiscHarness();
    Run run() { return Run{shell, *writer}; }
    StagedDisc Disc(std::int32_t previous) const { return {previous, StagingTree(shell.settings.TempPath)}; }
    std::filesystem::path dvd() const { return dir.path() / "temp" / "DVD"; }
    std::filesystem::path images() const { return dir.path() / "images"; }
    std::string Log() const { return ReadAll(dir / "Logs" / "Error.log"); }
};

// Calls writer.Poll() until `done` holds; false after two minutes.
bool PumpUntil(DiscWriter& writer, const std::function<bool()>& done);

}  // namespace velunor::test
