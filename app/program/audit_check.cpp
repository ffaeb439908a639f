// velunor-cli check: reads a written disc (or its image) again, file by
// file, against the checksums recorded when it was written, collects the
// studies of 1/ and 2/ through the DICOM toolkit and compares them with
// what the database records for the disc.
#include <cstdio>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>

#include "app/check_log.hpp"
#include "app/error.hpp"
#include "app/program/audit.hpp"
#include "app/program/audit_support.hpp"
#include "disc/disc.hpp"

namespace velunor {

namespace {

using audit::DiscLabel;
using audit::DiscNumberOf;
using audit::ParseDiscRecord;

constexpr const char* kUsage = "usage: velunor-cli check [--image FILE | --device PATH] [DVD n]\n";

void Help(std::ostream& out) {
    out << kUsage
        << "\n"
           "Reads a written disc again and checks it three ways: every file against the MD5\n"
           "recorded when it was written; every file of 1/ and 2/ through the DICOM toolkit,\n"
           "collecting its studies; and those studies against the database: studies it\n"
           "records on the disc that are missing from it or damaged on it, and studies on\n"
           "the disc it records elsewhere. Names every damaged or unreadable file and every\n"
           "mismatching study, and appends a line to Logs/Check.log. Changes nothing else.\n"
           "\n"
        << audit::kMediumOptionsHelp
        << "  DVD n          the disc expected (default: the medium's own label)\n"
           "\n"
        << audit::kDefaultMediumHelp
        << "\n"
           "Exit status: 0 the disc is whole and matches the database; 1 damage or a\n"
           "mismatch; 2 the disc could not be read at all, the database could not be\n"
           "reached, or the command line was wrong.\n";
}

int UsageError(CommandEnv& env, const std::string& what) {
    env.err << "velunor-cli check: " << what << "\n" << kUsage;
    return kExitCannotRun;
}

struct FileProblem {
    std::string path;
    std::string what;
};

// A study found on the medium.
struct StudyOnDisc {
    std::set<std::string> folders;   // "1", "2"
    int files = 0;
    int damagedFiles = 0;
};

// What reading the whole medium found.
struct MediumFindings {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t notCompared = 0;   // read in full, without a checksum to compare with
    std::vector<FileProblem> problems;
    std::map<std::string, StudyOnDisc> studies;
};

// The folder ("1" or "2") of a file lying directly in 1/ or 2/, else "".
std::string StudyFolder(const std::string& path) {
    if (path.size() > 2 && (path[0] == '1' || path[0] == '2') && path[1] == '/' &&
        path.find('/', 2) == std::string::npos)
        return path.substr(0, 1);
    return "";
}

// Reads every file of the medium once, through the reader's fixed buffers.
// A file that cannot be read, or whose reading takes longer than its bound,
// is named, and the check goes on with the next file. DCMTK's own refusal
// is named, and the rest of the file is still read for its checksum; a read
// error ends the file.
MediumFindings ReadMedium(const WrittenMedium& medium, CommandEnv& env) {
    MediumFindings f;
    StudyFileReader reader;
    for (const MediumEntry& entry : medium.Files()) {
        ++f.files;
        const std::string folder = StudyFolder(entry.path);
        const auto bound = env.fileTimeBase + std::chrono::seconds(entry.size / env.slowestBytesPerSecond);
        const auto deadline = env.clock() + bound;
        FileReading found;
        const std::size_t problemsBefore = f.problems.size();
        try {
            const std::unique_ptr<MediumFile> file = medium.Open(entry.path);
            reader.Read(*file, entry.path, !folder.empty(), [&](std::size_t n) {
                f.bytes += n;
                if (env.clock() > deadline)
                    throw Error(0, "reading it took longer than " + std::to_string(bound.count()) +
                                       " s (unreadable sectors?)");
            }, found);
            if (!found.dicomProblem.empty()) f.problems.push_back({entry.path, found.dicomProblem});
            const Md5Verdict verdict = file->Verdict();
            if (verdict == Md5Verdict::Mismatch)
                f.problems.push_back({entry.path, "differs from what was written (MD5 mismatch)"});
            else if (verdict == Md5Verdict::NotRecorded)
                ++f.notCompared;
            if (!folder.empty() && found.studyUid.empty() && f.problems.size() == problemsBefore)
                f.problems.push_back({entry.path, "has no Study Instance UID"});
        } catch (const std::exception& e) {
            f.problems.push_back({entry.path, e.what()});
        }
        if (!found.studyUid.empty()) {
            StudyOnDisc& s = f.studies[found.studyUid];
            s.folders.insert(folder);
            ++s.files;
            if (f.problems.size() > problemsBefore) ++s.damagedFiles;
        }
    }
    return f;
}

// A study as the database has it.
struct StudyRow {
    std::string folder;                       // StudyDirectory1
    std::optional<std::string> discs;         // StudyDirectory2
};

std::string Text(const std::optional<std::string>& v) { return v.value_or(""); }

// The studies whose StudyDirectory2 names disc `n`, by Study UID.
std::map<std::string, StudyRow> RecordedOn(Database& db, std::int64_t n) {
    const std::string label = DiscLabel(n);
    auto rs = db.Query("SELECT StudyUID, StudyDirectory1, StudyDirectory2 FROM tblStudies "
                       "WHERE StudyDirectory2 = ? OR StudyDirectory2 LIKE ? OR StudyDirectory2 LIKE ?",
                       {label, label + "|%", "%|" + label});
    std::map<std::string, StudyRow> out;
    while (rs->Next()) {
        const auto value = rs->Field("StudyDirectory2");
        if (!ParseDiscRecord(value).Names(n)) continue;   // LIKE may ignore case
        out[Text(rs->Field("StudyUID"))] = {Text(rs->Field("StudyDirectory1")), value};
    }
    return out;
}

// Every row of a Study UID.
std::vector<StudyRow> RowsOf(Database& db, const std::string& uid) {
    auto rs = db.Query("SELECT StudyDirectory1, StudyDirectory2 FROM tblStudies WHERE StudyUID = ?", {uid});
    std::vector<StudyRow> out;
    while (rs->Next()) out.push_back({Text(rs->Field("StudyDirectory1")), rs->Field("StudyDirectory2")});
    return out;
}

std::string Folders(const std::set<std::string>& folders) {
    std::string out;
    for (const auto& f : folders) out += (out.empty() ? "" : " and ") + f + "/";
    return out;
}

std::unique_ptr<WrittenMedium> OpenMedium(const audit::MediumChoice& source) {
    if (source.image) return WrittenMedium::OpenImage(*source.image);
    return WrittenMedium::OpenDrive(source.device.value_or(""));
}

}  // namespace

int CheckCommand(const std::vector<std::string>& args, CommandEnv& env) {
    audit::MediumChoice source;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (audit::IsHelp(args[i])) {
            Help(env.out);
            return kExitGood;
        }
        try {
            if (!source.Take(args, i)) return UsageError(env, "unknown option \"" + args[i] + "\"");
        } catch (const std::invalid_argument& e) {
            return UsageError(env, e.what());
        }
    }
    std::string wanted = source.wanted;   // the label named on the command line, else the medium's

