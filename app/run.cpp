#include "app/run.hpp"

namespace velunor {

std::string_view PhaseCaption(RunPhase phase) {
    switch (phase) {
    case RunPhase::Collect: return "Gathering data";
    case RunPhase::DicomDir: return "Create dicomdir";
    case RunPhase::Disc: return "Create DVD";
    case RunPhase::Verify: return "Verify DVD";
    case RunPhase::Record: return "Update database";
    }
    return "";
}

std::string OutcomeLines(const RunOutcome& sum) {
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

Shell::Shell(std::filesystem::path dir, RunEvents& e) : programDir(std::move(dir)), events(e) {
    log.logsDir = programDir / "Logs";
    log.markerPath = std::filesystem::path("/var/tmp") / (std::string(kTitle) + ".ready");
}

void Shell::LogError(std::int32_t number, std::string message, const std::string& label, std::int32_t imageId,
                     bool silent) {
    const bool shown = !silent && settings.Archive == 0;
    velunor::LogError(log, settings, events, number, message, label, imageId, silent);
    if (!shown && onUnshownError) onUnshownError(message);
}

void Shell::DebugLog(const std::string& first, const std::string& second) {
    if (settings.DebugMode) velunor::DebugLog(log, first, second);
}

}  // namespace velunor
