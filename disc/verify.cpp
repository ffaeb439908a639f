// Disc verification: reads the written medium back and learns which studies
// it really holds.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <optional>

#include "app/check_log.hpp"
#include "app/error.hpp"
#include "dicom/toolkit.hpp"
#include "disc/disc.hpp"

namespace velunor {

namespace {

constexpr double kHalf = 5000.0;

// Reads every file of one folder of the medium and appends each new study
// UID to `studies`. The bar advances from `position` by 5000 / count per
// file, never beyond its maximum. `bytes` counts what was read.
void ReadFolder(Run& run, const std::string& folder, const std::vector<DiscFile>& files,
                std::vector<std::string>& studies, std::optional<DicomCollection>& collection, double& position,
                std::uint64_t& bytes) {
    RunEvents& w = run.events();
    if (files.empty()) return;
    const double step = kHalf / static_cast<double>(files.size());
    for (const DiscFile& f : files) {
        w.Yield();
        if (!collection) collection.emplace();
        collection->Clear();
        w.Yield();
        const std::vector<std::uint8_t> content = run.writer.ReadDiscFile(folder, f.name);
        bytes += content.size();
        collection->ReadBuffer(content, folder + "/" + f.name);
        w.Yield();
        const std::string uid = collection->Item(1).StudyUID();
        if (uid.empty()) throw Error(0, "The file " + folder + "/" + f.name + " has no Study Instance UID");
        if (std::find(studies.begin(), studies.end(), uid) == studies.end()) studies.push_back(uid);
        collection->Clear();
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
        // The collection belongs to this call: created on first use, gone when it ends.
        std::optional<DicomCollection> collection;
        VerifiedDisc verified{disc, {}, {}};
        double position = 0;
        run.events().Progress(RunPhase::Verify, 0);

        const std::vector<DiscFile> first = run.writer.ListDiscFolder("1");
        ReadFolder(run, "1", first, verified.studies1, collection, position, bytes);
        position = kHalf;
        run.events().Progress(RunPhase::Verify, static_cast<int>(kHalf));

        const std::vector<DiscFile> second = run.writer.ListDiscFolder("2");
        if (second.empty()) throw Error(0, "The folder 2 of the disc holds no files");
        ReadFolder(run, "2", second, verified.studies2, collection, position, bytes);
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