    Settings settings;
    try {
        settings = audit::LoadArchiveSettings(env.programDir);
    } catch (const Error& e) {
        env.err << "velunor-cli check: " << e.what() << "\n";
        return kExitCannotRun;
    }
    if (!source.Named() && !settings.ImageFolder.empty()) {
        if (wanted.empty()) return UsageError(env, "name the disc to read from the image folder " + settings.ImageFolder);
        source.image = std::filesystem::path(settings.ImageFolder) / (wanted + ".iso");
    }
    LogSink sink;
    sink.logsDir = env.programDir / "Logs";
    const auto start = env.clock();
    auto seconds = [&] { return std::chrono::duration<double>(env.clock() - start).count(); };

    std::unique_ptr<WrittenMedium> medium;
    try {
        medium = OpenMedium(source);
    } catch (const std::exception& e) {
        env.out << (wanted.empty() ? "The medium" : wanted) << " cannot be read: " << e.what() << "\n"
                << "Result: " << check_result::kUnreadable << "\n";
        if (!wanted.empty())
            AppendDiscCheck(sink, {env.now(), wanted, 0, 0, seconds(), check_result::kUnreadable});
        return kExitCannotRun;
    }
    const std::string volume = medium->VolumeId();
    if (wanted.empty()) {
        if (!DiscNumberOf(volume)) {
            env.err << "velunor-cli check: " << medium->Name() << " carries the label \"" << volume
                    << "\", which is no disc of the archive; name the disc (DVD n)\n";
            return kExitCannotRun;
        }
        wanted = volume;
    } else if (volume != wanted) {
        env.err << "velunor-cli check: " << medium->Name() << " is \"" << volume << "\", not " << wanted << "\n";
        return kExitCannotRun;
    }
    const std::int64_t number = *DiscNumberOf(wanted);

