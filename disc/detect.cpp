// Drive detection: the first drive that writes DVDs becomes the working drive.
#include <cstdlib>
#include <exception>

#include "app/error.hpp"
#include "disc/disc.hpp"
#include "disc/dvd_writer.hpp"

namespace velunor {

std::unique_ptr<DiscWriter> MakeDVDWriter(const Settings& settings) { return std::make_unique<DVDWriter>(settings); }

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

std::string DriveDescription(const Drive& drive) {
    return drive.name + " [Speed " + FormatSpeedFactor(drive.maxSpeed) + "X/" + std::to_string(drive.maxSpeed) +
           " KBs]";
}

std::optional<Drive> LoadDriveCombo(Run& run) {
    DiscWriter& dw = run.writer;
    try {
        const bool asapi = run.settings().ASAPI != 0;
        dw.NewImage();
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
            run.shell.LogError(0, "No DVD-Writer found", "LoadDriveCombo");
            run.events().Ask({"No DVD-Writer found", Icon::Critical, Buttons::Ok});
            return std::nullopt;
        }
        if (found > INT16_MAX) throw Error(0, "Drive index " + std::to_string(found) + " out of range");
        Drive drive;
        drive.index = static_cast<std::int16_t>(found);
        drive.name = dw.DriveVendor(found) + dw.DriveProduct(found);
        run.events().Drive(drive.name, false);
        if (!dw.SelectDrive(drive.index)) return std::nullopt;
        drive.maxSpeed = dw.MaxWriteSpeed();
        run.events().Drive(DriveDescription(drive), true);
        return drive;
    } catch (const std::exception& e) {
        run.shell.LogError(ErrorNumber(e), e.what(), "LoadDriveCombo");
    }
    return std::nullopt;
}

std::optional<Drive> ShowDetectWindow(Run& run) {
    std::optional<Drive> drive;
    Run bound = run;
    run.events().Notice("Information", "Detecting first 'DVD-Burning-Drive', please wait ...",
                        run.shell.timing.detectDelay, [&drive, bound]() mutable {
                            drive = LoadDriveCombo(bound);
                            return false;
                        });
    return drive;
}

}  // namespace velunor
