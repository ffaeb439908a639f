// The DICOMDIR phase: one record per staged file, written to DVD/Dicomdir
// (DVD/DICOMDIR in the general-purpose profile).
#include "dicom/dicom.hpp"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#include "app/error.hpp"

namespace fs = std::filesystem;

namespace velunor {

namespace {

constexpr const char* kLabel = "DicomDir";

struct StagedFile {
    fs::path path;
    std::string name;
    std::uintmax_t size;
};

// The regular files lying directly in `folder`, in name order.
std::vector<StagedFile> ListFiles(const fs::path& folder) {
    std::vector<StagedFile> files;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) throw Error(ec.value(), "Cannot list " + folder.string() + ": " + ec.message());
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        std::error_code entryError;
        if (!it->is_regular_file(entryError)) continue;
        const std::uintmax_t size = it->file_size(entryError);
        if (entryError)
            throw Error(entryError.value(), "Cannot read the size of " + it->path().string() + ": " +
                                                entryError.message());
        files.push_back({it->path(), it->path().filename().string(), size});
    }
    if (ec) throw Error(ec.value(), "Cannot list " + folder.string() + ": " + ec.message());
    std::sort(files.begin(), files.end(), [](const StagedFile& a, const StagedFile& b) { return a.name < b.name; });
    return files;
}

}  // namespace

bool DicomDir(Run& run, const StagedDisc& disc) {
    RunEvents& events = run.events();
    try {
        const StagingTree& tree = disc.tree;
        events.Progress(RunPhase::DicomDir, 0);
        const std::vector<StagedFile> firstFiles = ListFiles(tree.dvd1);
        const std::vector<StagedFile> secondFiles = ListFiles(tree.dvd2);
        const double total = static_cast<double>(firstFiles.size() + secondFiles.size());

        InitDicomToolkit();
        const MediaProfile profile = run.settings().Profile;
        DicomCollection collection;
        DicomDirBuilder builder(profile);
        std::size_t progress = 0;
        auto record = [&](const StagedFile& file, const std::string& folder) {
            collection.ReadFile(file.path);
            DicomDataset& dataset = collection.Item(1);
            builder.AddFile(dataset, folder + "/" + file.name, dataset.DirEntryKey(), 0);
            collection.Clear();
            events.Progress(RunPhase::DicomDir, static_cast<int>(kProgressMax * static_cast<double>(++progress) / total));
            events.Yield();
        };

        for (const StagedFile& file : firstFiles) {
            if (file.size == 0) {
                // An empty file left by an interrupted run: it cannot be
                // read and has no place on the disc. Removing a directory
                // entry needs no write permission on the file itself.
                std::error_code ignored;
                fs::remove(file.path, ignored);
                continue;
            }
            record(file, "1");
        }
        for (const StagedFile& file : secondFiles) record(file, "2");

        for (const std::string& duplicate : builder.Duplicates())
            run.shell.DebugLog(kLabel, duplicate + " repeats a SOP instance already listed; referenced once");

        builder.WriteDicomDir(tree.Dicomdir(profile));
        events.Yield();
        return true;
    } catch (const Error& e) {
        run.shell.LogError(e.number(), e.what(), kLabel, 0, false);
    } catch (const fs::filesystem_error& e) {
        run.shell.LogError(e.code().value(), e.what(), kLabel, 0, false);
    } catch (const std::bad_alloc&) {
        run.shell.LogError(ENOMEM, "Out of memory while writing the DICOMDIR", kLabel, 0, false);
    } catch (const std::exception& e) {
        run.shell.LogError(-1, e.what(), kLabel, 0, false);
    }
    return false;
}

}  // namespace velunor
