// velunor-cli find: the discs that hold a study according to the database,
// and when each of them was last checked.
#include <map>
#include <optional>
#include <ostream>

#include "app/check_log.hpp"
#include "app/error.hpp"
#include "app/program/audit.hpp"
#include "app/program/audit_support.hpp"

namespace velunor {

namespace {

constexpr const char* kUsage = "usage: velunor-cli find STUDY\n";

void Help(std::ostream& out) {
    out << kUsage
        << "\n"
           "Names the discs that hold a study according to the database, and the date\n"
           "and result of each disc's last check (Logs/Check.log). STUDY is a Study\n"
           "Instance UID or a study folder (StudyDirectory1).\n"
           "\n"
           "Exit status: 0 the study was found; 1 no study has that UID or folder;\n"
           "2 the database could not be reached, or the command line was wrong.\n";
}

}  // namespace

int FindCommand(const std::vector<std::string>& args, CommandEnv& env) {
    if (args.size() == 1 && audit::IsHelp(args[0])) {
        Help(env.out);
        return kExitGood;
    }
    if (args.size() != 1 || args[0].empty()) {
        env.err << "velunor-cli find: name one study\n" << kUsage;
        return kExitCannotRun;
    }
    const std::string& study = args[0];
    struct Row {
        std::string uid, folder;
        std::optional<std::string> discs;
    };
    std::vector<Row> rows;
    std::map<std::string, DiscCheck> checks;
    try {
        const Settings settings = audit::LoadArchiveSettings(env.programDir);
        auto db = audit::OpenArchiveDatabase(settings);
        auto rs = db->Query("SELECT StudyUID, StudyDirectory1, StudyDirectory2 FROM tblStudies "
                            "WHERE StudyUID = ? OR StudyDirectory1 = ? ORDER BY StudyID",
                            {study, study});
        while (rs->Next())
            rows.push_back({rs->Field("StudyUID").value_or(""), rs->Field("StudyDirectory1").value_or(""),
                            rs->Field("StudyDirectory2")});
        checks = LastDiscChecks(env.programDir / "Logs");
    } catch (const Error& e) {
        env.err << "velunor-cli find: " << e.what() << "\n";
        return kExitCannotRun;
    }
    if (rows.empty()) {
        env.out << "No study has the Study UID or folder \"" << study << "\"\n";
        return kExitAttention;
    }
    for (const Row& r : rows) {
        env.out << "Study " << r.uid << ", folder " << r.folder << ": " << audit::DescribeDiscRecord(r.discs) << "\n";
        for (std::int64_t disc : audit::ParseDiscRecord(r.discs).discs) {
            const std::string label = audit::DiscLabel(disc);
            const auto c = checks.find(label);
            env.out << "  " << label << ": ";
            if (c == checks.end()) env.out << "never checked\n";
            else env.out << "last checked " << FormatLocalTime(c->second.time) << ", " << c->second.result << "\n";
        }
    }
    return kExitGood;
}

}  // namespace velunor
