// velunor-bench-disc: what writing and verifying a disc image costs,
// measured on generated staging trees against references run in the same
// process tree on the same files:
//   - building and writing the image of a staging tree into the image
//     folder (DVDWriter: libisofs with per-file MD5 checksums, libburn
//     stdio: drive) against `xorriso -as mkisofs -R -J` (and with --md5,
//     which records the same checksums) and against `cp -r` of the tree;
//   - read-back verification of the written image (DVDVerify: every file
//     read through libisofs, checked against its MD5 and parsed by the
//     DICOM toolkit) against `xorriso -check_md5_r` on the same image (and
//     `md5sum` and `cat` of the staged files);
//   - the re-check of the written image (velunor-cli check: every file read
//     through the same reader in pieces, against its MD5, its study through
//     DCMTK, compared with a database) against `xorriso -check_md5_r`, with
//     the peak memory of both;
//   - the time a real 16x DVD would add for writing (about 22 MB/s at best).
// Every figure is printed beside its reference and its target. Caches are
// warm (the tree is read once before the first measurement); with
// --repeat N each timed step runs N times and the fastest run counts.
//
// Usage: velunor-bench-disc [--work DIR] [--sizes 1,4] [--repeat N] [--keep]
//                           [--staging LABEL=FOLDER]... [--results FILE]
// Sizes are in GB (10^9 bytes) of DICOM files. The work folder (default: a
// fresh one under the system's temporary directory, removed at the end)
// needs about 3 x the largest size of free space.
// With --staging nothing is generated: each LABEL=FOLDER names a staging
// root whose DVD/ (1/, 2/ and Dicomdir, as the collection and DICOMDIR
// phases leave it) is measured; it is read, never changed. --results appends
// every figure as a line "<key> <value>" to FILE, for velunor-bench-all.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include "app/run.hpp"
#include "bench/bench_events.hpp"
#include "bookkeeping/database.hpp"
#include "disc/disc.hpp"
#include "disc/dvd_writer.hpp"

extern char** environ;

namespace fs = std::filesystem;
using namespace velunor;

namespace {

constexpr std::uint64_t kFileBytes = 5'000'000;  // one staged image of about 5 MB
constexpr double kDvd16xBytesPerSecond = 22e6;

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `argv` (standard output to `stdoutFile` when given) and returns its
// wall time, and its peak resident memory in `maxRssKb` when asked; throws
// when it cannot be started or fails.
double Spawn(const std::vector<std::string>& argv, const std::string& stdoutFile = "", long* maxRssKb = nullptr) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdoutFile.empty())
        posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    int status = 0;
    if (maxRssKb) {
        // The child's own high-water mark, read while it runs: the kernel's
        // figure for a spawned child starts from this process's size.
        *maxRssKb = 0;
        for (;;) {
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) break;
            if (done < 0) throw std::runtime_error("lost the child " + argv[0]);
            std::ifstream proc("/proc/" + std::to_string(pid) + "/status");
            for (std::string line; std::getline(proc, line);)
                if (line.rfind("VmHWM:", 0) == 0) *maxRssKb = std::max(*maxRssKb, std::atol(line.c_str() + 6));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    } else if (waitpid(pid, &status, 0) != pid) {
        throw std::runtime_error("lost the child " + argv[0]);
    }
    const double s = Seconds(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(argv[0] + " failed");
    return s;
}

double Fastest(int repeat, const std::function<double()>& run, const std::function<void()>& cleanup = {}) {
    double best = 1e300;
    for (int i = 0; i < repeat; ++i) {
        best = std::min(best, run());
        if (cleanup) cleanup();
    }
    return best;
}

// An Implicit VR Little Endian image of about kFileBytes, as the staging
// copy leaves it.
void WriteStagedFile(const fs::path& path, const std::string& study, int n, std::mt19937_64& rng) {
    DcmFileFormat file;
    DcmDataset* ds = file.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, (study + ".1." + std::to_string(n)).c_str());
    ds->putAndInsertString(DCM_StudyInstanceUID, study.c_str());
    ds->putAndInsertString(DCM_SeriesInstanceUID, (study + ".1").c_str());
    ds->putAndInsertString(DCM_PatientID, "BENCH");
    ds->putAndInsertString(DCM_Modality, "OT");
    const Uint16 columns = 1250, rows = 2000;  // 2 bytes each: 5,000,000 bytes
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_Rows, rows);
    ds->putAndInsertUint16(DCM_Columns, columns);
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 12);
    ds->putAndInsertUint16(DCM_HighBit, 11);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    std::vector<Uint16> pixels(static_cast<std::size_t>(rows) * columns);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        const std::uint64_t r = rng();
        for (std::size_t k = 0; k < 4 && i + k < pixels.size(); ++k)
            pixels[i + k] = static_cast<Uint16>((r >> (16 * k)) & 0x0fff);
    }
    ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), static_cast<unsigned long>(pixels.size()));
    if (file.saveFile(path.c_str(), EXS_LittleEndianImplicit).bad())
        throw std::runtime_error("cannot write " + path.string());
}

