#include "app/program/controller.hpp"

#include <algorithm>
#include <cctype>

#include "app/error.hpp"

namespace velunor {

namespace {
std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}
}  // namespace

std::string ArgumentText(int argc, char** argv) {
    std::string out;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) out += ' ';
        out += argv[i];
    }
    return out;
}

bool WantsConfigDialog(const std::string& argumentText) {
    return Upper(argumentText).find("CONFIG") != std::string::npos;
}

std::string OutcomeLines(const RunState::Summary& sum) {
    std::string out;
    auto line = [&out](const std::string& text) { out += (out.empty() ? "" : "\r\n") + text; };
    if (sum.recordedStudies > 0 || sum.failedUpdates > 0)
        line(std::to_string(sum.recordedStudies) + " studies recorded, " + std::to_string(sum.failedUpdates) +
             " failed.");
    if (sum.journalKept) line("The failed updates wait in the record journal; the next run records them.");
    if (!sum.numberStored) line("LastMediaNr could not be stored: set it by hand before the next run.");
    if (!sum.partlyUnreadable.empty())
        line(std::to_string(sum.partlyUnreadable.size()) +
             " studies archived with unreadable files (see Logs/Error.log).");
    if (sum.oversizedStudies > 0)
        line(std::to_string(sum.oversizedStudies) +
             " studies larger than one disc not archived (see Logs/Error.log).");
    return out;
}

std::string CompletionMessage(const std::string& msgDvdName, std::int32_t mediaNumber) {
    std::string out = msgDvdName;
    const std::string placeholder = "{NAME}";
    const std::string number = std::to_string(mediaNumber);
    for (std::size_t pos = 0; (pos = out.find(placeholder, pos)) != std::string::npos; pos += number.size())
        out.replace(pos, placeholder.size(), number);
    return out;
}

RunController::RunController(Shell& shell, DiscWriter& writer, Phases phases, std::string argumentText)
    : run{shell, state, writer}, shell_(shell), writer_(writer), phases_(std::move(phases)),
      args_(std::move(argumentText)) {
    if (phases_.BurnEvents) writer_.SetEvents(phases_.BurnEvents(run));
}

void RunController::Load() {
    WindowSystem& w = shell_.window;
    const bool debug = args_ == "debug";
    const bool automatic = !debug && Upper(args_) == "AUTO";
    if (debug) shell_.settings.DebugMode = true;
    state.AutoMode = automatic;

    w.SetEnabled(Control::cmdStarten, false);
    w.SetEnabled(Control::cmdCancel, true);
    w.SetTimerEnabled(Timer::TimerDVD, true);
    w.SetTimerEnabled(Timer::TimerReady, true);
    w.SetTimerEnabled(Timer::TimerWrite, false);
    if (automatic) {
        AutoTickLimit = shell_.timing.autoTickLimit;
        w.SetTimerEnabled(Timer::TimerWrite, true);
    } else {
        w.SetCaption(Control::lblInfo, "Please insert a empty DVD and click on 'Start'.");
    }
    w.ShowMainWindow(!automatic);
}

bool RunController::CallPhase(const std::function<bool(Run&)>& phase, const char* label) {
    if (!phase) {
        shell_.LogError(0, "not available in this build", label);
        return false;
    }
    try {
        return phase(run);
    } catch (const Error& e) {
        shell_.LogError(e.number(), e.what(), label);
    } catch (const std::exception& e) {
        shell_.LogError(-1, e.what(), label);
    }
    return false;
}

void RunController::ApplyPendingSettings() {
    if (!pendingSettings_) return;
    shell_.settings = std::move(*pendingSettings_);
    pendingSettings_.reset();
}

void RunController::ReleaseRun() {
    lock_.reset();
    ApplyPendingSettings();
}

