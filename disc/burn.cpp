// Image build and burn: DVDCreate, the size check, the burn's event
// handlers and the notice window shown while the disc is out of the drive.
#include <exception>

#include "app/error.hpp"
#include "disc/disc.hpp"

namespace velunor {

namespace {

void Status(WindowSystem& w, const std::string& text) {
    w.SetCaption(Control::lblCur, text);
    w.Repaint(Control::lblCur);
}

// Makes sure a blank disc is ready: at most two attempts, asking the user
// to insert one after each failed attempt.
bool CheckDisc(Run& run) {
    WindowSystem& w = run.window();
    DiscWriter& dw = run.writer;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Status(w, "Checking drivestatus");
        dw.SelectDrive(run.state.DriveIndex);  // its answer is not needed: DiscStatus tells
        dw.LoadTray(true);
        if (dw.DiscStatus() == 0) return true;
        dw.AllowRemoval(true);
        dw.LoadTray(false);
        run.shell.LogError(0, run.settings().MSGDVDInsert, "DVDCreate");
    }
    return false;
}

bool DVDCreateSteps(Run& run) {
    WindowSystem& w = run.window();
    RunState& st = run.state;
    DiscWriter& dw = run.writer;

    w.SetEnabled(Control::cmdCancel, false);
    w.SetValue(Control::pbDisk, 0);
    w.SetVisible(Control::pbDisk, true);
    w.SetCaption(Control::lblDVD, "Create DVD");

    // A run that ended between writing its image and recording it (killed,
    // the power failed, or the database could not be reached) left the
    // image of this number in the image folder. A second image of the
    // number cannot be written; that one is verified and recorded instead,
    // as if this run had just burned it, and what this run staged waits for
    // the next disc. Looked for before the disc check, which would find
    // that very image in the way.
    const std::string label = VolumeLabelFor(st.MediaNumber);
    if (dw.AdoptWrittenImage(label)) {
        run.shell.LogError(0, "The image of " + label + " exists already: an earlier run ended before recording it. "
                              "It is verified and recorded now; the studies staged in this run wait for the next disc",
                           "DVDCreate", 0, true);
        w.SetValue(Control::pbDisk, w.Maximum(Control::pbDisk));
        st.BurnState = 1;
        return true;
    }

    if (!CheckDisc(run)) {
        st.BurnState = -1;
        return false;
    }

    Status(w, "Calculate dvd-size");
    dw.AllowRemoval(false);
    dw.ImageOption(true);
    dw.NewImage();
    if (!dw.CloneDirectoryToISO("/", run.Tree().DiscPattern())) {
        st.BurnState = -1;
        run.shell.LogError(0, "CloneDirectoryToISO failed", "DVDCreate");
        return false;
    }
    if (!RecalcIsoSize(run)) {
        st.BurnState = -1;
        run.shell.LogError(0, "RecalcISOSize failed", "DVDCreate");
        return false;
    }

    Status(w, "Preparing burnmode");
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

    Status(w, "Starting burn");
    if (dw.StartBurn()) return true;
    st.BurnState = -1;
    // The operator sees the insert request; the log keeps the writer's reason.
    if (std::string why = dw.LastProblem(); !why.empty())
        run.shell.LogError(0, "StartBurn failed: " + why, "DVDCreate", 0, true);
    w.MessageBox(run.settings().MSGDVDInsert, Icon::Critical);
    return false;
}

}  // namespace

bool DVDCreate(Run& run) {
    try {
        return DVDCreateSteps(run);
    } catch (const std::exception& e) {
        const auto* err = dynamic_cast<const Error*>(&e);
        run.shell.LogError(err ? err->number() : -1, e.what(), "DVDCreate");
        run.state.BurnState = -1;
        try {
            run.writer.AllowRemoval(true);
        } catch (const std::exception&) {
        }
        return false;
    }
}

bool RecalcIsoSize(Run& run) {
    const std::int32_t blocks = run.writer.ImageBlockCount();
    const double bytes = run.writer.ImageBytes(blocks, 1);
    if (bytes <= kMaxImageBytes) return true;
    if (run.settings().Archive != 0)
        run.shell.LogError(-1, "Too many data for one DVD!", "RecalcIsoSize");
    else
        run.window().MessageBox("Too many data for one DVD!", Icon::Exclamation);
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
    run.window().RunModalNotice(
        "Attention", "Please do not remove the 'DVD' from the drive,\r\nit must be verified yet.",
        run.shell.timing.noticeStep, [&]() -> bool {
            if (step == 0) {
                step = 1;
                try {
                    bound.window().Yield();
                    bound.writer.LoadTray(true);
                    bound.window().Yield();
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

DiscWriterEvents BurnEvents(Run& run) {
    // A copy of the three references: the Run handed in may be a temporary.
    const Run r = run;
    DiscWriterEvents ev;
    ev.CachingProgress = [r](std::int16_t percent) {
        WindowSystem& w = r.shell.window;
        w.SetCaption(Control::lblCur, "Caching data (" + std::to_string(percent) + "%)");
        w.SetMaximum(Control::pbDisk, 100);
        w.SetValue(Control::pbDisk, percent);
        w.Yield();
    };
    ev.WriteProgress = [r](std::int32_t, std::int32_t current, std::int32_t total) {
        if (total <= 0) return;
        WindowSystem& w = r.shell.window;
        // The first progress after caching (or an earlier step's text) starts the bar anew.
        if (w.Caption(Control::lblCur).rfind("C", 0) == 0) w.SetValue(Control::pbDisk, 0);
        w.SetCaption(Control::lblCur, "Writing disc (" + std::to_string(RoundPercent(current, total)) + "%) ");
        w.SetMaximum(Control::pbDisk, total);
        w.SetValue(Control::pbDisk, current);
        w.Yield();
    };
    ev.ClosingTrack = [r] { Status(r.shell.window, "Closing track"); };
    ev.ClosingDisc = [r] { Status(r.shell.window, "Closing disc"); };
    ev.BurnComplete = [r] {
        Run run = r;
        WindowSystem& w = run.window();
        try {
            w.SetValue(Control::pbDisk, w.Maximum(Control::pbDisk));
            w.Yield();
            run.writer.AllowRemoval(true);
            run.writer.LoadTray(false);
            w.Yield();
            ShowNoticeWindow(run);
            run.state.BurnState = 1;
        } catch (const std::exception& e) {
            const auto* err = dynamic_cast<const Error*>(&e);
            run.state.BurnState = -1;
            run.shell.LogError(err ? err->number() : -1, e.what(), "DVDWriter_BurnComplete");
        }
    };
    ev.WriteError = [r](std::int32_t, std::int32_t, const std::string& message, const std::string&) {
        Run run = r;
        WindowSystem& w = run.window();
        try {
            run.writer.AbortBurn();
        } catch (const std::exception&) {
        }
        for (Control pb : {Control::pbSammeln, Control::pbDB, Control::pbDicomDir, Control::pbDisk, Control::pbVer})
            w.SetValue(pb, 0);
        run.state.BurnState = -1;
        run.shell.LogError(-1, message, "DVDWriter_WriteError");
        if (run.settings().Archive == 0) w.MessageBox(message, Icon::Critical);
    };
    return ev;
}

}  // namespace velunor
