// velunor-cli report: the archive's studies per state, its discs and their
// checks, and whatever needs the operator.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <ostream>
#include <set>

#include "app/check_log.hpp"
#include "app/error.hpp"
#include "app/media_number.hpp"
#include "app/program/audit.hpp"
#include "app/program/audit_support.hpp"
#include "bookkeeping/bookkeeping.hpp"

namespace velunor {

namespace {

using audit::DiscLabel;
using audit::DiscRecord;
using audit::JsonString;

constexpr const char* kUsage = "usage: velunor-cli report [--json] [--older-than DAYS]\n";
constexpr int kDefaultOlderThanDays = 365;
// Studies named one by one in a list; the counts are always whole.
constexpr std::size_t kListedStudies = 100;

void Help(std::ostream& out) {
    out << kUsage
        << "\n"
           "Counts the archive's studies per state (waiting for a disc, on one disc only, on\n"
           "two discs, \"not readable\", larger than a disc as the runs found them), names the\n"
           "last disc (LastMediaNr), the discs never checked, last checked more than DAYS\n"
           "days ago (default 365) or whose last check found a problem (Logs/Check.log), the\n"
           "studies left on one disc only although a later disc was written (a missed second\n"
           "copy), and the discs verified but not recorded (RecordJournal).\n"
           "\n"
           "  --json             the same as one JSON object\n"
           "  --older-than DAYS  discs last checked longer ago than this need a check\n"
           "\n"
           "Exit status: 0 nothing needs an operator; 1 something does (each reason is\n"
           "named); 2 the database or LastMediaNr could not be read, or the command line\n"
           "was wrong.\n";
}

struct StudyRef {
    std::string uid, folder, discs;
};

struct Report {
    std::int32_t lastDisc = 0;
    int olderThanDays = kDefaultOlderThanDays;
    // Studies per state.
    std::uint64_t waiting = 0, oneDisc = 0, twoDiscs = 0, notReadable = 0, largerThanDisc = 0, migrated = 0,
                  unrecognised = 0;
    std::uint64_t missedSecondCopy = 0;
    std::vector<StudyRef> missedExamples, largerExamples, unrecognisedExamples;
    // Discs.
    std::vector<std::int64_t> neverChecked;
    std::vector<DiscCheck> overdue, lastCheckFailed;
    // The record journal: studies per disc verified but not recorded.
    std::map<std::int32_t, std::uint64_t> unrecorded;
    std::string journalProblem;
    std::vector<std::string> reasons;   // why an operator is needed
};

// The Study UIDs that runs named in Logs/Error.log as larger than one disc:
// "Study <folder> (Study UID <uid>) is larger than one disc: ...". The
// collection writes this line on every run that meets such a study, and
// nowhere else.
std::set<std::string> NamedLargerThanDisc(const std::filesystem::path& logsDir) {
    std::set<std::string> uids;
    const auto file = logsDir / "Error.log";
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return uids;
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error(errno, "Cannot read " + file.string() + ": " + std::strerror(errno));
    constexpr std::string_view marker = ") is larger than one disc: ";
    constexpr std::string_view uidStart = " (Study UID ";
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t end = line.find(marker);
        if (end == std::string::npos) continue;
        const std::size_t start = line.rfind(uidStart, end);
        if (start == std::string::npos) continue;
        const std::string uid = line.substr(start + uidStart.size(), end - start - uidStart.size());
        if (!uid.empty() && uid != "unknown") uids.insert(uid);
    }
    return uids;
}

void Note(std::vector<StudyRef>& list, StudyRef ref) {
    if (list.size() < kListedStudies) list.push_back(std::move(ref));
}

// Counts every study of the database into its state.
void CountStudies(Database& db, const std::set<std::string>& larger, Report& r) {
    auto rs = db.Query("SELECT StudyUID, StudyDirectory1, StudyDirectory2 FROM tblStudies ORDER BY StudyID");
    while (rs->Next()) {
        const auto value = rs->Field("StudyDirectory2");
        StudyRef ref{rs->Field("StudyUID").value_or(""), rs->Field("StudyDirectory1").value_or(""), value.value_or("")};
        const DiscRecord d = audit::ParseDiscRecord(value);
        switch (d.kind) {
        case DiscRecord::Kind::None:
            // As the collection selects: a folder named "migrated..." never is.
            if (ref.folder.rfind("migrated", 0) == 0) {
                ++r.migrated;
            } else if (larger.count(ref.uid)) {
                ++r.largerThanDisc;
                Note(r.largerExamples, std::move(ref));
            } else {
                ++r.waiting;
            }
            break;
        case DiscRecord::Kind::OneDisc:
            ++r.oneDisc;
            // The disc after it has been written: it should have taken the study again.
            if (d.discs[0] < r.lastDisc) {
                ++r.missedSecondCopy;
                Note(r.missedExamples, std::move(ref));
            }
            break;
        case DiscRecord::Kind::TwoDiscs:
            ++r.twoDiscs;
            break;
        case DiscRecord::Kind::NotReadable:
            ++r.notReadable;
            break;
        case DiscRecord::Kind::Unrecognised:
            ++r.unrecognised;
            Note(r.unrecognisedExamples, std::move(ref));
            break;
        }
    }
}

void CheckDiscs(const std::map<std::string, DiscCheck>& checks, std::chrono::system_clock::time_point now,
                Report& r) {
    const auto limit = std::chrono::hours(24) * r.olderThanDays;
    for (std::int64_t n = 1; n <= r.lastDisc; ++n) {
        const auto c = checks.find(DiscLabel(n));
        if (c == checks.end()) r.neverChecked.push_back(n);
        else if (!c->second.Good()) r.lastCheckFailed.push_back(c->second);
        else if (now - c->second.time > limit) r.overdue.push_back(c->second);
    }
}

void ReadJournal(const std::filesystem::path& programDir, Report& r) {
    try {
        if (const auto entries = ReadRecordJournal(programDir))
            for (const JournalEntry& e : *entries) ++r.unrecorded[e.disc];
    } catch (const Error& e) {
        r.journalProblem = e.what();
    }
}

// "DVD 1 to DVD 4, DVD 7"
std::string Ranges(const std::vector<std::int64_t>& discs) {
    std::string out;
    for (std::size_t i = 0; i < discs.size();) {
        std::size_t j = i;
        while (j + 1 < discs.size() && discs[j + 1] == discs[j] + 1) ++j;
        out += (out.empty() ? "" : ", ") + DiscLabel(discs[i]);
        if (j > i) out += (j == i + 1 ? ", " : " to ") + DiscLabel(discs[j]);
        i = j + 1;
    }
    return out;
}

void Reasons(Report& r) {
    auto add = [&](std::uint64_t count, const std::string& text) {
        if (count > 0) r.reasons.push_back(text + ": " + std::to_string(count));
    };
    add(r.unrecorded.size(), "discs verified but not recorded (RecordJournal)");
    if (!r.journalProblem.empty()) r.reasons.push_back(r.journalProblem);
    add(r.missedSecondCopy, "studies on one disc only although a later disc was written");
    add(r.lastCheckFailed.size(), "discs whose last check found a problem");
    add(r.neverChecked.size(), "discs never checked");
    add(r.overdue.size(), "discs last checked more than " + std::to_string(r.olderThanDays) + " days ago");
    add(r.largerThanDisc, "studies larger than a disc, on no disc");
    add(r.notReadable, "studies marked \"not readable\", on no disc");
    add(r.unrecognised, "studies whose StudyDirectory2 is no disc record");
}

void PrintText(const Report& r, std::ostream& out) {
    auto row = [&](const char* what, std::uint64_t n) {
        std::string label = what;
        label.resize(std::max<std::size_t>(label.size(), 34), ' ');
        out << "  " << label << n << "\n";
    };
    out << "Studies:\n";
    row("waiting for a disc", r.waiting);
    row("on one disc only", r.oneDisc);
    row("on two discs", r.twoDiscs);
    row("not readable", r.notReadable);
    row("larger than a disc", r.largerThanDisc);
    if (r.migrated) row("migrated (never selected)", r.migrated);
    if (r.unrecognised) row("with an unrecognised record", r.unrecognised);
    out << "Last disc: " << (r.lastDisc > 0 ? DiscLabel(r.lastDisc) : std::string("none written yet")) << "\n";

    auto studies = [&](const std::string& title, std::uint64_t count, const std::vector<StudyRef>& list) {
        if (count == 0) return;
        out << title << ": " << count << "\n";
        for (const auto& s : list)
            out << "  " << s.uid << " (folder " << s.folder << (s.discs.empty() ? "" : ", " + s.discs) << ")\n";
        if (count > list.size()) out << "  ... and " << count - list.size() << " more\n";
    };
    studies("Studies on one disc only although a later disc was written", r.missedSecondCopy, r.missedExamples);
    studies("Studies larger than a disc (named by the runs in Logs/Error.log)", r.largerThanDisc, r.largerExamples);
    studies("Studies whose StudyDirectory2 is no disc record", r.unrecognised, r.unrecognisedExamples);
    if (!r.neverChecked.empty()) out << "Discs never checked: " << Ranges(r.neverChecked) << "\n";
    auto discs = [&](const std::string& title, const std::vector<DiscCheck>& list) {
        if (list.empty()) return;
        out << title << ":\n";
        for (const auto& c : list) out << "  " << c.label << ": " << FormatLocalTime(c.time) << ", " << c.result << "\n";
    };
    discs("Discs last checked more than " + std::to_string(r.olderThanDays) + " days ago", r.overdue);
    discs("Discs whose last check found a problem", r.lastCheckFailed);
    if (!r.unrecorded.empty()) {
        out << "Discs verified but not recorded (RecordJournal; the next run records them):\n";
        for (const auto& [disc, n] : r.unrecorded) out << "  " << DiscLabel(disc) << ": " << n << " studies\n";
    }
    if (!r.journalProblem.empty()) out << "Record journal: " << r.journalProblem << "\n";
    if (r.reasons.empty()) {
        out << "Nothing needs an operator\n";
    } else {
        out << "Needs an operator:\n";
        for (const auto& reason : r.reasons) out << "  " << reason << "\n";
    }
}

void PrintJson(const Report& r, std::ostream& out) {
    auto studyList = [&](const std::vector<StudyRef>& list) {
        std::string s = "[";
        for (const auto& e : list)
            s += std::string(s.size() > 1 ? "," : "") + "{\"studyUid\":" + JsonString(e.uid) +
                 ",\"folder\":" + JsonString(e.folder) + ",\"record\":" + JsonString(e.discs) + "}";
        return s + "]";
    };
    auto checkList = [&](const std::vector<DiscCheck>& list) {
        std::string s = "[";
        for (const auto& c : list)
            s += std::string(s.size() > 1 ? "," : "") + "{\"disc\":" + JsonString(c.label) +
                 ",\"lastChecked\":" + JsonString(FormatLocalTime(c.time)) + ",\"result\":" + JsonString(c.result) + "}";
        return s + "]";
    };
    std::string never = "[";
    for (auto n : r.neverChecked) never += std::string(never.size() > 1 ? "," : "") + JsonString(DiscLabel(n));
    never += "]";
    std::string unrecorded = "[";
    for (const auto& [disc, n] : r.unrecorded)
        unrecorded += std::string(unrecorded.size() > 1 ? "," : "") + "{\"disc\":" + JsonString(DiscLabel(disc)) +
                      ",\"studies\":" + std::to_string(n) + "}";
    unrecorded += "]";
    std::string reasons = "[";
    for (const auto& reason : r.reasons) reasons += std::string(reasons.size() > 1 ? "," : "") + JsonString(reason);
    reasons += "]";
    out << "{\"studies\":{\"waiting\":" << r.waiting << ",\"oneDisc\":" << r.oneDisc << ",\"twoDiscs\":" << r.twoDiscs
        << ",\"notReadable\":" << r.notReadable << ",\"largerThanDisc\":" << r.largerThanDisc
        << ",\"migrated\":" << r.migrated << ",\"unrecognised\":" << r.unrecognised << "},"
        << "\"lastDisc\":" << r.lastDisc << ","
        << "\"missedSecondCopy\":{\"count\":" << r.missedSecondCopy << ",\"studies\":" << studyList(r.missedExamples)
        << "},\"largerThanDisc\":" << studyList(r.largerExamples)
        << ",\"unrecognised\":" << studyList(r.unrecognisedExamples) << ",\"discs\":{\"olderThanDays\":"
        << r.olderThanDays << ",\"neverChecked\":" << never << ",\"overdue\":" << checkList(r.overdue)
        << ",\"lastCheckFailed\":" << checkList(r.lastCheckFailed) << "},\"unrecordedDiscs\":" << unrecorded
        << ",\"journalProblem\":" << (r.journalProblem.empty() ? "null" : JsonString(r.journalProblem))
        << ",\"needsOperator\":" << (r.reasons.empty() ? "false" : "true") << ",\"reasons\":" << reasons << "}\n";
}

int UsageError(CommandEnv& env, const std::string& what) {
    env.err << "velunor-cli report: " << what << "\n" << kUsage;
    return kExitCannotRun;
}

}  // namespace

