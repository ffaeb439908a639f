// Drive detection: the first drive that writes DVDs becomes the working drive.
#include <cstdlib>
#include <exception>

#include "app/error.hpp"
#include "disc/disc.hpp"
#include "disc/dvd_writer.hpp"

namespace velunor {

std::unique_ptr<DiscWriter> MakeDVDWriter(const Settings& settings) { return std::make_unique<DVDWriter>(settings); }

std::string VolumeLabelFor(std::int32_t mediaNumber) {
    return "DVD " + std::to_string(static_cast<std::int64_t>(mediaNumber) + 1);
}

std::string FormatSpeedFactor(std::int32_t kbPerSecond) {
    // Tenths of the factor: kbPerSecond * 10 / 1380 = kbPerSecond / 138, exactly.
    constexpr std::int64_t kDivisor = kKbPerSpeedUnit / 10;
    const std::int64_t n = kbPerSecond;
    std::int64_t q = n / kDivisor;
    std::int64_t r = n % kDivisor;
    if (r < 0) {  // floor division
        r += kDivisor;
        --q;
    }
    if (2 * r > kDivisor || (2 * r == kDivisor && q % 2 != 0)) ++q;
    const std::int64_t whole = std::llabs(q) / 10, tenth = std::llabs(q) % 10;
    std::string out = (q < 0 ? "-" : "") + std::to_string(whole);
    if (tenth != 0) out += "." + std::to_string(tenth);
    return out;
}

void ShowDriveInfo(Run& run) {
    WindowSystem& w = run.window();
    const std::int32_t speed = run.writer.MaxWriteSpeed();
    run.state.MaxSpeed = speed;
    w.SetCaption(Control::lblDrive, w.Caption(Control::lblDrive) + " [Speed " + FormatSpeedFactor(speed) + "X/" +
                                        std::to_string(speed) + " KBs]");
}

bool LoadDriveCombo(Run& run) {
    WindowSystem& w = run.window();
    RunState& st = run.state;
    DiscWriter& dw = run.writer;
    try {
        const bool asapi = run.settings().ASAPI != 0;
        dw.NewImage();
        st.DriveIndex = -1;
        dw.ScanDrives(asapi);
        const int n = dw.DriveCount();
        int found = -1;
        for (int i = 0; i < n && found < 0; ++i) {
            // All three questions are asked of every drive examined.
            const bool minusR = dw.DriveCapable(i, kCapWritesDvdMinusR);
            const bool plusR = dw.DriveCapable(i, kCapWritesDvdPlusR);
            const bool usable = dw.DriveUsable(i);
            if ((minusR || plusR) && usable) found = i;
        }
        if (found < 0) {
            st.BurnState = -1;
            run.shell.LogError(0, "No DVD-Writer found", "LoadDriveCombo");
            w.MessageBox("No DVD-Writer found", Icon::Critical);
            return false;
        }
        if (found > INT16_MAX) throw Error(0, "Drive index " + std::to_string(found) + " out of range");
        st.DriveIndex = static_cast<std::int16_t>(found);
        w.SetCaption(Control::lblDrive, dw.DriveVendor(found) + dw.DriveProduct(found));
        if (!dw.SelectDrive(st.DriveIndex)) {
            st.DriveIndex = -1;
            st.BurnState = -1;
            return false;
        }
        ShowDriveInfo(run);
        return true;
    } catch (const Error& e) {
        run.shell.LogError(e.number(), e.what(), "LoadDriveCombo");
    } catch (const std::exception& e) {
        run.shell.LogError(-1, e.what(), "LoadDriveCombo");
    }
    return false;
}

void ShowDetectWindow(Run& run) {
    Run bound = run;
    run.window().RunModalNotice("Information", "Detecting first 'DVD-Burning-Drive', please wait ...",
                                run.shell.timing.detectDelay, [bound]() mutable {
                                    if (LoadDriveCombo(bound)) bound.window().SetEnabled(Control::cmdStarten, true);
                                    return false;
                                });
}

}  // namespace velunor
