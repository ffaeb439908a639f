// The run controller of the main window: sequences the phases of an archive
// run, keeps the window's enabled and visible states, and reacts to the
// timers TimerDVD (drive detection, then burn polling), TimerReady
// (configuration reload) and TimerWrite (unattended starts).
//
// It runs without a display: the Qt main window and the headless runner both
// forward their clicks and timer ticks here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/run.hpp"
#include "app/run_lock.hpp"
#include "disc/disc_writer.hpp"

namespace velunor {

// The phases of a run and the two windows the controller opens. Each phase
// returns its success flag; a phase logs and shows its own errors.
struct Phases {
    // Records what the record journal of an earlier run still holds; false
    // when it could not, and the run must not select studies.
    std::function<bool(Run&)> ReplayJournal;
    std::function<bool(Run&)> DatenKopieren;
    std::function<bool(Run&)> DicomDir;
    std::function<bool(Run&)> DVDCreate;
    std::function<bool(Run&)> DVDVerify;
    std::function<bool(Run&)> DBUpdate;
    std::function<void(Run&)> ShowDetectWindow;           // fDetect, modal
    std::function<DiscWriterEvents(Run&)> BurnEvents;      // handlers of the burn's events
};

// The argument text of the command line: the arguments joined by blanks.
std::string ArgumentText(int argc, char** argv);
// True when the entry sequence opens only the configuration dialog.
bool WantsConfigDialog(const std::string& argumentText);

class RunController {
public:
    // `shell.settings` must have been loaded. Sets the burn event handlers on
    // `writer`.
    RunController(Shell& shell, DiscWriter& writer, Phases phases, std::string argumentText);

    // Window creation and load: debug/AUTO handling, initial captions,
    // timers. Shows the main window unless unattended.
    void Load();

    // cmdStarten. Takes the run lock first (app/run_lock.hpp): when another
    // run holds it, starts nothing, shows "another run is active (process
    // N)" in lblCur and sets summary.couldNotStart; an unattended start then
    // tries again at the next TimerWrite tick. The lock is held until the
    // run ends.
    void StartClicked();
    void CancelClicked();    // cmdCancel
    void TimerDVDTick();
    void TimerWriteTick();
    // Reloads velunor.ini. During a run the new settings wait and apply when
    // the run ends, so a run keeps the settings it started with.
    void TimerReadyTick();
    // A request to close the main window. Returns false when it is refused
    // (a run is active and the user asked through the close box). The drive
    // door is freed in every case.
    bool CloseRequest(bool fromUser);

    RunState state;
    std::int16_t AutoTickCount = 0;
    std::int16_t AutoTickLimit = 0;
    Run run;

private:
    void EndRunWithoutDisc();   // step 9 of a start
    void EndRun();              // step 4 of the TimerDVD tick
    void ApplyPendingSettings();
    void ReleaseRun();          // the lock goes, waiting settings apply
    bool CallPhase(const std::function<bool(Run&)>& phase, const char* label);

    Shell& shell_;
    DiscWriter& writer_;
    Phases phases_;
    std::string args_;
    std::optional<RunLock> lock_;
    std::optional<Settings> pendingSettings_;
};

// The lines a run's outcome adds to the completion message (CR LF between
// them): studies recorded and failed, a kept record journal, an unstored
// LastMediaNr, studies archived with unreadable files, studies larger than
// a disc. "" when there is nothing to add.
std::string OutcomeLines(const RunState::Summary& summary);

// MSGDVDName with every "{NAME}" replaced by `mediaNumber`.
std::string CompletionMessage(const std::string& msgDvdName, std::int32_t mediaNumber);

}  // namespace velunor
