// velunor-bench-dicom: what the DICOM toolkit costs, measured on generated
// data against references run in the same process tree and on the same
// files:
//   - re-encoding to Implicit VR Little Endian of 1 GB of 5 MB files and of
//     1 GB of 200 KB files, against `cp -r` of the same files and against a
//     loop of DCMTK's `dcmconv +ti`, one process per file;
//   - DICOMDIR creation for 5,000 files against `dcmmkdir`;
//   - the peak memory of the re-encoding and DICOMDIR processes.
// Every figure is printed beside its reference and its target. Caches are
// warm (the files are read once before the first measurement) and written
// out before each step; each timed step other than the dcmconv loop runs
// several times three times and the fastest run
// counts, which keeps the figures steady on a machine shared with others.
//
// Usage: velunor-bench-dicom [--work DIR] [--gigabytes G] [--dicomdir-files N]
//                            [--input LABEL=FOLDER]... [--results FILE]
//                            [--no-dcmconv] [--keep]
// The work folder (default: a fresh one under the system's temporary
// directory, removed at the end) needs about 4 x G GB of free space.
// With --input the benchmark generates nothing: each LABEL=FOLDER names a
// folder of DICOM files (every regular file below it) that is measured as
// one set; `cp -r` copies that folder. The DICOMDIR is built over the set
// with the smallest files. --results appends every figure as a line
// "<key> <value>" to FILE, for velunor-bench-all.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/error.hpp"
#include "dicom/toolkit.hpp"
#include "tools/archive_generator.hpp"

extern char** environ;

namespace fs = std::filesystem;
namespace arc = velunor::archive;

namespace {

// ---- running and timing other processes --------------------------------

struct Measured {
    double seconds = 0;       // the whole process, start to end
    double work = 0;          // the work alone, as the child measured it (0: not reported)
    long maxRssKb = 0;        // peak resident memory the child reported for itself
};

// Runs `argv` and waits for it; throws when it cannot be started or fails.
Measured Spawn(const std::vector<std::string>& argv, const std::string& stdoutFile = "") {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdoutFile.empty()) posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) throw std::runtime_error("lost the child " + argv[0]);
    Measured m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The children of this program report their peak memory on standard
    // output ("peak-kb N"). The kernel's rusage cannot be used: a spawned
    // child inherits the parent's high-water mark until it executes.
    if (!stdoutFile.empty()) {
        std::ifstream in(stdoutFile);
        for (std::string word; in >> word;) {
            if (word == "peak-kb") in >> m.maxRssKb;
            if (word == "work-s") in >> m.work;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string line;
        for (const std::string& a : argv) line += a + " ";
        throw std::runtime_error("failed: " + line);
    }
    return m;
}

std::string Self() { return fs::read_symlink("/proc/self/exe").string(); }

// This process's peak resident memory (VmHWM), in KB.
long PeakKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// ---- the measured work, run in child processes -------------------------

std::vector<fs::path> ReadList(const fs::path& list) {
    std::vector<fs::path> files;
    std::ifstream in(list);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) files.emplace_back(line);
    return files;
}

// What the staging copy does per file: read, re-encode, write under a
// temporary name, rename; through the same queue of worker threads, one
// queue per source folder (a study) as the staging copy runs it. The work
// is timed from the first file on: in the program the toolkit starts once.
int ReencodeChild(const fs::path& list, const fs::path& out) {
    velunor::InitDicomToolkit();
    const auto start = std::chrono::steady_clock::now();
    const std::vector<fs::path> files = ReadList(list);
    std::size_t index = 0;
    for (std::size_t first = 0; first < files.size();) {
        std::size_t end = first;
        std::vector<velunor::ReencodeQueue::Job> jobs;
        for (; end < files.size() && files[end].parent_path() == files[first].parent_path(); ++end)
            jobs.push_back({files[end], out / (std::to_string(index + (end - first)) + "_" + files[end].filename().string())});
        velunor::ReencodeQueue queue(jobs, velunor::MediaProfile::Archive);
        for (const auto& job : jobs) {
            velunor::EncodedFile encoded = queue.Next();
            encoded.Place(job.target);
        }
        index += end - first;
        first = end;
    }
    std::cout << "work-s " << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()
              << "\npeak-kb " << PeakKb() << "\n";
    return 0;
}