// The staging tree's DVD/ folder: half the files in 1/, half in 2/, ten
// files per study, and a Dicomdir.
std::vector<fs::path> MakeTree(const fs::path& dvd, double gigabytes) {
    const int files = std::max(2, static_cast<int>(gigabytes * 1e9 / kFileBytes + 0.5));
    std::mt19937_64 rng(files);
    std::vector<fs::path> written;
    for (const char* folder : {"1", "2"}) fs::create_directories(dvd / folder);
    for (int i = 0; i < files; ++i) {
        const std::string folder = i < files / 2 ? "1" : "2";
        const std::string study = "1.2.826.0.1.3680043.9.7777." + std::to_string(i / 10);
        const fs::path p = dvd / folder / (study + ".1." + std::to_string(i) + ".dcm");
        WriteStagedFile(p, study, i, rng);
        written.push_back(p);
    }
    std::ofstream(dvd / "Dicomdir") << "index";
    return written;
}

struct Result {
    std::string label;
    double gigabytes = 0;
    std::uint64_t dataBytes = 0;
    int files = 0;
    std::uint64_t imageBytes = 0;
    double velunorWrite = 0, xorriso = 0, xorrisoMd5 = 0, copy = 0;
    double verify = 0, cat = 0, md5sum = 0;
    double check = 0, xorrisoCheck = 0;
    long checkRssKb = 0, xorrisoCheckRssKb = 0;
};

// A program folder for `velunor-cli check` of the image "DVD 1": the
// program, and an SQLite database that records the studies the
// verification found on it.
fs::path CheckFolder(const fs::path& work, const VerifiedDisc& verified) {
    const fs::path prog = work / "check";
    fs::remove_all(prog);
    fs::create_directories(prog);
    fs::copy_file(VELUNOR_CLI_PATH, prog / "velunor-cli");
    CreateSqliteArchive(prog / "archive.db");
    auto db = OpenDatabase(kSqliteServerType, (prog / "archive.db").string(), "", 0);
    int id = 0;
    for (const auto* list : {&verified.studies1, &verified.studies2})
        for (const std::string& uid : *list)
            db->Execute("INSERT INTO tblStudies (StudyID, StudyUID, StudyDirectory1, StudyDirectory2) VALUES (?, ?, ?, ?)",
                        {std::to_string(++id), uid, "bench/" + std::to_string(id), std::string("DVD 1")});
    std::ofstream(prog / "velunor.ini") << "[CONFIG]\nServerType=SQLite3\nServer=" << (prog / "archive.db").string()
                                        << "\n";
    return prog;
}

// The files of a staging tree's DVD/1/ and DVD/2/, in name order.
std::vector<fs::path> StagedFiles(const fs::path& dvd) {
    std::vector<fs::path> files;
    for (const char* folder : {"1", "2"}) {
        std::vector<fs::path> here;
        for (const auto& e : fs::directory_iterator(dvd / folder))
            if (e.is_regular_file()) here.push_back(e.path());
        std::sort(here.begin(), here.end());
        files.insert(files.end(), here.begin(), here.end());
    }
    return files;
}

