#include "app/program/controller.hpp"

#include <algorithm>
#include <cctype>

#include "app/error.hpp"
#include "app/media_number.hpp"

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

std::string CompletionMessage(const std::string& msgDvdName, std::int64_t mediaNumber) {
    std::string out = msgDvdName;
    const std::string placeholder = "{NAME}";
    const std::string number = std::to_string(mediaNumber);
    for (std::size_t pos = 0; (pos = out.find(placeholder, pos)) != std::string::npos; pos += number.size())
        out.replace(pos, placeholder.size(), number);
    return out;
}

RunController::RunController(Shell& shell, DiscWriter& writer, Phases phases, const std::string& argumentText)
    : shell_(shell), writer_(writer), phases_(std::move(phases)), run_{shell, writer, false, &cancel_} {
    const bool debug = argumentText == "debug";
    if (debug) shell_.settings.DebugMode = true;
    run_.unattended = !debug && Upper(argumentText) == "AUTO";
    if (phases_.BurnEvents)
        writer_.SetEvents(phases_.BurnEvents(run_, [this](bool written) {
            if (burn_ == Burn::Writing) burn_ = written ? Burn::Written : Burn::Failed;
        }));
}

template <class R, class F, class... A>
R RunController::Call(const F& phase, const char* label, R failed, A&&... args) {
    if (!phase) {
        shell_.LogError(0, "not available in this build", label);
        return failed;
    }
    try {
        return phase(run_, std::forward<A>(args)...);
    } catch (const std::exception& e) {
        shell_.LogError(ErrorNumber(e), e.what(), label);
    }
    return failed;
}

void RunController::ApplyPendingSettings() {
    if (!pendingSettings_) return;
    shell_.settings = std::move(*pendingSettings_);
    pendingSettings_.reset();
}

void RunController::AllowRemoval() noexcept {
    try {
        writer_.AllowRemoval(true);
    } catch (...) {
    }
}

void RunController::Refuse(const std::string& why) {
    outcome_ = {};
    outcome_.couldNotStart = true;
    outcome_.why = why;
    shell_.events.RunEnded(outcome_);
}

void RunController::StartClicked() {
    RunEvents& ev = shell_.events;
    if (!CanStart()) return;

    // One run at a time per program folder and staging tree, across
    // processes: a run elsewhere leaves this one untouched, and the status
    // line says why. An unattended start tries again at the next tick.
    ApplyPendingSettings();
    if (!shell_.settings.CredentialsProblem.empty()) {
        shell_.LogError(0, shell_.settings.CredentialsProblem, "StartRun");
        return Refuse(shell_.settings.CredentialsProblem);
    }
    RunLockAttempt attempt = TryRunLock(shell_.programDir, StagingTree(shell_.settings.TempPath).root);
    if (!attempt.lock) {
        shell_.events.Status(attempt.Why());
        if (!attempt.busy()) shell_.LogError(0, attempt.error, "StartRun");
        if (run_.unattended) autoTickCount_ = shell_.timing.autoTickLimit;
        return Refuse(attempt.Why());
    }
    lock_ = std::move(attempt.lock);

    cancel_ = false;
    active_ = true;
    burn_ = Burn::None;
    disc_.reset();
    outcome_ = {};
    ev.RunStarted();
    ev.Status("");
    ev.PhaseStarted(RunPhase::Collect);

    // What an earlier run verified but could not record comes first: its
    // studies must not be selected and written again.
    if (phases_.ReplayJournal) {
        const Replayed replayed = Call(phases_.ReplayJournal, "DBUpdate", Replayed{false, true, ""});
        if (!replayed.clear) {
            outcome_.journalKept = replayed.journalKept;
            outcome_.why = replayed.why.empty() ? "an earlier disc is not recorded yet (see Logs/Error.log)"
                                                : replayed.why;
            return EndRun();
        }
    }

    Collected failed;
    failed.why = "the collection failed (see Logs/Error.log)";
    const Collected collected = Call(phases_.DatenKopieren, "DatenKopieren", failed);
    outcome_.couldNotStart = collected.couldNotStart;
    outcome_.carryOverStudies = collected.carryOverStudies;
    outcome_.newStudies = collected.newStudies;
    outcome_.oversizedStudies = collected.oversizedStudies;
    outcome_.partlyUnreadable = collected.partlyUnreadable;
    outcome_.nothingToWrite = collected.nothingToWrite;
    outcome_.why = collected.why;
    if (!collected.write) return EndRun();
    disc_ = StagedDisc{collected.lastDisc, run_.Tree()};

    ev.PhaseStarted(RunPhase::DicomDir);
    if (!Call(phases_.DicomDir, "DicomDir", false, *disc_)) return EndRun();

    ev.PhaseStarted(RunPhase::Disc);
    switch (Call(phases_.DVDCreate, "DVDCreate", BurnStart::Failed, *disc_, *drive_)) {
    case BurnStart::Started: burn_ = Burn::Writing; break;  // the burn's events and the ticks take over
    case BurnStart::TakenOver: burn_ = Burn::Written; break;
    case BurnStart::Failed: return EndRun();
    }
}

