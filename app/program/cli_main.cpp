// velunor-cli: the headless runner for archive servers without a display.
//
//   velunor-cli run [--yes|--no] [--debug] [--notice-ms N]
//   velunor-cli check [--image FILE | --device PATH] [DVD n]
//   velunor-cli find STUDY
//   velunor-cli report [--json] [--older-than DAYS]
//   velunor-cli label [--image FILE | --device PATH] DVD n (--pdf FILE | --png FILE)...
//   velunor-cli --help | -h | help
//   velunor-cli --version
//
// check, find, report and label (app/program/audit.hpp) read the disc and the
// database and change neither; the rest of this comment is about run.
//
// Does one archive run now with the same program directory, core, phases
// and logs as the window: drive detection, collection, DICOMDIR, burn,
// verification, database update. Message boxes become lines on standard
// error prefixed "Velunor: "; questions are answered by --yes/--no, asked on
// the terminal when standard input is one, and answered No otherwise.
// Every error the run logs is printed once; the last line says what the run
// did. Exit status: 0 a disc was written and recorded in full, or there was
// nothing to write (or the operator said No); 1 a phase failed, a disc was
// written but not (or not fully) recorded, or a question found nobody to
// answer it; 2 the run could not start (no database, no drive, no DICOM
// dictionary, another run active, an unusable LastMediaNr).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <thread>
#include <vector>

#include "app/error.hpp"
#include "app/program/program.hpp"
#include "app/program/audit.hpp"
#include "bookkeeping/database.hpp"

namespace velunor {
namespace {

struct Options {
    std::optional<Answer> answer;  // --yes / --no
    bool debug = false;
    std::optional<std::chrono::milliseconds> noticeStep;  // --notice-ms
};

constexpr const char* kUsage = "usage: velunor-cli run [--yes|--no] [--debug] [--notice-ms N]\n"
                               "       velunor-cli check [--image FILE | --device PATH] [DVD n]\n"
                               "       velunor-cli find STUDY\n"
                               "       velunor-cli report [--json] [--older-than DAYS]\n"
                               "       velunor-cli label [--image FILE | --device PATH] DVD n (--pdf FILE | --png FILE)...\n"
                               "       velunor-cli --help | --version\n";

constexpr int kMaxNoticeMs = 32767;

void Help() {
    std::cout << kUsage
              << "\n"
                 "run writes the archive's next disc now: selects the studies, stages them, writes\n"
                 "the DICOMDIR and the disc (or the image), reads it back and records it, with the\n"
                 "settings, logs and disc number of the program folder (see velunor-cli(1)).\n"
                 "check, find and report look after the discs written: they read the discs and\n"
                 "the database and change neither.\n"
                 "\n"
                 "Commands:\n"
                 "  run            one archive run\n"
                 "  check          read a written disc again against its checksums and the database\n"
                 "  find           the discs that hold a study, and when each was last checked\n"
                 "  report         studies per state, discs to check, what needs an operator\n"
                 "  label          a written disc's printable label (disc face, case insert) as PDF or PNG\n"
                 "  help, -h, --help  this text; velunor-cli COMMAND --help for a command's own\n"
                 "  --version      the version\n"
                 "\n"
                 "Options of run:\n"
                 "  --yes          answer every question Yes\n"
                 "  --no           answer every question No\n"
                 "  --debug        also write Logs/Debug.log\n"
                 "  --notice-ms N  after writing, wait N ms (0 to 32767, default 7500) before closing\n"
                 "                 the tray and N ms more before verifying; an image folder has no tray\n"
                 "\n"
                 "Without --yes or --no a question is asked on the terminal; with no terminal the\n"
                 "run ends without a disc.\n"
                 "\n"
                 "Exit status of run: 0 a disc was written and recorded, or there was nothing to\n"
                 "write; 1 a phase failed or a disc was not fully recorded (see Logs/Error.log);\n"
                 "2 the run could not start, or the command line was wrong. check, find,\n"
                 "report and label: see their --help.\n";
}

// A command-line error: named, with the usage, status 2.
int UsageError(const std::string& what) {
    std::cerr << "velunor-cli: " << what << "\n" << kUsage;
    return 2;
}

// One line per message; CR LF line breaks of the settings' texts become
// " / ", other control characters are escaped as in the logs.
std::string OneLine(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += " / ";
            ++i;
        } else if (text[i] == '\n' || text[i] == '\r') {
            out += " / ";
        } else {
            out += text[i];
        }
    }
    return OneLogLine(out);
}

