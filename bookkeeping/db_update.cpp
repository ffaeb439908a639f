#include <set>
#include <string_view>

#include "app/error.hpp"
#include "app/files.hpp"
#include "bookkeeping/bookkeeping.hpp"

namespace velunor {

namespace {

// How one update of the journal ended.
enum class Outcome {
    NotRun,    // left for a later run (an earlier run's entry, not run here)
    Recorded,  // a row changed
    Retry,     // a database error that a later attempt may not meet
    Refused,   // the database refused the value itself: the same every time
    NoRow,     // no row has the UID: the same every time
};

std::string Statement(const JournalEntry& e) {
    return "Update tblStudies Set StudyDirectory2 = '" + e.Value() + "' Where StudyUID = ?";
}

// True when the database refused the value itself: an ODBC diagnostic of
// SQLSTATE class 22 ("data exception": a UID that is not valid text in the
// database's encoding, one longer than the column). The layer's text is
// "<context>: [SQLSTATE] ..." (docs/database.md).
bool RefusesTheValue(const Error& e) {
    const std::string_view text = e.what();
    const auto at = text.find(": [");
    return at != std::string_view::npos && text.size() >= at + 9 && text[at + 8] == ']' &&
           text.substr(at + 3, 2) == "22";
}

// Runs entries[begin, end) against `db` (none: every one fails as a
// database error), counts them in the summary and stores their outcomes.
// Failures are logged with `label`, the statement preceded by the folder
// ("1 ", "2 "); the first database error of the range is shown, the rest
// only logged, a change of no row only logged. Progress from `from` over
// `span` on the Record bar when `progress` is set.
void RunEntries(Run& run, Database* db, const std::vector<JournalEntry>& entries, std::size_t begin,
                std::size_t end, std::vector<Outcome>& outcomes, Recorded& sum, const char* label, bool progress,
                int from, int span) {
    RunEvents& w = run.events();
    const double step = end > begin ? static_cast<double>(span) / static_cast<double>(end - begin) : 0.0;
    double value = from;
    bool firstFailure = true;
    for (std::size_t i = begin; i < end; ++i) {
        const JournalEntry& e = entries[i];
        const std::string statement = Statement(e);
        const std::string tag = std::to_string(e.folder) + " ";
        try {
            if (!db) throw Error(0, "no database connection");
            if (db->Execute(statement, {e.studyUid}) > 0) {
                outcomes[i] = Outcome::Recorded;
                ++sum.recordedStudies;
            } else {
                outcomes[i] = Outcome::NoRow;
                ++sum.failedUpdates;
                run.shell.LogError(0,
                                   "DVD " + std::to_string(e.disc) + ", folder " + std::to_string(e.folder) +
                                       ": no study has the Study UID [" + e.studyUid +
                                       "], nothing recorded for it (" + tag + statement + ")",
                                   label, 0, true);
            }
        } catch (const Error& err) {
            ++sum.failedUpdates;
            const bool refused = RefusesTheValue(err);
            outcomes[i] = refused ? Outcome::Refused : Outcome::Retry;
            // The first failure of a list is shown; later ones go to the log only.
            run.shell.LogError(err.number(),
                               std::string(err.what()) + " " + tag + statement + " [" + e.studyUid + "]" +
                                   (refused ? " (the database refuses the value; not retried)" : ""),
                               label, 0, !firstFailure);
            firstFailure = false;
        }
        if (progress) {
            value += step;
            w.Progress(RunPhase::Record, static_cast<int>(value));
        }
        w.Yield();
    }
}

// What is left to retry: entries that met a database error or were not run,
// unless a later entry of the journal sets the same UID (its value is the
// one that has to stand).
std::vector<JournalEntry> LeftToRetry(const std::vector<JournalEntry>& entries, const std::vector<Outcome>& outcomes) {
    std::vector<JournalEntry> left;
    std::set<std::string> later;
    for (std::size_t i = entries.size(); i-- > 0;) {
        const bool superseded = !later.insert(entries[i].studyUid).second;
        if (!superseded && (outcomes[i] == Outcome::Retry || outcomes[i] == Outcome::NotRun))
            left.push_back(entries[i]);
    }
    return {left.rbegin(), left.rend()};
}

// "DVD 7" or "DVD 7, DVD 8": the discs of `entries` in order; with `verb`,
// followed by " is" or " are".
std::string DiscNames(const std::vector<JournalEntry>& entries, bool verb = false) {
    std::string out;
    std::set<std::int32_t> seen;
    for (const auto& e : entries) {
        if (!seen.insert(e.disc).second) continue;
        if (!out.empty()) out += ", ";
        out += "DVD " + std::to_string(e.disc);
    }
    if (verb) out += seen.size() > 1 ? " are" : " is";
    return out;
}

}  // namespace

Recorded DBUpdate(Run& run, const VerifiedDisc& verified) {
    RunEvents& w = run.events();
    const Settings& s = run.settings();
    Recorded rec;
    const std::int32_t number = static_cast<std::int32_t>(verified.disc.Number());
    const std::filesystem::path& dir = run.shell.programDir;
    const std::string disc = verified.disc.Label();

    w.Progress(RunPhase::Record, 0);

    std::unique_ptr<Database> db;
    try {
        db = OpenDatabase(s.ServerType, s.Server, s.ConnectionString, kCommandTimeoutSeconds);
    } catch (const Error& e) {
        run.shell.LogError(e.number(), e.what(), "DBUpdate");
    }

    if (!db && verified.imageStays) {
        // Nothing can be recorded now, but the image stays in the image
        // folder: the disc keeps its number, and the next run takes the
        // image over, verifies it again and records it. (A disc leaves with
        // the operator; its number is used up below, recorded or not.)
        run.shell.LogError(0,
                           disc + " is not recorded: the database cannot be reached. Its image stays in the image "
                                  "folder; the next run verifies and records it",
                           "DBUpdate");
        rec.numberUsed = false;
        return rec;
    }

    // The journal: an earlier run's entries (kept, not run here), then this
    // disc's, folder 1 before folder 2.
    std::vector<JournalEntry> entries;
    bool journalUsable = true;
    try {
        if (auto earlier = ReadRecordJournal(dir)) entries = std::move(*earlier);
    } catch (const Error& e) {
        // Never overwrite what may be the only record of another disc.
        journalUsable = false;
        run.shell.LogError(e.number(), std::string(e.what()) + "; it is left as it is, and " + disc +
                                           " is recorded without a record journal",
                           "DBUpdate");
    }
    const std::size_t first1 = entries.size();
    for (const auto& uid : verified.studies1) entries.push_back({number, 1, uid});
    const std::size_t first2 = entries.size();
    for (const auto& uid : verified.studies2) entries.push_back({number, 2, uid});
    bool journalWritten = false;
    if (journalUsable) {
        try {
            WriteRecordJournal(dir, entries);
            journalWritten = true;
        } catch (const Error& e) {
            run.shell.LogError(e.number(), std::string(e.what()) + "; " + disc +
                                               " is recorded without it: an update that fails is not kept for a "
                                               "later run",
                               "DBUpdate");
        }
    }

    std::vector<Outcome> outcomes(entries.size(), Outcome::NotRun);
    RunEntries(run, db.get(), entries, first1, first2, outcomes, rec, "DBUpdate", true, 0, 5000);
    w.Progress(RunPhase::Record, 5000);
    RunEntries(run, db.get(), entries, first2, entries.size(), outcomes, rec, "DBUpdate", true, 5000, 5000);

    if (journalUsable) {
        const auto left = LeftToRetry(entries, outcomes);
        try {
            WriteRecordJournal(dir, left);
            if (!left.empty()) {
                rec.journalKept = true;
                run.shell.LogError(0,
                                   std::to_string(left.size()) + " updates of " + DiscNames(left) +
                                       " stay in the record journal " + RecordJournalPath(dir).string() +
                                       "; the next run records them before it selects studies",
                                   "DBUpdate", 0, true);
            }
        } catch (const Error& e) {
            // Shown unless the same failure was shown before the updates.
            run.shell.LogError(e.number(), e.what(), "DBUpdate", 0, !journalWritten);
        }
    }

    return rec;
}

Replayed ReplayRecordJournal(Run& run) {
    constexpr const char* kLabel = "ReplayRecordJournal";
    Replayed out;
    const auto stop = [&out](std::string why) {
        out.clear = false;
        out.journalKept = true;
        out.why = std::move(why);
        return out;
    };
    const std::string stops =
        " The run stops before selecting studies, so that they are not written onto another disc.";
    try {
        const std::filesystem::path& dir = run.shell.programDir;
        std::vector<JournalEntry> entries;
        try {
            auto journal = ReadRecordJournal(dir);
            if (!journal) return out;
            entries = std::move(*journal);
        } catch (const Error& e) {
            // Never removed: it may be the only record of a verified disc.
            run.shell.LogError(e.number(),
                               std::string(e.what()) +
                                   ". It is kept as it is: it lists the studies of verified discs that are not "
                                   "recorded yet; repair or remove it by hand (see docs/database.md)." +
                                   stops,
                               kLabel);
            return stop("the record journal cannot be read (see Logs/Error.log)");
        }
        if (entries.empty()) {
            WriteRecordJournal(dir, entries);
            return out;
        }

        for (std::size_t i = 0; i < entries.size();) {
            std::size_t j = i;
            while (j < entries.size() && entries[j].disc == entries[i].disc) ++j;
            run.shell.LogError(0,
                               "Recording DVD " + std::to_string(entries[i].disc) +
                                   " from the record journal of an earlier run: " + std::to_string(j - i) +
                                   " studies",
                               kLabel, 0, true);
            i = j;
        }

        const Settings& s = run.settings();
        std::unique_ptr<Database> db;
        try {
            db = OpenDatabase(s.ServerType, s.Server, s.ConnectionString, kCommandTimeoutSeconds);
        } catch (const Error& e) {
            run.shell.LogError(e.number(),
                               DiscNames(entries, true) +
                                   " verified but not recorded: the database cannot be reached (" + e.what() +
                                   "); its studies stay in the record journal " +
                                   RecordJournalPath(dir).string() + "." + stops,
                               kLabel);
            return stop(DiscNames(entries) + " waits in the record journal: the database cannot be reached");
        }

        // The counts belong to the disc this run writes: the replay's
        // outcomes go to the log only.
        Recorded counts;
        std::vector<Outcome> outcomes(entries.size(), Outcome::NotRun);
        RunEntries(run, db.get(), entries, 0, entries.size(), outcomes, counts, kLabel, false, 0, 0);
        db.reset();
        const auto left = LeftToRetry(entries, outcomes);
        WriteRecordJournal(dir, left);  // removes it when nothing is left
        if (left.empty()) return out;

        run.shell.LogError(0,
                           DiscNames(left, true) + " verified but not recorded: " + std::to_string(left.size()) +
                               " updates failed again (see above) and stay in the record journal " +
                               RecordJournalPath(dir).string() + "." + stops,
                           kLabel);
        return stop(DiscNames(left) + " waits in the record journal: updates failed (see Logs/Error.log)");
    } catch (const std::exception& e) {
        try {
            run.shell.LogError(-1,
                               std::string(e.what()) + ". The record journal " +
                                   RecordJournalPath(run.shell.programDir).string() + " is left as it is." + stops,
                               kLabel);
        } catch (...) {
        }
    } catch (...) {
    }
    return stop("the record journal could not be replayed (see Logs/Error.log)");
}

}  // namespace velunor
