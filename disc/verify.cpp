// Disc verification: reads the written medium back and learns which studies
// it really holds.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <optional>

#include "app/check_log.hpp"
#include "app/error.hpp"
#include "disc/disc.hpp"

namespace velunor {

namespace {

constexpr double kHalf = 5000.0;

// Reads every file of one folder of the medium and appends each new study
// UID to `studies`. The bar advances from `position` by 5000 / count per
// file, never beyond its maximum. `bytes` counts what was read. The run's
// events stay on this thread: the reader's worker only parses.
void ReadFolder(Run& run, StudyFileReader& reader, const std::string& folder, const std::vector<DiscFile>& files,
                std::vector<std::string>& studies, double& position, std::uint64_t& bytes) {
    RunEvents& w = run.events();
    if (files.empty()) return;
    const double step = kHalf / static_cast<double>(files.size());
    for (const DiscFile& f : files) {
        w.Yield();
        const std::string name = folder + "/" + f.name;
        if (!f.open) throw Error(0, "The file " + name + " is listed without a way to read it");
        const std::unique_ptr<MediumFile> file = f.open();
        FileReading found;
        reader.Read(*file, name, true, [&](std::size_t n) {
            bytes += n;
            w.Yield();
        }, found);
        file->RequireRecordedMd5();
        if (!found.dicomProblem.empty()) throw Error(0, found.dicomProblem);
        if (found.studyUid.empty()) throw Error(0, "The file " + name + " has no Study Instance UID");
        if (std::find(studies.begin(), studies.end(), found.studyUid) == studies.end())
            studies.push_back(found.studyUid);
        const double next = position + step;
        if (next <= static_cast<double>(kProgressMax)) {
            position = next;
            w.Progress(RunPhase::Verify, static_cast<int>(std::lround(position)));
        }
        w.Yield();
    }
}

// An image in the image folder that failed its verification is renamed, so
// that the next run writes the disc again instead of taking over an image
// that can never be recorded; it stays for inspection. Logged silently.
void SetAsideFailedImage(Run& run) {
    try {
        const std::string aside = run.writer.SetAsideUnverifiedImage();
        if (!aside.empty())
            run.shell.LogError(0, "The image failed its verification and was renamed " + aside +
                                      "; the next run writes the disc again",
                               "DVDVerify", 0, true);
    } catch (const std::exception& e) {
        run.shell.LogError(0, e.what(), "DVDVerify", 0, true);
    }
}

}  // namespace

std::optional<VerifiedDisc> DVDVerify(Run& run, const StagedDisc& disc) {
    try {
        const auto start = std::chrono::steady_clock::now();
        std::uint64_t bytes = 0;
        StudyFileReader reader;
        VerifiedDisc verified{disc, {}, {}};
        double position = 0;
        run.events().Progress(RunPhase::Verify, 0);

        const std::vector<DiscFile> first = run.writer.ListDiscFolder("1");
        ReadFolder(run, reader, "1", first, verified.studies1, position, bytes);
        position = kHalf;
        run.events().Progress(RunPhase::Verify, static_cast<int>(kHalf));

        const std::vector<DiscFile> second = run.writer.ListDiscFolder("2");
        if (second.empty()) throw Error(0, "The folder 2 of the disc holds no files");
        ReadFolder(run, reader, "2", second, verified.studies2, position, bytes);
        verified.imageStays = run.writer.WrittenImageStays();
        // The disc's first check; a later `velunor-cli check` counts from it.
        AppendDiscCheck(run.shell.log, {std::chrono::system_clock::now(), disc.Label(), first.size() + second.size(),
                                        bytes, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                                        check_result::kVerifiedAfterWriting});
        return verified;
    } catch (const std::exception& e) {
        // Only the verdict is logged; the reason goes to the debug log.
        run.shell.DebugLog("DVDVerify", e.what());
        run.shell.LogError(0, "Verification failed!", "DVDVerify");
        SetAsideFailedImage(run);
        return std::nullopt;
    }
}

}  // namespace velunor