// The run's events as lines on standard error. Messages and questions:
// "Velunor: <text>"; progress: one updating line per phase on a terminal,
// one line per phase otherwise.
struct ConsoleEvents : RunEvents {
    std::optional<Answer> fixed;   // --yes / --no
    bool interactive = false;      // standard input is a terminal
    bool terminal = false;         // standard error is a terminal
    bool unanswered = false;       // a question was answered No for want of a terminal
    bool driveReady = false;
    std::optional<RunOutcome> outcome;  // set when the run ended
    std::string printed;           // the texts printed so far

    RunPhase phase = RunPhase::Collect;
    bool phaseShown = false;
    std::string status;
    bool lineOpen = false;
    int lastPercent = -1;
    int value = 0;

    void Say(const std::string& text) {
        EndLine();
        std::cerr << "Velunor: " << OneLine(text) << "\n";
        printed += text + "\n";
    }
    void EndLine() {
        if (lineOpen) std::cerr << "\n";
        lineOpen = false;
    }
    void ShowLine(bool force) {
        if (!terminal || !phaseShown) return;
        const int percent = static_cast<int>(100.0 * value / kProgressMax + 0.5);
        if (!force && percent == lastPercent) return;
        std::cerr << "\r" << PhaseCaption(phase) << ": " << percent << "% " << OneLine(status) << "\x1b[K"
                  << std::flush;
        lineOpen = true;
        lastPercent = percent;
    }

    void RunStarted() override {}
    void PhaseStarted(RunPhase p) override {
        EndLine();
        phase = p;
        phaseShown = true;
        value = 0;
        lastPercent = -1;
        if (!terminal) std::cerr << "Velunor: " << PhaseCaption(p) << "\n";
    }
    void Progress(RunPhase p, int v) override {
        if (p != phase) return;
        value = v;
        ShowLine(false);
    }
    void Status(const std::string& text) override {
        status = text;
        ShowLine(true);
    }
    void CancelAllowed(bool) override {}
    Answer Ask(const Question& q) override {
        Say(q.text);
        if (q.buttons != Buttons::YesNo) return Answer::Ok;
        if (fixed) {
            std::cerr << "Velunor: answered " << (*fixed == Answer::Yes ? "Yes" : "No") << "\n";
            return *fixed;
        }
        if (!interactive) {
            std::cerr << "Velunor: no terminal to ask, answered No\n";
            unanswered = true;
            return Answer::No;
        }
        // Bounded: a closed or silent input ends the question with No.
        for (int attempt = 0; attempt < 5; ++attempt) {
            std::cerr << "Velunor: Yes or No? [y/n] " << std::flush;
            std::string line;
            if (!std::getline(std::cin, line)) return Answer::No;
            if (line == "y" || line == "Y" || line == "yes" || line == "Yes") return Answer::Yes;
            if (line == "n" || line == "N" || line == "no" || line == "No") return Answer::No;
        }
        return Answer::No;
    }
    void Notice(const std::string&, const std::string&, std::chrono::milliseconds interval,
                const std::function<bool()>& onTick) override {
        // A notice closes itself after a few ticks; the bound keeps a faulty
        // callback from holding the run.
        for (int tick = 0; tick < 10000; ++tick) {
            std::this_thread::sleep_for(interval);
            if (!onTick()) return;
        }
    }
    void Drive(const std::string&, bool ready) override { driveReady = ready; }
    void Yield() override {}  // the burn's events come with the TimerDVD ticks of RunOnce
    void RunEnded(const RunOutcome& o) override { outcome = o; }
};

