// Image build and burn: DVDCreate, the size check, the burn's event
// handlers and the notice window shown while the disc is out of the drive.
#include <exception>

#include "app/error.hpp"
#include "disc/disc.hpp"

namespace velunor {

namespace {

void Status(const Run& run, const std::string& text) { run.events().Status(text); }

// Makes sure a blank disc is ready: at most two attempts, asking the user
// to insert one after each failed attempt.
bool CheckDisc(Run& run, const Drive& drive) {
    DiscWriter& dw = run.writer;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Status(run, "Checking drivestatus");
        dw.SelectDrive(drive.index);  // its answer is not needed: DiscStatus tells
        dw.LoadTray(true);
        if (dw.DiscStatus() == 0) return true;
        dw.AllowRemoval(true);
        dw.LoadTray(false);
        run.shell.LogError(0, run.settings().MSGDVDInsert, "DVDCreate");
    }
    return false;
}

BurnStart DVDCreateSteps(Run& run, const StagedDisc& disc, const Drive& drive) {
    RunEvents& ev = run.events();
    DiscWriter& dw = run.writer;

    ev.CancelAllowed(false);
    ev.Progress(RunPhase::Disc, 0);

    // A run that ended between writing its image and recording it (killed,
    // the power failed, or the database could not be reached) left the
    // image of this number in the image folder. A second image of the
    // number cannot be written; that one is verified and recorded instead,
    // as if this run had just burned it, and what this run staged waits for
    // the next disc. Looked for before the disc check, which would find
    // that very image in the way.
    const std::string label = disc.Label();
    if (dw.AdoptWrittenImage(label)) {
        run.shell.LogError(0, "The image of " + label + " exists already: an earlier run ended before recording it. "
                              "It is verified and recorded now; the studies staged in this run wait for the next disc",
                           "DVDCreate", 0, true);
        ev.Progress(RunPhase::Disc, kProgressMax);
        return BurnStart::TakenOver;
    }

    if (!CheckDisc(run, drive)) return BurnStart::Failed;

    Status(run, "Calculate dvd-size");
    dw.AllowRemoval(false);
    dw.ImageOption(true);
    dw.NewImage();
    if (!dw.CloneDirectoryToISO("/", disc.tree.DiscPattern())) {
        run.shell.LogError(0, "CloneDirectoryToISO failed", "DVDCreate");
        return BurnStart::Failed;
    }
    if (!RecalcIsoSize(run)) {
        run.shell.LogError(0, "RecalcISOSize failed", "DVDCreate");
        return BurnStart::Failed;
    }

    Status(run, "Preparing burnmode");
    dw.BurnMode(1);
    dw.BurnSwitch1(true);
    dw.BurnSwitch2(true);
    dw.VolumeLabel(label);
    dw.BurnSwitch3(false);
    dw.BurnSwitch4(false);
    const std::int16_t factor = run.settings().DVDSpeed;
    if (factor != 0)
        dw.SetWriteSpeed(static_cast<std::int32_t>(factor) * kKbPerSpeedUnit);
    else
        dw.SetWriteSpeed(dw.MaxWriteSpeed());

    Status(run, "Starting burn");
    if (dw.StartBurn()) return BurnStart::Started;
    // The operator sees the insert request; the log keeps the writer's reason.
    if (std::string why = dw.LastProblem(); !why.empty())
        run.shell.LogError(0, "StartBurn failed: " + why, "DVDCreate", 0, true);
    ev.Ask({run.settings().MSGDVDInsert, Icon::Critical, Buttons::Ok});
    return BurnStart::Failed;
}

}  // namespace

BurnStart DVDCreate(Run& run, const StagedDisc& disc, const Drive& drive) {
    try {
        return DVDCreateSteps(run, disc, drive);
    } catch (const std::exception& e) {
        run.shell.LogError(ErrorNumber(e), e.what(), "DVDCreate");
        try {
            run.writer.AllowRemoval(true);
        } catch (const std::exception&) {
        }
        return BurnStart::Failed;
    }
}

bool RecalcIsoSize(Run& run) {
    const std::int32_t blocks = run.writer.ImageBlockCount();
    const double bytes = run.writer.ImageBytes(blocks, 1);
    if (bytes <= kMaxImageBytes) return true;
    if (run.settings().Archive != 0)
        run.shell.LogError(-1, "Too many data for one DVD!", "RecalcIsoSize");
    else
        run.events().Ask({"Too many data for one DVD!", Icon::Exclamation, Buttons::Ok});
    return false;
}

std::int64_t RoundPercent(std::int64_t current, std::int64_t total) {
    if (total <= 0) return 0;
    const std::int64_t n = current * 100;
    std::int64_t q = n / total, r = n % total;
    if (r < 0) {
        r += total;
        --q;
    }
    if (2 * r > total || (2 * r == total && q % 2 != 0)) ++q;
    return q;
}

void ShowNoticeWindow(Run& run) {
    Run bound = run;
    std::int16_t step = 0;
    std::exception_ptr failure;
    run.events().Notice(
        "Attention", "Please do not remove the 'DVD' from the drive,\r\nit must be verified yet.",
        run.shell.timing.noticeStep, [&]() -> bool {
            if (step == 0) {
                step = 1;
                try {
                    bound.events().Yield();
                    bound.writer.LoadTray(true);
                    bound.events().Yield();
                } catch (...) {
                    failure = std::current_exception();
                    step = 0;
                    return false;
                }
                return true;
            }
            step = 0;
            return false;
        });
    if (failure) std::rethrow_exception(failure);
}

DiscWriterEvents BurnEvents(Run& run, std::function<void(bool written)> done) {
    // A copy of the references: the Run handed in may be a temporary.
    const Run r = run;
    DiscWriterEvents ev;
    ev.CachingProgress = [r](std::int16_t percent) {
        r.events().Status("Caching data (" + std::to_string(percent) + "%)");
        r.events().Progress(RunPhase::Disc, percent * (kProgressMax / 100));
        r.events().Yield();
    };
    ev.WriteProgress = [r](std::int32_t, std::int32_t current, std::int32_t total) {
        if (total <= 0) return;
        r.events().Status("Writing disc (" + std::to_string(RoundPercent(current, total)) + "%) ");
        r.events().Progress(RunPhase::Disc, static_cast<int>(std::int64_t{kProgressMax} * current / total));
        r.events().Yield();
    };
    ev.ClosingTrack = [r] { Status(r, "Closing track"); };
    ev.ClosingDisc = [r] { Status(r, "Closing disc"); };
    ev.BurnComplete = [r, done] {
        Run run = r;
        try {
            run.events().Progress(RunPhase::Disc, kProgressMax);
            run.events().Yield();
            run.writer.AllowRemoval(true);
            run.writer.LoadTray(false);
            run.events().Yield();
            ShowNoticeWindow(run);
        } catch (const std::exception& e) {
            run.shell.LogError(ErrorNumber(e), e.what(), "DVDWriter_BurnComplete");
            done(false);
            return;
        }
        done(true);
    };
    ev.WriteError = [r, done](std::int32_t, std::int32_t, const std::string& message, const std::string&) {
        Run run = r;
        try {
            run.writer.AbortBurn();
        } catch (const std::exception&) {
        }
        for (RunPhase phase : kRunPhases) run.events().Progress(phase, 0);
        done(false);
        run.shell.LogError(-1, message, "DVDWriter_WriteError");
        if (run.settings().Archive == 0) run.events().Ask({message, Icon::Critical, Buttons::Ok});
    };
    return ev;
}

}  // namespace velunor
