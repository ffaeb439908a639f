#include "app/run.hpp"

namespace velunor {

Shell::Shell(std::filesystem::path dir, WindowSystem& w) : programDir(std::move(dir)), window(w) {
    log.logsDir = programDir / "Logs";
    log.markerPath = std::filesystem::path("/var/tmp") / (std::string(kTitle) + ".ready");
}

void Shell::LogError(std::int32_t number, std::string message, const std::string& label, std::int32_t imageId,
                     bool silent) {
    ++errorsLogged;
    const bool shown = !silent && settings.Archive == 0;
    velunor::LogError(log, settings, window, number, message, label, imageId, silent);
    if (!shown && onUnshownError) onUnshownError(message);
}

void Shell::DebugLog(const std::string& first, const std::string& second) {
    if (settings.DebugMode) velunor::DebugLog(log, first, second);
}

}  // namespace velunor