void RunController::EndRun() {
    AllowRemoval();
    active_ = false;
    burn_ = Burn::None;
    disc_.reset();
    lock_.reset();
    ApplyPendingSettings();
    shell_.events.RunEnded(outcome_);
}

void RunController::FinishDisc(const VerifiedDisc& verified, const Recorded& recorded) {
    outcome_.recordedStudies = recorded.recordedStudies;
    outcome_.failedUpdates = recorded.failedUpdates;
    outcome_.journalKept = recorded.journalKept;
    if (!recorded.numberUsed) {
        // The image stays for the next run, which takes it over: this
        // disc keeps its number and the staging tree holds nothing of it.
        EmptyStaging(verified.disc.tree);
        return;
    }
    auto silently = [this](const std::function<void()>& step) {
        try {
            step();
        } catch (const std::exception& e) {
            shell_.LogError(ErrorNumber(e), e.what(), "Label", 0, true);
        }
    };
    std::function<void()> writeLabel;
    if (phases_.LabelDisc) silently([&] { writeLabel = phases_.LabelDisc(run_, verified); });
    try {
        writer_.Eject();
    } catch (...) {
    }
    // The staging tree is emptied before the number advances. A run that
    // ends in between (killed, power lost) leaves the number of this disc,
    // so no part of this disc's content can stay behind in DVD/1/ and be
    // written onto the next disc as if it were whole.
    EmptyStaging(verified.disc.tree);
    const auto number = static_cast<std::int32_t>(verified.disc.Number());
    try {
        WriteLastMediaNr(shell_.programDir, number);
    } catch (const std::exception& e) {
        outcome_.numberStored = false;
        shell_.LogError(ErrorNumber(e), std::string(e.what()) + " (disc " + std::to_string(number) +
                                            " is written; set LastMediaNr by hand before the next run)",
                        "DBUpdate");
    }
    if (writeLabel) silently(writeLabel);
    std::string text = CompletionMessage(shell_.settings.MSGDVDName, verified.disc.Number());
    if (const std::string lines = OutcomeLines(outcome_); !lines.empty()) text += "\r\n\r\n" + lines;
    outcome_.discRecorded = true;
    shell_.events.Ask({text, Icon::Information, Buttons::Ok});
}

void RunController::TimerDVDTick() {
    if (detectPending_) {
        detectPending_ = false;
        drive_ = Call(phases_.DetectDrive, "LoadDriveCombo", std::optional<Drive>{});
        return;
    }
    if (!active_ || burn_ == Burn::None) return;
    if (burn_ == Burn::Writing) {
        // The burn's events arrive here, on the user-interface thread.
        try {
            writer_.Poll();
        } catch (const std::exception& e) {
            shell_.LogError(-1, e.what(), "DVDWriter_WriteError");
            burn_ = Burn::Failed;
        }
        // Still writing, or a tick re-entered from the burn's events ended the run.
        if (!active_ || burn_ == Burn::Writing) return;
    }
    AllowRemoval();
    if (burn_ == Burn::Written) {
        const StagedDisc disc = *disc_;
        burn_ = Burn::None;  // a tick re-entered from a question finds nothing to do
        shell_.events.PhaseStarted(RunPhase::Verify);
        if (auto verified = Call(phases_.DVDVerify, "DVDVerify", std::optional<VerifiedDisc>{}, disc)) {
            outcome_.discWritten = true;
            outcome_.discNumber = disc.Number();
            outcome_.studies1 = verified->studies1;
            outcome_.studies2 = verified->studies2;
            shell_.events.PhaseStarted(RunPhase::Record);
            // A database update that failed outright still used up the
            // number of a disc that has left the drive.
            Recorded failed;
            failed.numberUsed = !verified->imageStays;
            if (phases_.DBUpdate) {
                const Recorded recorded = Call(phases_.DBUpdate, "DBUpdate", failed, *verified);
                FinishDisc(*verified, recorded);
            } else {
                shell_.LogError(0, "not available in this build", "DBUpdate");
            }
        }
    }
    EndRun();
}

void RunController::TimerWriteTick() {
    if (!run_.unattended) return;
    if (autoTickCount_ != shell_.timing.autoTickLimit) {
        ++autoTickCount_;
        return;
    }
    autoTickCount_ = 0;
    if (CanStart()) StartClicked();
}

void RunController::TimerReadyTick() {
    // A run keeps the settings it started with (its staging tree, its
    // database); what the file says now applies from the next run on.
    Settings next = pendingSettings_ ? *pendingSettings_ : shell_.settings;
    LoadConfiguration(next, shell_.programDir);
    if (active_)
        pendingSettings_ = std::move(next);
    else
        shell_.settings = std::move(next);
}

void RunController::CancelClicked() { cancel_ = true; }

bool RunController::CloseRequest(bool fromUser) {
    AllowRemoval();
    return !(active_ && fromUser);
}

}  // namespace velunor
