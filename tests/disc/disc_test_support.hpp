// Helpers of the disc tests: DICOM files to put on a disc, a headless main
// window that records its notices and progress values, and a loop that
// waits for a real burn.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/run.hpp"
#include "disc/disc_writer.hpp"
#include "tests/support/support.hpp"

namespace velunor::test {

// Writes a small DICOM file in Implicit VR Little Endian (Secondary Capture)
// with the given Study and SOP Instance UIDs and `pixelBytes` bytes of
// pixel data derived from `seed`.
void WriteDicomFile(const std::filesystem::path& path, const std::string& studyUid, const std::string& sopUid,
                    std::size_t pixelBytes = 4096, unsigned seed = 1);

// A HeadlessWindow that also records each modal notice it shows.
class RecordingWindow : public HeadlessWindow {
public:
    struct Notice {
        std::string title;
        std::string text;
        std::chrono::milliseconds interval;
    };
    using HeadlessWindow::HeadlessWindow;
    std::vector<Notice> notices;
    void RunModalNotice(const std::string& title, const std::string& text, std::chrono::milliseconds interval,
                        const std::function<bool()>& onTick) override;
};

// One main window, shell and run state in a temporary program directory,
// with the staging root at dir/"temp/" and an image folder dir/"images".
struct DiscHarness {
    TempDir dir;
    ScriptedPrompter prompter;
    FakeSleep sleep;
    RecordingWindow window;
    velunor::Shell shell;
    RunState state;
    std::unique_ptr<DiscWriter> owned;  // when the harness creates the writer
    DiscWriter* writer = nullptr;
    // Values each progress bar was set to, in order.
    std::vector<std::pair<Control, int>> barValues;

    DiscHarness();
    Run run() { return Run{shell, state, *writer}; }

    std::filesystem::path temp() const { return dir.path() / "temp"; }
    std::filesystem::path dvd() const { return dir.path() / "temp" / "DVD"; }
    std::filesystem::path images() const { return dir.path() / "images"; }
    // Lines of Logs/Error.log.
    std::vector<std::string> ErrorLog() const;
    // Values the bar `c` was set to, in order.
    std::vector<int> Bar(Control c) const;
};

// Puts `count` DICOM files of one study into `folder`, named
// prefix + "<n>.dcm" and numbered from `first`.
void StageStudy(const std::filesystem::path& folder, const std::string& studyUid, int count,
                const std::string& prefix, int first = 1, std::size_t pixelBytes = 4096);

// Calls writer.Poll() until `done` holds; waits 1 ms between polls for the
// library's threads. Returns false after `limit`.
bool PumpUntil(DiscWriter& writer, const std::function<bool()>& done,
               std::chrono::seconds limit = std::chrono::seconds(120));

// Runs `command` through the shell; returns its exit status, with its
// standard output and error in `output`.
int RunShell(const std::string& command, std::string& output);

}  // namespace velunor::test
