// The run controller: sequences the phases of an archive run, hands each
// phase's value to the next, finishes a recorded disc, and reacts to the
// three timers of the program: TimerDVD (drive detection, then burn
// polling), TimerReady (configuration reload) and TimerWrite (unattended
// starts).
//
// It knows no window. The Qt main window and velunor-cli forward their
// clicks and timer ticks here and learn everything about a run from the
// run events (app/run_events.hpp) it reports through the shell. A tick that
// finds nothing to do returns at once, so the skins may tick every timer
// all the time.
//
// A run:
//
//   StartClicked:  lock ─> ReplayJournal ─> DatenKopieren ─> DicomDir ─> DVDCreate
//   TimerDVDTick:  (burn events until written) ─> DVDVerify ─> DBUpdate ─> finish
//
// and finish is: eject, empty the staging tree, advance the number and
// write LastMediaNr, in this order, so that a run killed in between leaves
// the number of the disc it wrote and nothing of that disc in the staging
// tree behind a new number.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/run.hpp"
#include "app/run_lock.hpp"
#include "disc/disc_writer.hpp"

namespace velunor {

// The phases of a run, each taking what the one before produced. A phase
// logs and asks its own errors; one that throws all the same is logged by
// the controller under the phase's name and counts as failed.
struct Phases {
    std::function<Replayed(Run&)> ReplayJournal;       // optional: an earlier run's unrecorded updates
    std::function<Collected(Run&)> DatenKopieren;
    std::function<bool(Run&, const StagedDisc&)> DicomDir;
    std::function<BurnStart(Run&, const StagedDisc&, const Drive&)> DVDCreate;
    std::function<std::optional<VerifiedDisc>(Run&, const StagedDisc&)> DVDVerify;
    std::function<Recorded(Run&, const VerifiedDisc&)> DBUpdate;
    std::function<std::optional<Drive>(Run&)> DetectDrive;   // the detection notice, modal
    // Handlers of the burn's events; `done` is called once when the burn
    // has ended, with whether the disc was written.
    std::function<DiscWriterEvents(Run&, std::function<void(bool written)> done)> BurnEvents;
    // Optional: the label of a recorded disc. Called before the staging tree
    // is emptied (its DICOMDIR still there); what it returns, if anything,
    // is called once LastMediaNr holds the disc's number. A failure of
    // either is logged silently and changes nothing of the run.
    std::function<std::function<void()>(Run&, const VerifiedDisc&)> LabelDisc;
};

// The argument text of the command line: the arguments joined by blanks.
std::string ArgumentText(int argc, char** argv);
// True when the entry sequence opens only the configuration dialog.
bool WantsConfigDialog(const std::string& argumentText);

// MSGDVDName with every "{NAME}" replaced by `mediaNumber`.
std::string CompletionMessage(const std::string& msgDvdName, std::int64_t mediaNumber);

class RunController {
public:
    // `shell.settings` must have been loaded. Sets the burn event handlers on
    // `writer`. `argumentText` "debug" turns the debug log on, "AUTO" (any
    // case) makes the program unattended.
    RunController(Shell& shell, DiscWriter& writer, Phases phases, const std::string& argumentText);
    RunController(const RunController&) = delete;
    RunController& operator=(const RunController&) = delete;

    bool Unattended() const { return run_.unattended; }
    // True while a run is active (from a start until RunEnded).
    bool Active() const { return active_; }
    // True when a start would begin a run: the drive was found and no run
    // is active.
    bool CanStart() const { return drive_.has_value() && !active_; }

    // Start. Takes the run lock first (app/run_lock.hpp): when another run
    // holds it, or the database account cannot be read, starts nothing:
    // RunEnded with couldNotStart and the reason; a busy lock also shows in
    // the status line, and an unattended start then tries again at the
    // next TimerWrite tick. The lock is held until the
    // run ends. A start while a run is active, or before a drive was found,
    // does nothing.
    void StartClicked();
    void CancelClicked();
    // The first tick detects the drive (DetectDrive); during a burn every
    // tick polls the writer, and the tick after the burn ended verifies,
    // records and finishes the disc. Other ticks do nothing.
    void TimerDVDTick();
    // Unattended only: every autoTickLimit + 1 ticks, a start.
    void TimerWriteTick();
    // Reloads velunor.ini. During a run the new settings wait and apply when
    // the run ends, so a run keeps the settings it started with.
    void TimerReadyTick();
    // A request to close the main window. Returns false when it is refused
    // (a run is active and the user asked through the close box). The drive
    // door is freed in every case.
    bool CloseRequest(bool fromUser);

private:
    enum class Burn { None, Writing, Written, Failed };

    void Refuse(const std::string& why);
    void EndRun();
    void FinishDisc(const VerifiedDisc& verified, const Recorded& recorded);
    void ApplyPendingSettings();
    void AllowRemoval() noexcept;
    template <class R, class F, class... A>
    R Call(const F& phase, const char* label, R failed, A&&... args);

    Shell& shell_;
    DiscWriter& writer_;
    Phases phases_;
    bool cancel_ = false;
    Run run_;
    bool detectPending_ = true;
    bool active_ = false;
    Burn burn_ = Burn::None;
    std::optional<Drive> drive_;
    std::optional<StagedDisc> disc_;
    RunOutcome outcome_;
    std::int16_t autoTickCount_ = 0;
    std::optional<RunLock> lock_;
    std::optional<Settings> pendingSettings_;
};

}  // namespace velunor