    // The database's record first: a disc is not read for an hour to learn
    // then that the database cannot be reached.
    std::map<std::string, StudyRow> recorded;
    try {
        recorded = RecordedOn(*audit::OpenArchiveDatabase(settings), number);
    } catch (const Error& e) {
        env.err << "velunor-cli check: " << e.what() << "\n";
        return kExitCannotRun;
    }

    const MediumFindings found = ReadMedium(*medium, env);

    // Studies on the disc that the database does not record there. When
    // the database has gone meanwhile, what the disc showed is still told.
    std::vector<std::string> elsewhere;
    std::string lookupProblem;
    try {
        auto db = audit::OpenArchiveDatabase(settings);
        for (const auto& [uid, study] : found.studies) {
            if (recorded.count(uid)) continue;
            const std::vector<StudyRow> rows = RowsOf(*db, uid);
            std::string where;
            for (const StudyRow& r : rows)
                where += (where.empty() ? "" : "; ") + ("folder " + r.folder + ": " + audit::DescribeDiscRecord(r.discs));
            elsewhere.push_back(uid + " (in " + Folders(study.folders) + "): " +
                                (rows.empty() ? std::string("not in the database") : "the database has it " + where));
        }
    } catch (const Error& e) {
        lookupProblem = e.what();
        elsewhere.clear();
    }
    std::vector<std::string> missing, incomplete;
    for (const auto& [uid, row] : recorded) {
        const auto on = found.studies.find(uid);
        if (on == found.studies.end())
            missing.push_back(uid + " (folder " + row.folder + ", " + audit::DescribeDiscRecord(row.discs) + ")");
        else if (on->second.damagedFiles > 0)
            incomplete.push_back(uid + " (folder " + row.folder + "): " + std::to_string(on->second.damagedFiles) +
                                 " of its " + std::to_string(on->second.files) + " files damaged or unreadable");
    }

    const bool damaged = !found.problems.empty();
    // A study left incomplete by a damaged file is named, and counts as the damage it is.
    const bool mismatch = !missing.empty() || !elsewhere.empty();
    const char* result = damaged && mismatch ? check_result::kDamagedAndMismatch
                         : damaged           ? check_result::kDamaged
                         : mismatch          ? check_result::kMismatch
                         : found.notCompared > 0 ? check_result::kReadableNotCompared
                                                 : check_result::kWhole;
    const double took = seconds();

    std::ostream& out = env.out;
    char tookText[32];
    std::snprintf(tookText, sizeof tookText, "%.1f", took);
    out << wanted << " (" << medium->Name() << "): " << found.files << " files, " << found.bytes << " bytes read in "
        << tookText << " s; " << found.studies.size() << " studies on it, " << recorded.size()
        << " recorded on it by the database\n";
    auto list = [&](const std::string& title, const std::vector<std::string>& items) {
        if (items.empty()) return;
        out << title << ": " << items.size() << "\n";
        for (const auto& item : items) out << "  " << item << "\n";
    };
    std::vector<std::string> problems;
    for (const auto& p : found.problems) {
        // The reader's text names the file and the medium again.
        const std::string prefix = "Cannot read " + p.path + " on the medium " + medium->Name() + ": ";
        problems.push_back(p.path + ": " +
                           (p.what.rfind(prefix, 0) == 0 ? "unreadable: " + p.what.substr(prefix.size()) : p.what));
    }
    list("Damaged or unreadable files", problems);
    list("Studies the database records on " + wanted + " that are missing from it (or unreadable)", missing);
    list("Studies the database records on " + wanted + " that are incomplete on it", incomplete);
    list("Studies on " + wanted + " that the database does not record there", elsewhere);
    if (!medium->ChecksumProblem().empty())
        out << "Its bytes could not be compared: " << medium->ChecksumProblem() << "\n";
    else if (found.notCompared > 0)
        out << "Its bytes could not be compared: " << found.notCompared << " of " << found.files
            << " files carry no MD5 record (written without checksums); they were only read\n";
    if (!lookupProblem.empty())
        out << "The studies on it that the database does not record there could not be looked up: " << lookupProblem
            << "\n";
    out << "Result: " << result << "\n";
    if (!AppendDiscCheck(sink, {env.now(), wanted, found.files, found.bytes, took, result}))
        env.err << "velunor-cli check: cannot append to " << (sink.logsDir / kCheckLogName).string() << "\n";
    if (damaged || mismatch) return kExitAttention;
    return lookupProblem.empty() ? kExitGood : kExitCannotRun;
}

}  // namespace velunor
