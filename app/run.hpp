// What a run shares: the process-wide shell (settings, logs, window) and the
// main window's run state, handed to every phase as one Run.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/logging.hpp"
#include "app/settings.hpp"
#include "app/window_system.hpp"

namespace velunor {

class DiscWriter;

// Every interval and wait of the program. Tests shrink them; nothing in the
// core sleeps on its own.
struct Timing {
    std::chrono::milliseconds timerDVD{500};      // drive detection, then burn polling
    std::chrono::milliseconds timerReady{30000};  // configuration reload
    std::chrono::milliseconds timerWrite{60000};  // unattended tick
    std::int16_t autoTickLimit = 240;             // unattended start on tick limit + 1
    std::chrono::milliseconds detectDelay{200};   // fDetect's timer
    std::chrono::milliseconds noticeStep{7500};   // fNot's timer (two steps)
};

// Process-wide: lives as long as the program.
struct Shell {
    std::filesystem::path programDir;  // velunor.ini, LastMediaNr, Logs/
    Settings settings;
    LogSink log;
    WindowSystem& window;
    Timing timing;
    int errorsLogged = 0;  // LogError calls since start
    // Called with the message of every LogError that shows no message box
    // (silent, or Archive set): the headless runner prints them.
    std::function<void(const std::string&)> onUnshownError;

    Shell(std::filesystem::path dir, WindowSystem& w);

    // LogError with this shell's sink, settings and window.
    void LogError(std::int32_t number, std::string message, const std::string& label,
                  std::int32_t imageId = 0, bool silent = false);
    void FileLog(const std::string& text) { velunor::FileLog(log, text); }
    // Writes only while settings.DebugMode is set.
    void DebugLog(const std::string& first, const std::string& second);
};

// The main window's fields that a run reads and writes.
struct RunState {
    bool AutoMode = false;
    bool CancelRequested = false;
    bool RunActive = false;
    std::int16_t BurnState = 0;     // 0 writing, 1 written and back in the drive, -1 failed
    std::int16_t DriveIndex = -1;   // working drive, -1 = none
    std::int32_t MaxSpeed = 0;      // working drive's highest write speed, KB/s
    std::int32_t MediaNumber = 0;   // last disc written
    std::vector<std::string> DiscStudies1;  // study UIDs found in the disc's 1/
    std::vector<std::string> DiscStudies2;  // study UIDs found in the disc's 2/

    // Outcome of the last run, for the completion message and the headless
    // runner's last line and exit status.
    struct Summary {
        int carryOverStudies = 0;
        int newStudies = 0;
        int oversizedStudies = 0;       // new studies larger than one disc, withdrawn (never recorded)
        std::vector<std::string> partlyUnreadable;   // source folders of studies archived without some files
        int recordedStudies = 0;        // rows updated by the database update
        int failedUpdates = 0;          // updates that failed or changed no row
        bool discWritten = false;       // a disc (or image) was written or taken over and verified
        std::int64_t discNumber = 0;    // its number (the number in its label)
        bool discRecorded = false;      // the completion message was shown
        bool journalKept = false;       // some updates of the disc wait in the record journal
        bool numberStored = true;       // LastMediaNr holds the number of the disc written
        bool couldNotStart = false;     // refused before anything was staged (lock, media number)
        bool nothingToWrite = false;
        std::string why;
    } summary;
};

// One run's view of everything: passed to each phase.
struct Run {
    Shell& shell;
    RunState& state;
    DiscWriter& writer;

    WindowSystem& window() { return shell.window; }
    Settings& settings() { return shell.settings; }
    // The staging tree of this run's TempPath.
    StagingTree Tree() const { return StagingTree(shell.settings.TempPath); }
};

}  // namespace velunor