// What the DICOMDIR phase does: every file of <root>/2 read and recorded,
// the DICOMDIR written to <root>/Dicomdir.
int DicomDirChild(const fs::path& root) {
    velunor::InitDicomToolkit();
    const auto start = std::chrono::steady_clock::now();
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(root / "2"))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    velunor::DicomCollection collection;
    velunor::DicomDirBuilder builder;
    for (const fs::path& file : files) {
        collection.ReadFile(file);
        velunor::DicomDataset& dataset = collection.Item(1);
        builder.AddFile(dataset, "2/" + file.filename().string(), dataset.DirEntryKey(), 0);
        collection.Clear();
    }
    builder.WriteDicomDir(root / "Dicomdir");
    std::cout << "work-s " << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()
              << "\npeak-kb " << PeakKb() << "\n";
    return 0;
}

// ---- the benchmark -------------------------------------------------------

struct DataSet {
    std::string label;
    std::uint64_t fileBytes;
    std::vector<fs::path> files;
    fs::path root;
    fs::path list;
    std::uint64_t totalBytes = 0;
    std::uint64_t largest = 0;
};

DataSet Generate(const fs::path& work, const std::string& label, std::uint64_t fileBytes, std::uint64_t totalBytes,
                 std::uint64_t seed) {
    DataSet set;
    set.label = label;
    set.fileBytes = fileBytes;
    set.root = work / label;
    const int files = static_cast<int>(std::max<std::uint64_t>(1, totalBytes / fileBytes));
    arc::Options o;
    o.out = set.root;
    o.seed = seed;
    o.filesPerStudy = std::min(files, 50);
    o.studies = (files + o.filesPerStudy - 1) / o.filesPerStudy;
    o.fileBytes = fileBytes;
    o.roots = 1;
    o.zipPercent = 0;
    o.unreadable = 0;
    o.extras = false;
    o.reports = false;
    o.syntaxes = {arc::Syntax::ExplicitLittle};   // as most archives store their files
    o.modalities = {arc::Modality::CT, arc::Modality::MR, arc::Modality::CR};
    const arc::Archive archive = arc::GenerateArchive(o);
    set.list = work / (label + ".list");
    std::ofstream list(set.list);
    for (const arc::Study& s : archive.studies)
        for (const arc::File& f : s.files) {
            set.files.push_back(f.path);
            set.totalBytes += f.bytes;
            set.largest = std::max(set.largest, f.bytes);
            list << f.path.string() << "\n";
        }
    return set;
}

// A set made of the DICOM files below `folder` (all regular files, in
// path order), as another program generated them.
DataSet FromFolder(const fs::path& work, const std::string& label, const fs::path& folder) {
    DataSet set;
    set.label = label;
    set.root = folder;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) set.files.push_back(e.path());
    if (set.files.empty()) throw std::runtime_error("no files below " + folder.string());
    std::sort(set.files.begin(), set.files.end());
    set.list = work / (label + ".list");
    std::ofstream list(set.list);
    for (const fs::path& f : set.files) {
        const std::uint64_t bytes = fs::file_size(f);
        set.totalBytes += bytes;
        set.largest = std::max(set.largest, bytes);
        list << f.string() << "\n";
    }
    set.fileBytes = set.totalBytes / set.files.size();
    return set;
}

void WarmUp(const DataSet& set) {
    std::vector<char> buffer(1 << 20);
    for (const fs::path& f : set.files) {
        std::ifstream in(f, std::ios::binary);
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        }
    }
}

void Fresh(const fs::path& folder) {
    fs::remove_all(folder);
    fs::create_directories(folder);
}

// The faster of `times` runs of `run`, each after `reset` and after the
// dirty pages of earlier steps have been written out (otherwise one step
// pays for the writeback of the step before).
Measured Best(const std::function<Measured()>& run, const std::function<void()>& reset, int times) {
    Measured best;
    for (int i = 0; i < times; ++i) {
        reset();
        ::sync();
        const Measured m = run();
        if (i == 0 || m.seconds < best.seconds) best.seconds = m.seconds;
        if (i == 0 || m.work < best.work) best.work = m.work;
        best.maxRssKb = std::max(best.maxRssKb, m.maxRssKb);
    }
    return best;
}

std::string Fixed(double v, int digits = 2) {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(digits);
    s << v;
    return s.str();
}

std::string Verdict(bool met) { return met ? "met" : "MISSED"; }