// The last line and the exit status, from what the run did.
int Outcome(const ConsoleEvents& events) {
    auto say = [](const std::string& text) { std::cerr << "Velunor: " << text << "\n"; };
    if (!events.outcome) {
        say("the burn did not end in time; no disc recorded");
        return 1;
    }
    const RunOutcome& sum = *events.outcome;
    // The reason, unless it was printed just above as an error.
    auto reason = [&](const std::string& fallback) {
        if (sum.why.empty() || events.printed.find(sum.why) != std::string::npos) return fallback;
        return sum.why;
    };
    auto notes = [&] {
        std::string out;
        if (!sum.partlyUnreadable.empty())
            out += "; " + std::to_string(sum.partlyUnreadable.size()) + " studies archived with unreadable files";
        if (sum.oversizedStudies > 0)
            out += "; " + std::to_string(sum.oversizedStudies) + " studies larger than one disc not archived";
        return out;
    };
    if (sum.couldNotStart) {
        say("no disc written: " + reason("the run could not start"));
        return 2;
    }
    if (sum.discWritten) {
        const std::string label = "DVD " + std::to_string(sum.discNumber);
        const std::string counts = std::to_string(sum.studies1.size()) + " carry-over studies, " +
                                   std::to_string(sum.studies2.size()) + " new studies";
        if (!sum.discRecorded) {
            say(label + " written but not recorded (see Logs/Error.log); the next run takes it over and records it");
            return 1;
        }
        if (sum.recordedStudies == 0 && sum.failedUpdates > 0) {
            say(label + " written but not recorded: " + std::to_string(sum.failedUpdates) + " updates failed" +
                (sum.journalKept ? "; they wait in the record journal for the next run" : "") +
                " (see Logs/Error.log)");
            return 1;
        }
        if (sum.failedUpdates > 0) {
            say(label + " written, partly recorded: " + std::to_string(sum.recordedStudies) + " studies recorded, " +
                std::to_string(sum.failedUpdates) + " failed" +
                (sum.journalKept ? " (kept in the record journal for the next run)" : "") +
                "; see Logs/Error.log");
            return 1;
        }
        if (!sum.numberStored) {
            say(label + " written and recorded, but LastMediaNr could not be stored: set it to " +
                std::to_string(sum.discNumber) + " by hand before the next run");
            return 1;
        }
        say(label + " written and recorded: " + counts + notes());
        return 0;
    }
    if (sum.nothingToWrite) {
        if (events.unanswered) {
            say("no disc written: a question found no terminal to ask (run with --yes or --no)");
            return 1;
        }
        say("no disc written: " + (sum.why.empty() ? std::string("nothing to write") : sum.why) + notes());
        return 0;
    }
    say("no disc written: " + reason("a phase failed, see Logs/Error.log"));
    return 1;
}

