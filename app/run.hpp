// What a run shares, and the values its phases hand on to one another.
//
//   Collected ──> StagedDisc ──> (DICOMDIR, image and burn) ──> VerifiedDisc ──> Recorded
//
// The collection says whether a disc is to be written and which number it
// gets; the DICOMDIR phase and the burn work on that StagedDisc; the
// verification reads the written medium back into a VerifiedDisc (the
// Study UIDs it really holds, per folder); the database update records
// exactly those. The run controller (app/program/controller.hpp) passes
// each value on and finishes the disc: eject, empty the staging tree,
// advance and store the number.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/logging.hpp"
#include "app/run_events.hpp"
#include "app/settings.hpp"

namespace velunor {

class DiscWriter;

// Every interval and wait of the program. Tests shrink them; nothing in the
// core sleeps on its own.
struct Timing {
    std::chrono::milliseconds timerDVD{500};      // drive detection, then burn polling
    std::chrono::milliseconds timerReady{30000};  // configuration reload
    std::chrono::milliseconds timerWrite{60000};  // unattended tick
    std::int16_t autoTickLimit = 240;             // unattended start on tick limit + 1
    std::chrono::milliseconds detectDelay{200};   // the detection notice's wait
    std::chrono::milliseconds noticeStep{7500};   // the tray notice's two steps
};

// Process-wide: lives as long as the program.
struct Shell {
    std::filesystem::path programDir;  // velunor.ini, LastMediaNr, Logs/
    Settings settings;
    LogSink log;
    RunEvents& events;
    Timing timing;
    // Called with the message of every LogError that asks nothing (silent,
    // or Archive set): the headless runner prints them.
    std::function<void(const std::string&)> onUnshownError;

    Shell(std::filesystem::path dir, RunEvents& e);

    // LogError with this shell's sink and settings; a shown error is asked
    // as a critical message through `events`.
    void LogError(std::int32_t number, std::string message, const std::string& label,
                  std::int32_t imageId = 0, bool silent = false);
    void FileLog(const std::string& text) { velunor::FileLog(log, text); }
    // Writes only while settings.DebugMode is set.
    void DebugLog(const std::string& first, const std::string& second);
};

// The working drive, found by the drive detection.
struct Drive {
    std::int16_t index = -1;   // in the disc writer's list
    std::string name;          // vendor and product
    std::int32_t maxSpeed = 0; // highest write speed, KB/s
};

// One run's view of everything: passed to each phase.
struct Run {
    Shell& shell;
    DiscWriter& writer;
    bool unattended = false;          // started by the unattended tick (AUTO)
    const bool* cancelRequested = nullptr;  // Cancel was clicked; polled by the collection

    RunEvents& events() const { return shell.events; }
    Settings& settings() const { return shell.settings; }
    bool Cancelled() const { return cancelRequested && *cancelRequested; }
    // The staging tree of this run's TempPath.
    StagingTree Tree() const { return StagingTree(shell.settings.TempPath); }
};

// What the collection found.
struct Collected {
    std::int32_t lastDisc = 0;   // n: the number in LastMediaNr
    bool write = false;          // the staging tree is to be written as disc n + 1
    bool couldNotStart = false;  // refused before anything was staged (an unusable LastMediaNr)
    bool nothingToWrite = false; // no disc although nothing failed (nothing new, too little, declined)
    int carryOverStudies = 0;    // studies that brought files into DVD/1/
    int newStudies = 0;          // studies that brought files into DVD/2/
    int oversizedStudies = 0;    // new studies larger than a disc, withdrawn
    std::vector<std::string> partlyUnreadable;  // source folders of studies staged without some files
    std::string why;             // why no disc, or the error's message
};

// The disc a run writes: the staging tree's DVD/ as disc `previous` + 1.
struct StagedDisc {
    std::int32_t previous = 0;   // the last disc written before it
    StagingTree tree;

    std::int64_t Number() const { return std::int64_t{previous} + 1; }
    // "DVD " + Number(): its volume label and its name in the database.
    std::string Label() const { return "DVD " + std::to_string(Number()); }
};

// How the image and burn phase ended.
enum class BurnStart {
    Failed,     // nothing is being written (the reason was logged or asked)
    Started,    // the burn runs; its events tell when it ends
    TakenOver,  // the image of this disc existed already and is the medium to verify
};

// A written medium read back: the Study UIDs it really holds, per folder,
// each once, in the order found.
struct VerifiedDisc {
    StagedDisc disc;
    std::vector<std::string> studies1;  // found in 1/: carry-over, "DVD n|DVD n+1"
    std::vector<std::string> studies2;  // found in 2/: new, "DVD n+1"
    bool imageStays = false;            // an image that stays in the image folder (no disc left the drive)
};

// What the database update did with a verified disc.
struct Recorded {
    // False only when nothing could be recorded and the image stays in the
    // image folder for the next run to take over: the disc keeps its
    // number. Otherwise the disc's number is used up, recorded or not.
    bool numberUsed = true;
    int recordedStudies = 0;    // rows changed
    int failedUpdates = 0;      // updates that failed or changed no row
    bool journalKept = false;   // some wait in the record journal
};

// What the replay of an earlier run's record journal left.
struct Replayed {
    bool clear = true;          // no journal is left: the run may select studies
    bool journalKept = false;
    std::string why;            // when not clear
};

}  // namespace velunor