int ReportCommand(const std::vector<std::string>& args, CommandEnv& env) {
    Report r;
    bool json = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (audit::IsHelp(a)) {
            Help(env.out);
            return kExitGood;
        }
        if (a == "--json") {
            json = true;
        } else if (a == "--older-than") {
            if (i + 1 >= args.size()) return UsageError(env, "--older-than needs a number of days");
            const std::string& v = args[++i];
            char* end = nullptr;
            errno = 0;
            const long days = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || errno != 0 || days < 0 || days > 36500)
                return UsageError(env, "--older-than " + v + " is not a number of days from 0 to 36500");
            r.olderThanDays = static_cast<int>(days);
        } else {
            return UsageError(env, "unknown argument \"" + a + "\"");
        }
    }
    try {
        const Settings settings = audit::LoadArchiveSettings(env.programDir);
        r.lastDisc = ReadLastMediaNr(env.programDir);
        const std::filesystem::path logs = env.programDir / "Logs";
        const std::set<std::string> larger = NamedLargerThanDisc(logs);
        CountStudies(*audit::OpenArchiveDatabase(settings), larger, r);
        CheckDiscs(LastDiscChecks(logs), env.now(), r);
    } catch (const Error& e) {
        env.err << "velunor-cli report: " << e.what() << "\n";
        return kExitCannotRun;
    }
    ReadJournal(env.programDir, r);
    Reasons(r);
    if (json) PrintJson(r, env.out);
    else PrintText(r, env.out);
    return r.reasons.empty() ? kExitGood : kExitAttention;
}

}  // namespace velunor