// The system's load average: other work on the machine skews every figure.
std::string LoadAverage(const std::string& when) {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return "Load average " + when + ": " + one + " " + five + " " + fifteen + " (1, 5, 15 minutes)\n";
}

struct Args {
    fs::path work;
    double gigabytes = 1.0;
    int dicomdirFiles = 5000;
    bool dcmconv = true;
    bool keep = false;
    std::vector<std::pair<std::string, fs::path>> inputs;  // --input LABEL=FOLDER
    fs::path results;                                       // --results FILE
};

// Appends "<key> <value>" lines to the results file, when one was named.
struct Results {
    std::ofstream out;
    explicit Results(const fs::path& file) {
        if (file.empty()) return;
        out.open(file, std::ios::app);
        if (!out) throw std::runtime_error("cannot write " + file.string());
    }
    void Put(const std::string& key, double value) {
        if (out.is_open()) out << key << " " << Fixed(value, 4) << "\n" << std::flush;
    }
};

int Benchmark(const Args& args) {
    fs::path work = args.work;
    bool ownWork = false;
    if (work.empty()) {
        std::string pattern = (fs::temp_directory_path() / "velunor-bench-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data())) throw std::runtime_error("cannot create a work folder");
        work = buffer.data();
        ownWork = true;
    }
    fs::create_directories(work);
    const auto total = static_cast<std::uint64_t>(args.gigabytes * 1e9);

    std::cout << "Velunor DICOM benchmark: " << std::thread::hardware_concurrency() << " cores, warm cache, work folder "
              << work.string() << "\n" << LoadAverage("at the start");
    Results results(args.results);
    std::vector<DataSet> sets;
    if (args.inputs.empty()) {
        std::cout << "Generating the data (explicit VR little endian CT, MR and CR images)...\n" << std::flush;
        sets.push_back(Generate(work, "5MB", 5'000'000, total, 1));
        sets.push_back(Generate(work, "200KB", 200'000, total, 2));
    } else {
        for (const auto& [label, folder] : args.inputs) sets.push_back(FromFolder(work, label, folder));
        // The DICOMDIR is built over the set with the smallest files.
        std::stable_sort(sets.begin(), sets.end(),
                         [](const DataSet& a, const DataSet& b) { return a.fileBytes > b.fileBytes; });
    }

    bool allMet = true;
    for (const DataSet& set : sets) {
        WarmUp(set);
        const double mb = double(set.totalBytes) / 1e6;
        std::cout << std::flush << "\nRe-encoding " << set.files.size() << " files of " << set.label << " ("
                  << Fixed(double(set.totalBytes) / 1e9) << " GB) to Implicit VR Little Endian\n";
        const fs::path out = work / (set.label + "-out");
        const Measured copy =
            Best([&] { return Spawn({"cp", "-r", set.root.string(), out.string()}); }, [&] { fs::remove_all(out); }, 3);
        const std::string report = (work / "child.out").string();
        const Measured own =
            Best([&] { return Spawn({Self(), "--reencode", set.list.string(), out.string()}, report); },
                 [&] { Fresh(out); }, 3);
        const double ratio = own.work / copy.seconds;
        const double target = set.fileBytes >= 1'000'000 ? 1.5 : 3.0;
        const double memoryMb = double(own.maxRssKb) / 1024.0;
        const double memoryLimit = 64.0 + double(set.largest) / (1024.0 * 1024.0);
        std::cout << std::flush << "  cp -r                  " << Fixed(copy.seconds) << " s  "
                  << Fixed(mb / copy.seconds, 0) << " MB/s\n";
        std::cout << std::flush << "  velunor, in-process    " << Fixed(own.work) << " s  " << Fixed(mb / own.work, 0)
                  << " MB/s  " << Fixed(ratio) << " x cp -r  (target <= " << Fixed(target, 1) << " x: "
                  << Verdict(ratio <= target) << ")\n";
        std::cout << std::flush << "    with process start   " << Fixed(own.seconds) << " s  "
                  << Fixed(own.seconds / copy.seconds) << " x cp -r (libraries, DICOM dictionary: once per program)\n";
        allMet = allMet && ratio <= target;
        const std::string key = "dicom." + set.label + ".";
        results.Put(key + "files", double(set.files.size()));
        results.Put(key + "bytes", double(set.totalBytes));
        results.Put(key + "largest", double(set.largest));
        results.Put(key + "cp", copy.seconds);
        results.Put(key + "velunor", own.work);
        results.Put(key + "velunor_process", own.seconds);
        results.Put(key + "target", target);
        results.Put(key + "peak_mb", memoryMb);
        results.Put(key + "peak_limit_mb", memoryLimit);
        if (args.dcmconv) {
            fs::path convOut = work / (set.label + "-dcmconv");
            Fresh(convOut);
            ::sync();
            const auto start = std::chrono::steady_clock::now();
            std::size_t index = 0;
            for (const fs::path& f : set.files)
                Spawn({"dcmconv", "+ti", f.string(), (convOut / (std::to_string(index++) + ".dcm")).string()});
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::cout << std::flush << "  dcmconv +ti per file   " << Fixed(seconds) << " s  " << Fixed(mb / seconds, 0)
                      << " MB/s  " << Fixed(seconds / copy.seconds) << " x cp -r, velunor is "
                      << Fixed(seconds / own.work, 1) << " x faster\n";
            fs::remove_all(convOut);
        }
        std::cout << std::flush << "  peak memory            " << Fixed(memoryMb, 1) << " MB  (target < 64 MB + largest file "
                  << Fixed(double(set.largest) / (1024.0 * 1024.0), 1) << " MB: " << Verdict(memoryMb < memoryLimit)
                  << ")\n";
        allMet = allMet && memoryMb < memoryLimit;
        fs::remove_all(out);
    }

    // Peak memory where the pixel data has to be decoded: 50 MB ultrasound
    // cine loops stored compressed (decoded a frame at a time).
    {
        const fs::path folder = work / "compressed";
        Fresh(folder);
        const fs::path list = work / "compressed.list";
        std::ofstream out(list);
        std::uint64_t largest = 0;
        const std::uint64_t pixelBytes = 640ull * 480 * 3 * 54;   // 49.8 MB
        const arc::Syntax syntaxes[] = {arc::Syntax::JpegLsLossless, arc::Syntax::JpegBaseline, arc::Syntax::Rle};
        for (std::size_t i = 0; i < std::size(syntaxes); ++i) {
            const fs::path file = folder / ("US" + std::to_string(i) + ".dcm");
            arc::WriteImage(file, arc::Modality::US, syntaxes[i], pixelBytes, 100 + i);
            largest = std::max<std::uint64_t>(largest, fs::file_size(file));
            out << file.string() << "\n";
        }
        out.close();
        const fs::path decoded = work / "compressed-out";
        const Measured m = Best([&] { return Spawn({Self(), "--reencode", list.string(), decoded.string()}, (work / "child.out").string()); },
                                [&] { Fresh(decoded); }, 1);
        const double memoryMb = double(m.maxRssKb) / 1024.0;
        const double fileMb = double(largest) / (1024.0 * 1024.0);
        const double pixelMb = double(pixelBytes) / (1024.0 * 1024.0);
        std::cout << std::flush << "\nDecoding 3 ultrasound cine loops of " << Fixed(pixelMb, 1)
                  << " MB pixel data each (JPEG-LS, JPEG baseline, RLE; largest file " << Fixed(fileMb, 1) << " MB)\n";
        std::cout << std::flush << "  velunor, in-process    " << Fixed(m.work) << " s  peak memory " << Fixed(memoryMb, 1)
                  << " MB  (64 MB + largest file: " << Verdict(memoryMb < 64.0 + fileMb)
                  << "; 64 MB + largest decoded image " << Fixed(64.0 + pixelMb, 1) << " MB: "
                  << Verdict(memoryMb < 64.0 + pixelMb) << ")\n";
        allMet = allMet && memoryMb < 64.0 + fileMb;
        results.Put("decode.files", double(std::size(syntaxes)));
        results.Put("decode.seconds", m.work);
        results.Put("decode.peak_mb", memoryMb);
        results.Put("decode.largest_file_mb", fileMb);
        results.Put("decode.image_mb", pixelMb);
        fs::remove_all(decoded);
        fs::remove_all(folder);
    }

    // DICOMDIR over re-encoded files, as the staging tree holds them.
    const DataSet& small = sets.back();
    const int count = std::min<int>(args.dicomdirFiles, static_cast<int>(small.files.size()));
    const fs::path dvd = work / "DVD";
    const fs::path aliases = work / "DVD-aliases";
    Fresh(dvd / "2");
    Fresh(aliases / "2");
    {
        const fs::path list = work / "dicomdir.list";
        std::ofstream out(list);
        for (int i = 0; i < count; ++i) out << small.files[static_cast<std::size_t>(i)].string() << "\n";
        out.close();
        Spawn({Self(), "--reencode", list.string(), (dvd / "2").string()}, (work / "child.out").string());
    }
    // dcmmkdir takes conformant DICOM file IDs only: the same files under
    // such names (hard links, no copies).
    int n = 0;
    for (const auto& e : fs::directory_iterator(dvd / "2")) {
        char name[16];
        std::snprintf(name, sizeof name, "F%07d", ++n);
        fs::create_hard_link(e.path(), aliases / "2" / name);
    }
    std::cout << "\nDICOMDIR for " << count << " staged files\n";
    const Measured reference = Best(
        [&] {
            return Spawn({"dcmmkdir", "-q", "-Pgp", "-Nxc", "-nb", "+r", "+id", aliases.string(), "+D",
                          (aliases / "DICOMDIR").string(), "2"});
        },
        [&] { fs::remove(aliases / "DICOMDIR"); }, 3);
    const Measured ownDir = Best([&] { return Spawn({Self(), "--dicomdir", dvd.string()}, (work / "child.out").string()); },
                                 [&] { fs::remove(dvd / "Dicomdir"); }, 3);
    const double dirRatio = ownDir.work / reference.seconds;
    std::cout << std::flush << "  dcmmkdir               " << Fixed(reference.seconds) << " s (whole run)\n";
    std::cout << std::flush << "  velunor, in-process    " << Fixed(ownDir.work) << " s  " << Fixed(dirRatio)
              << " x dcmmkdir  (target <= 0.8 x: " << Verdict(dirRatio <= 0.8) << ")  peak memory "
              << Fixed(double(ownDir.maxRssKb) / 1024.0, 1) << " MB\n";
    std::cout << std::flush << "    with process start   " << Fixed(ownDir.seconds) << " s  "
              << Fixed(ownDir.seconds / reference.seconds) << " x dcmmkdir\n";
    allMet = allMet && dirRatio <= 1.0;
    results.Put("dicomdir.files", count);
    results.Put("dicomdir.dcmmkdir", reference.seconds);
    results.Put("dicomdir.velunor", ownDir.work);
    results.Put("dicomdir.velunor_process", ownDir.seconds);
    results.Put("dicomdir.peak_mb", double(ownDir.maxRssKb) / 1024.0);

    if (ownWork && !args.keep) fs::remove_all(work);
    std::cout << "\n" << LoadAverage("at the end") << (allMet ? "Every target met." : "Some targets MISSED (see above).") << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::vector<std::string> a(argv + 1, argv + argc);
        if (a.size() == 3 && a[0] == "--reencode") return ReencodeChild(a[1], a[2]);
        if (a.size() == 2 && a[0] == "--dicomdir") return DicomDirChild(a[1]);
        Args args;
        for (std::size_t i = 0; i < a.size(); ++i) {
            auto value = [&]() -> std::string {
                if (i + 1 >= a.size()) throw std::runtime_error(a[i] + " needs a value");
                return a[++i];
            };
            if (a[i] == "--work") args.work = value();
            else if (a[i] == "--gigabytes") args.gigabytes = std::stod(value());
            else if (a[i] == "--dicomdir-files") args.dicomdirFiles = std::stoi(value());
            else if (a[i] == "--no-dcmconv") args.dcmconv = false;
            else if (a[i] == "--keep") args.keep = true;
            else if (a[i] == "--results") args.results = value();
            else if (a[i] == "--input") {
                const std::string v = value();
                const auto eq = v.find('=');
                if (eq == std::string::npos || eq == 0 || eq + 1 == v.size())
                    throw std::runtime_error("--input needs LABEL=FOLDER");
                args.inputs.emplace_back(v.substr(0, eq), fs::path(v.substr(eq + 1)));
            }
            else throw std::runtime_error("unknown option " + a[i]);
        }
        if (args.gigabytes <= 0 || args.gigabytes > 100) throw std::runtime_error("--gigabytes must be in (0, 100]");
        return Benchmark(args);
    } catch (const std::exception& e) {
        std::cerr << "velunor-bench-dicom: " << e.what() << "\n";
        return 1;
    }
}
