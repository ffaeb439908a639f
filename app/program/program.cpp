#include "app/program/program.hpp"

#include <unistd.h>

#include "app/error.hpp"
#include "app/program/label.hpp"
#include "bookkeeping/bookkeeping.hpp"
#include "collect/collect.hpp"
#include "dicom/dicom.hpp"
#include "disc/disc.hpp"

namespace velunor {

std::string_view ProgramVersion() { return VELUNOR_VERSION; }

std::filesystem::path ProgramDirectory() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path();
    return exe.parent_path();
}

Phases ProgramPhases(const CollectLimits& limits) {
    Phases p;
    p.ReplayJournal = ReplayRecordJournal;
    p.DatenKopieren = [limits](Run& run) { return DatenKopieren(run, limits); };
    p.DicomDir = DicomDir;
    p.DVDCreate = DVDCreate;
    p.DVDVerify = DVDVerify;
    p.DBUpdate = DBUpdate;
    p.DetectDrive = ShowDetectWindow;
    p.BurnEvents = BurnEvents;
    // With LabelFolder set, the label PDF of every recorded disc goes there
    // ("DVD n.pdf"), for a disc-publishing robot to print.
    p.LabelDisc = [](Run& run, const VerifiedDisc& verified) -> std::function<void()> {
        const std::string folder = run.settings().LabelFolder;
        if (folder.empty()) return {};
        auto content = std::make_shared<DiscLabelContent>(StagedDiscLabel(verified.disc, run.settings().Profile));
        return [content, folder] { WriteLabelPdf(*content, std::filesystem::path(folder) / (content->label + ".pdf")); };
    };
    return p;
}

std::unique_ptr<DiscWriter> MakeProgramWriter(const Settings& settings) { return MakeDVDWriter(settings); }

std::string StartupProblem() {
    try {
        InitDicomToolkit();
    } catch (const Error& e) {
        return e.what();
    }
    return {};
}

}  // namespace velunor