void RunController::StartClicked() {
    WindowSystem& w = shell_.window;
    // A second click (or an unattended start) while a run is active starts nothing.
    if (state.RunActive) return;

    // One run at a time per program folder and staging tree, across
    // processes: a run elsewhere leaves this one untouched, and the status
    // line says why. An unattended start tries again at the next tick.
    ApplyPendingSettings();
    const auto refuse = [this](const std::string& why) {
        state.summary = {};
        state.summary.couldNotStart = true;
        state.summary.why = why;
    };
    if (!shell_.settings.CredentialsProblem.empty()) {
        refuse(shell_.settings.CredentialsProblem);
        shell_.LogError(0, shell_.settings.CredentialsProblem, "cmdStarten");
        return;
    }
    RunLockAttempt attempt = TryRunLock(shell_.programDir, StagingTree(shell_.settings.TempPath).root);
    if (!attempt.lock) {
        refuse(attempt.Why());
        w.SetCaption(Control::lblCur, state.summary.why);
        w.Repaint(Control::lblCur);
        if (!attempt.busy()) shell_.LogError(0, attempt.error, "cmdStarten");
        if (state.AutoMode) AutoTickCount = AutoTickLimit;
        return;
    }
    lock_ = std::move(attempt.lock);

    w.SetVisible(Control::Picture1, false);
    w.SetCaption(Control::lblCur, "");
    w.Repaint(Control::lblCur);
    for (Control pb : {Control::pbSammeln, Control::pbDB, Control::pbDicomDir, Control::pbDisk, Control::pbVer})
        w.SetValue(pb, 0);
    state.CancelRequested = false;
    state.RunActive = true;
    state.summary = {};
    w.SetEnabled(Control::cmdStarten, false);
    w.SetEnabled(Control::cmdCancel, true);
    w.SetEnabled(Control::mnuFile, false);

    w.SetVisible(Control::lblSammeln, true);
    // What an earlier run verified but could not record comes first: its
    // studies must not be selected and written again.
    if (phases_.ReplayJournal && !CallPhase(phases_.ReplayJournal, "DBUpdate")) {
        state.summary.why = "an earlier disc is not recorded yet (see Logs/Error.log)";
        return EndRunWithoutDisc();
    }
    if (!CallPhase(phases_.DatenKopieren, "DatenKopieren")) return EndRunWithoutDisc();
    w.SetVisible(Control::lblDicomDir, true);
    if (!CallPhase(phases_.DicomDir, "DicomDir")) return EndRunWithoutDisc();
    state.BurnState = 0;
    w.SetVisible(Control::lblDVD, true);
    if (!CallPhase(phases_.DVDCreate, "DVDCreate")) {
        if (state.BurnState == 0) state.BurnState = -1;
        return EndRunWithoutDisc();
    }
    w.SetTimerEnabled(Timer::TimerDVD, true);
}

void RunController::EndRunWithoutDisc() {
    WindowSystem& w = shell_.window;
    state.RunActive = false;
    w.SetEnabled(Control::cmdStarten, true);
    w.SetEnabled(Control::cmdCancel, false);
    w.SetEnabled(Control::mnuFile, true);
    try {
        writer_.AllowRemoval(true);
    } catch (const std::exception&) {
    }
    ReleaseRun();
}

void RunController::EndRun() {
    WindowSystem& w = shell_.window;
    w.SetTimerEnabled(Timer::TimerDVD, false);
    try {
        writer_.AllowRemoval(true);
    } catch (const std::exception&) {
    }
    state.RunActive = false;
    w.SetEnabled(Control::cmdStarten, true);
    w.SetEnabled(Control::cmdCancel, false);
    w.SetEnabled(Control::mnuFile, true);
    ReleaseRun();
}

void RunController::TimerDVDTick() {
    WindowSystem& w = shell_.window;
    if (shell_.settings.StartupPending) {
        shell_.settings.StartupPending = false;
        w.SetTimerEnabled(Timer::TimerDVD, false);
        if (phases_.ShowDetectWindow) {
            phases_.ShowDetectWindow(run);
        } else {
            shell_.LogError(0, "not available in this build", "LoadDriveCombo");
        }
        return;
    }
    if (state.BurnState == 0) {
        // The burn's events arrive here, on the UI thread.
        try {
            writer_.Poll();
        } catch (const std::exception& e) {
            shell_.LogError(-1, e.what(), "DVDWriter_WriteError");
            state.BurnState = -1;
        }
        if (state.BurnState == 0) return;
    }
    try {
        writer_.AllowRemoval(true);
    } catch (const std::exception&) {
    }
    if (state.BurnState == 1) {
        w.SetTimerEnabled(Timer::TimerDVD, false);
        w.SetVisible(Control::lblVerifyDVD, true);
        if (CallPhase(phases_.DVDVerify, "DVDVerify")) {
            state.summary.discWritten = true;
            state.summary.discNumber = std::int64_t{state.MediaNumber} + 1;
            w.SetVisible(Control::lblUpdate, true);
            if (CallPhase(phases_.DBUpdate, "DBUpdate")) {
                std::string text = CompletionMessage(shell_.settings.MSGDVDName, state.MediaNumber);
                if (const std::string lines = OutcomeLines(state.summary); !lines.empty())
                    text += "\r\n\r\n" + lines;
                state.summary.discRecorded = true;
                w.MessageBox(text, Icon::Information);
            }
        }
    }
    EndRun();
}

void RunController::TimerWriteTick() {
    if (AutoTickCount != AutoTickLimit) {
        ++AutoTickCount;
        return;
    }
    AutoTickCount = 0;
    if (shell_.window.IsEnabled(Control::cmdStarten)) StartClicked();
}

void RunController::TimerReadyTick() {
    // A run keeps the settings it started with (its staging tree, its
    // database); what the file says now applies from the next run on.
    Settings next = pendingSettings_ ? *pendingSettings_ : shell_.settings;
    LoadConfiguration(next, shell_.programDir);
    if (state.RunActive)
        pendingSettings_ = std::move(next);
    else
        shell_.settings = std::move(next);
}

void RunController::CancelClicked() { state.CancelRequested = true; }

bool RunController::CloseRequest(bool fromUser) {
    try {
        writer_.AllowRemoval(true);
    } catch (const std::exception&) {
    }
    return !(state.RunActive && fromUser);
}

}  // namespace velunor