// Measures the staging root `staging` (holding DVD/); generates a tree of
// `gigabytes` there first when `generate` is set, and removes it again at
// the end.
Result Measure(const fs::path& work, const std::string& label, const fs::path& staging, bool generate,
               double gigabytes, int repeat) {
    Result r;
    r.label = label;
    const fs::path temp = staging;
    const fs::path dvd = temp / "DVD";
    const fs::path images = work / "images";
    fs::remove_all(images);
    fs::create_directories(images);
    std::vector<fs::path> files;
    if (generate) {
        fs::remove_all(temp);
        std::cout << "Generating " << gigabytes << " GB of staged DICOM files ..." << std::endl;
        files = MakeTree(dvd, gigabytes);
    } else {
        files = StagedFiles(dvd);
        if (files.empty()) throw std::runtime_error("no staged files in " + dvd.string());
    }
    for (const fs::path& f : files) r.dataBytes += fs::file_size(f);
    r.gigabytes = generate ? gigabytes : double(r.dataBytes) / 1e9;
    r.files = static_cast<int>(files.size());
    std::vector<std::string> catArgs{"cat"}, md5Args{"md5sum"};
    for (const auto& f : files) {
        catArgs.push_back(f.string());
        md5Args.push_back(f.string());
    }
    Spawn(catArgs, "/dev/null");  // warm the cache

    bench::BenchEvents events("velunor-bench-disc");
    Shell shell(work, events);
    shell.log.markerPath = work / "Velunor.ready";
    shell.settings.TempPath = temp.string() + "/";
    shell.settings.ImageFolder = images.string();
    DVDWriter writer(shell.settings);
    Run run{shell, writer};
    const StagedDisc disc{0, StagingTree(shell.settings.TempPath)};
    const fs::path image = images / "DVD 1.iso";

    // Image build and write, as DVDCreate and the burn do it.
    r.velunorWrite = Fastest(
        repeat,
        [&] {
            fs::remove(image);  // an existing image is never overwritten
            const auto start = std::chrono::steady_clock::now();
            writer.ScanDrives(false);
            if (!writer.SelectDrive(0)) throw std::runtime_error(writer.LastProblem());
            writer.NewImage();
            writer.ImageOption(true);
            if (!writer.CloneDirectoryToISO("/", StagingTree(shell.settings.TempPath).DiscPattern()))
                throw std::runtime_error(writer.LastProblem());
            writer.ImageBlockCount();
            writer.VolumeLabel("DVD 1");
            std::string failure;
            bool done = false;
            DiscWriterEvents ev;
            ev.BurnComplete = [&] { done = true; };
            ev.WriteError = [&](std::int32_t, std::int32_t, const std::string& m, const std::string&) {
                failure = m;
                done = true;
            };
            writer.SetEvents(ev);
            if (!writer.StartBurn()) throw std::runtime_error(writer.LastProblem());
            while (!done) {
                writer.Poll();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            if (!failure.empty()) throw std::runtime_error(failure);
            return Seconds(start);
        },
        [&] {
            r.imageBytes = fs::file_size(image);
        });

    // Verification of the image written last.
    std::optional<VerifiedDisc> verified;
    r.verify = Fastest(repeat, [&] {
        const auto start = std::chrono::steady_clock::now();
        verified = DVDVerify(run, disc);
        if (!verified) throw std::runtime_error("the verification failed");
        return Seconds(start);
    });
    r.cat = Fastest(repeat, [&] { return Spawn(catArgs, "/dev/null"); });
    r.md5sum = Fastest(repeat, [&] { return Spawn(md5Args, "/dev/null"); });

    // The same image checked again, as an operator does it years later.
    const fs::path prog = CheckFolder(work, *verified);
    r.check = Fastest(repeat, [&] {
        return Spawn({(prog / "velunor-cli").string(), "check", "--image", image.string(), "DVD 1"}, "/dev/null",
                     &r.checkRssKb);
    });
    r.xorrisoCheck = Fastest(repeat, [&] {
        return Spawn({"xorriso", "-md5", "on", "-indev", image.string(), "-check_md5_r", "sorry", "/", "--"}, "/dev/null",
                     &r.xorrisoCheckRssKb);
    });
    fs::remove_all(prog);
    fs::remove(image);

    const fs::path out = work / "xorriso.iso";
    r.xorriso = Fastest(
        repeat,
        [&] { return Spawn({"xorriso", "-as", "mkisofs", "-R", "-J", "-quiet", "-o", out.string(), dvd.string()}); },
        [&] { fs::remove(out); });
    r.xorrisoMd5 = Fastest(
        repeat,
        [&] {
            return Spawn({"xorriso", "-as", "mkisofs", "-R", "-J", "--md5", "-quiet", "-o", out.string(), dvd.string()});
        },
        [&] { fs::remove(out); });
    const fs::path copy = work / "copy";
    r.copy = Fastest(repeat, [&] { return Spawn({"cp", "-r", dvd.string(), copy.string()}); },
                     [&] { fs::remove_all(copy); });
    if (generate) fs::remove_all(temp);
    return r;
}

std::string Fixed(double v, int digits = 2) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, v);
    return buffer;
}