int RunOnce(const Options& options) {
    const std::filesystem::path programDir = ProgramDirectory();
    ConsoleEvents events;
    events.fixed = options.answer;
    events.interactive = ::isatty(STDIN_FILENO) != 0;
    events.terminal = ::isatty(STDERR_FILENO) != 0;

    Shell shell(programDir, events);
    // Errors asked as messages reach standard error through Ask; the others
    // are printed here, so each appears once.
    shell.onUnshownError = [&](const std::string& message) { events.Say(message); };
    // A run that cannot start says why in Logs/Error.log too, for whoever
    // watches the logs of a timer.
    auto cannotStart = [&](const std::string& why) {
        shell.LogError(0, why, "velunor-cli", 0, true);
        std::cerr << "Velunor: no disc written: the run could not start\n";
        return 2;
    };
    if (options.noticeStep) shell.timing.noticeStep = *options.noticeStep;
    LoadConfiguration(shell.settings, programDir);
    if (std::string problem = StartupProblem(); !problem.empty()) return cannotStart(problem);
    if (!shell.settings.CredentialsProblem.empty()) return cannotStart(shell.settings.CredentialsProblem);
    if (shell.settings.ServerType.empty())
        return cannotStart("no database configured (ServerType in " + shell.settings.IniFilePath.string() + ")");
    try {
        OpenDatabase(shell.settings.ServerType, shell.settings.Server, shell.settings.ConnectionString, 30);
    } catch (const Error& e) {
        return cannotStart(std::string("database not reachable: ") + e.what());
    }

    std::unique_ptr<DiscWriter> writer = MakeProgramWriter(shell.settings);
    RunController controller(shell, *writer, ProgramPhases(), options.debug ? "debug" : "");
    controller.TimerDVDTick();  // drive detection
    if (!controller.CanStart()) return cannotStart("no usable drive");

    controller.StartClicked();
    // The burn runs in the writer's threads; poll it as the window's timer would.
    auto lastReload = std::chrono::steady_clock::now();
    const auto limit = std::chrono::hours(48) / shell.timing.timerDVD;
    for (long tick = 0; controller.Active() && tick < limit; ++tick) {
        std::this_thread::sleep_for(shell.timing.timerDVD);
        controller.TimerDVDTick();
        if (std::chrono::steady_clock::now() - lastReload >= shell.timing.timerReady) {
            controller.TimerReadyTick();
            lastReload = std::chrono::steady_clock::now();
        }
    }
    events.EndLine();
    return Outcome(events);
}

// velunor-cli run [--yes|--no] [--debug] [--notice-ms N]
int RunCommand(const std::vector<std::string>& args) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--yes" || a == "--no") {
            const Answer answer = a == "--yes" ? Answer::Yes : Answer::No;
            if (options.answer && *options.answer != answer) return UsageError("--yes and --no exclude each other");
            options.answer = answer;
        } else if (a == "--debug") {
            options.debug = true;
        } else if (a == "--notice-ms") {
            if (i + 1 >= args.size()) return UsageError("--notice-ms needs a number of milliseconds (0 to 32767)");
            const std::string& value = args[++i];
            const auto n = ParseInt16(value);
            if (!n || *n < 0)
                return UsageError("--notice-ms " + value + " is not a number of milliseconds from 0 to " +
                                  std::to_string(kMaxNoticeMs));
            options.noticeStep = std::chrono::milliseconds(*n);
        } else {
            return UsageError("unknown option \"" + a + "\"");
        }
    }
    try {
        return RunOnce(options);
    } catch (const std::exception& e) {
        std::cerr << "Velunor: " << e.what() << "\nVelunor: no disc written\n";
        return 1;
    }
}

// The commands that read the discs and the database of the program folder.
template <int (*Command)(const std::vector<std::string>&, CommandEnv&)>
int AuditCommand(const std::vector<std::string>& args) {
    CommandEnv env{ProgramDirectory(), std::cout, std::cerr};
    try {
        return Command(args, env);
    } catch (const std::exception& e) {
        std::cerr << "velunor-cli: " << e.what() << "\n";
        return kExitCannotRun;
    }
}

struct CommandEntry {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
};

constexpr CommandEntry kCommands[] = {
    {"run", RunCommand},
    {"check", AuditCommand<CheckCommand>},
    {"find", AuditCommand<FindCommand>},
    {"report", AuditCommand<ReportCommand>},
    {"label", AuditCommand<LabelCommand>},
};

}  // namespace
}  // namespace velunor

int main(int argc, char** argv) {
    using namespace velunor;
    if (argc < 2) return UsageError("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        Help();
        return 0;
    }
    if (command == "--version") {
        std::cout << "velunor-cli " << ProgramVersion() << "\n";
        return 0;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const CommandEntry& c : kCommands)
        if (command == c.name) return c.run(args);
    return UsageError("unknown command \"" + command + "\"");
}