void Print(const Result& r) {
    std::cout << "\n" << r.label << " staging tree (" << Fixed(r.gigabytes) << " GB): " << r.files << " files, image "
              << r.imageBytes << " bytes\n";
    std::cout << "  image build + write   velunor " << Fixed(r.velunorWrite) << " s | xorriso -R -J "
              << Fixed(r.xorriso) << " s (velunor " << Fixed(r.velunorWrite / r.xorriso) << "x) | xorriso -R -J --md5 "
              << Fixed(r.xorrisoMd5) << " s (velunor " << Fixed(r.velunorWrite / r.xorrisoMd5) << "x) | cp -r "
              << Fixed(r.copy) << " s | target: no slower than xorriso\n";
    std::cout << "  verification          velunor " << Fixed(r.verify) << " s | xorriso -check_md5_r "
              << Fixed(r.xorrisoCheck) << " s (velunor " << Fixed(r.verify / r.xorrisoCheck) << "x) | md5sum "
              << Fixed(r.md5sum) << " s (velunor " << Fixed(r.verify / r.md5sum) << "x) | cat " << Fixed(r.cat)
              << " s | target: no slower than xorriso -check_md5_r\n";
    std::cout << "  re-check              velunor-cli check " << Fixed(r.check) << " s, peak " << r.checkRssKb / 1024
              << " MB | xorriso -check_md5_r " << Fixed(r.xorrisoCheck) << " s, peak " << r.xorrisoCheckRssKb / 1024
              << " MB (velunor " << Fixed(r.check / r.xorrisoCheck) << "x) | target: within 1.2x xorriso\n";
    std::cout << "  a real 16x DVD (22 MB/s at best) adds " << Fixed(r.imageBytes / kDvd16xBytesPerSecond, 0)
              << " s of writing\n";
}

// "LABEL=FOLDER" split in two; nullopt when either part is empty.
std::optional<std::pair<std::string, fs::path>> LabelledPath(const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) return std::nullopt;
    return std::make_pair(text.substr(0, eq), fs::path(text.substr(eq + 1)));
}

// Appends the figures of `r` to `file` as "<key> <value>" lines.
void Record(const fs::path& file, const Result& r) {
    std::ofstream out(file, std::ios::app);
    if (!out) throw std::runtime_error("cannot write " + file.string());
    const std::string key = "disc." + r.label + ".";
    const std::pair<const char*, double> figures[] = {
        {"files", r.files},           {"bytes", double(r.dataBytes)},  {"image_bytes", double(r.imageBytes)},
        {"velunor_write", r.velunorWrite}, {"xorriso", r.xorriso},     {"xorriso_md5", r.xorrisoMd5},
        {"cp", r.copy},               {"verify", r.verify},            {"cat", r.cat},
        {"md5sum", r.md5sum},         {"check", r.check},              {"xorriso_check_md5", r.xorrisoCheck},
        {"check_rss_kb", double(r.checkRssKb)}, {"xorriso_check_rss_kb", double(r.xorrisoCheckRssKb)}};
    for (const auto& [name, value] : figures) out << key << name << " " << Fixed(value, 4) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    fs::path work;
    std::vector<double> sizes{1, 4};
    std::vector<std::pair<std::string, fs::path>> stagings;
    fs::path results;
    int repeat = 1;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--work" && i + 1 < argc) {
            work = argv[++i];
        } else if (a == "--sizes" && i + 1 < argc) {
            sizes.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) sizes.push_back(std::stod(item));
        } else if (a == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--keep") {
            keep = true;
        } else if (a == "--results" && i + 1 < argc) {
            results = argv[++i];
        } else if (a == "--staging" && i + 1 < argc && LabelledPath(argv[i + 1])) {
            stagings.push_back(*LabelledPath(argv[++i]));
        } else {
            std::cerr << "usage: velunor-bench-disc [--work DIR] [--sizes 1,4] [--repeat N] [--keep]\n"
                         "                          [--staging LABEL=FOLDER]... [--results FILE]\n";
            return 2;
        }
    }
    const bool ownWork = work.empty();
    if (ownWork) work = fs::temp_directory_path() / ("velunor-bench-disc-" + std::to_string(::getpid()));
    int rc = 0;
    try {
        fs::create_directories(work);
        std::vector<Result> measured;
        if (stagings.empty())
            for (double g : sizes)
                measured.push_back(Measure(work, Fixed(g, 0) + "GB", work / "temp", true, g, repeat));
        for (const auto& [label, staging] : stagings)
            measured.push_back(Measure(work, label, staging, false, 0, repeat));
        for (const Result& r : measured) {
            Print(r);
            if (!results.empty()) Record(results, r);
        }
    } catch (const std::exception& e) {
        std::cerr << "velunor-bench-disc: " << e.what() << "\n";
        rc = 1;
    }
    if (ownWork && !keep) {
        std::error_code ec;
        fs::remove_all(work, ec);
    }
    return rc;
}
