// Whole archive runs on the real components: a generated archive, SQLite or
// PostgreSQL, DCMTK, libburn writing into an image folder, and the run
// controller driven by its timers, by the window's or by velunor-cli.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <cstdio>
#include <fstream>
#include <set>

#include "app/program/program.hpp"
#include "app/program/qt_window.hpp"
#include "tests/support/archive_fixture.hpp"
#include "tests/support/recorded_events.hpp"
#include "tests/support/run_driver.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ArchiveKind;
using test::Capture;
using test::Quote;
using test::ReadAll;
using test::WriteAll;

// An archive of generated studies in a test database: the first two on
// disc 3 alone, the rest on no disc.
struct ArchiveRun : test::ArchiveFixture {
    explicit ArchiveRun(ArchiveKind kind, int studies = 5, int unreadable = 0)
        : ArchiveFixture(kind, Options(studies, unreadable)) {
        WriteAll(prog / "LastMediaNr", " 3 \r\n");
    }
    static archive::Options Options(int studies, int unreadable) {
        archive::Options o;
        o.studies = studies;
        o.filesPerStudy = 2;
        o.fileBytes = 8192;
        o.zipPercent = 20;
        o.unreadable = unreadable;
        o.carryOver = 2;
        o.lastDisc = 3;
        return o;
    }

    void WriteIni(const std::string& extra, std::string server = "") {
        ArchiveFixture::WriteIni("MSGDVDName=Label it;DVD {NAME}\nMSGDVDInsert=Insert a disc\n" + extra, server);
    }

    std::string Value(int studyId) { return db.StudyDirectory2(studyId).value_or("<NULL>"); }
};

struct Runner : test::RunDriver {
    Runner(ArchiveRun& a, const std::string& args, Phases phases = ProgramPhases())
        : RunDriver(a.prog, a.dir / "Velunor.ready", args, std::move(phases)) {}
};

// The study UIDs an independent reader finds in folder `folder` of an image:
// xorriso extracts it, dcmdump reads every file.
std::set<std::string> StudiesOnImage(const fs::path& iso, const std::string& folder, const fs::path& scratch) {
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    Capture("xorriso -osirrox on -indev " + Quote(iso) + " -extract /" + folder + " " + Quote(scratch) +
            " >/dev/null 2>&1; chmod -R u+w " + Quote(scratch));
    std::string dump = Capture("find " + Quote(scratch) +
                               " -maxdepth 1 -type f -print0 | xargs -0 -r dcmdump -q +P StudyInstanceUID 2>/dev/null");
    std::set<std::string> uids;
    for (std::size_t pos = 0; (pos = dump.find('[', pos)) != std::string::npos;) {
        auto end = dump.find(']', pos);
        uids.insert(dump.substr(pos + 1, end - pos - 1));
        pos = end;
    }
    return uids;
}

// The staging tree holds no file (its folders may stay).
void ExpectStagingEmpty(const fs::path& staging) {
    for (const char* folder : {"DVD", "DVDTemp", "Unzip"})
        for (const auto& e : fs::recursive_directory_iterator(staging / folder))
            EXPECT_TRUE(e.is_directory()) << e.path();
}

class WholeRun : public ::testing::TestWithParam<ArchiveKind> {};

// Unattended runs: disc 4 holds disc 3's studies in 1/ and new ones in 2/,
// disc 5 carries disc 4's new studies over; with nothing new there is no
// disc, and the German notice only when Archive is not set.
TEST_P(WholeRun, ConsecutiveUnattendedDiscsRecordExactlyWhatTheirImagesHold) {
    ArchiveRun a(GetParam(), 6);
    a.db.db().Execute("UPDATE tblStudies SET StudyDirectory2 = 'later' WHERE StudyID > 4");
    a.WriteIni("AuthBurn=1\n");
    Runner r(a, "AUTO");
    r.events.answers = {Answer::Yes};  // the burn authorisation
    for (int i = 0; i < 3 && !r.c->Active(); ++i) r.c->TimerWriteTick();
    ASSERT_TRUE(r.c->Active()) << ReadAll(a.prog / "Logs" / "Error.log");
    r.Finish();
    ASSERT_EQ(r.events.asked.size(), 2u) << ::testing::PrintToString(r.events.Texts());
    EXPECT_NE(r.events.asked[0].text.find("Möchten Sie den Brennvorgang starten?"), std::string::npos);
    EXPECT_EQ(r.events.asked[1].text, "Label it\r\nDVD 4\r\n\r\n4 studies recorded, 0 failed.");
    for (RunPhase phase : kRunPhases) EXPECT_EQ(r.events.Progress(phase), kProgressMax);
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 4 \r\n");

    a.db.db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL WHERE StudyDirectory2 = 'later'");
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 5 \r\n");
    EXPECT_EQ(ReadAll(a.prog / "Logs" / "Error.log"), "");
    const auto studies = [&](int first) {   // studies `first` and `first + 1`
        return std::set<std::string>{a.generated.studies[first - 1].studyUid, a.generated.studies[first].studyUid};
    };
    const fs::path read = a.dir / "read";
    EXPECT_EQ(StudiesOnImage(a.Iso(4), "1", read), studies(1));
    EXPECT_EQ(StudiesOnImage(a.Iso(4), "2", read), studies(3));
    EXPECT_EQ(StudiesOnImage(a.Iso(5), "1", read), studies(3));
    EXPECT_EQ(StudiesOnImage(a.Iso(5), "2", read), studies(5));
    const char* values[] = {"DVD 3|DVD 4", "DVD 3|DVD 4", "DVD 4|DVD 5", "DVD 4|DVD 5", "DVD 5", "DVD 5"};
    for (int id = 1; id <= 6; ++id) EXPECT_EQ(a.Value(id), values[id - 1]) << id;
    ExpectStagingEmpty(a.dir / "staging");

    for (int archive : {1, 0}) {
        r.shell.settings.Archive = archive;
        r.events.asked.clear();
        r.RunOnce();
        EXPECT_TRUE(r.events.Last().nothingToWrite);
        EXPECT_EQ(r.events.Texts(), archive ? std::vector<std::string>{}
                                            : std::vector<std::string>{"Keine neuen Untersuchungen gefunden!"});
    }
    EXPECT_FALSE(fs::exists(a.Iso(6)));
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 5 \r\n");
}

// A byte of a file changes on the medium after it was written: the read-back
// finds it, nothing of the disc is recorded, its number stays, and the image
// is set aside so that the next run writes the disc again.
TEST_P(WholeRun, ADiscThatDoesNotReadBackIsNeverRecordedAndIsWrittenAgain) {
    ArchiveRun a(GetParam(), 3);
    a.db.db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL");
    a.WriteIni("AuthBurn=1\nArchive=1\n");
    Phases phases = ProgramPhases();
    bool damage = true;
    phases.DVDVerify = [&, verify = phases.DVDVerify](velunor::Run& run, const StagedDisc& disc) {
        // The last byte of the last file of 2/: pixel data.
        if (damage) {
            EXPECT_NE(test::DamageLastFileOf2(a.dir / "iso" / (disc.Label() + ".iso")).path, "");
        }
        return verify(run, disc);
    };
    Runner r(a, "", phases);
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    EXPECT_FALSE(r.events.Last().discWritten);
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(a.Value(id), "<NULL>");
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 3 \r\n");
    EXPECT_TRUE(fs::exists(a.dir / "iso" / "DVD 4.iso.unverified"));

    damage = false;
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    EXPECT_TRUE(r.events.Last().discRecorded);
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(a.Value(id), "DVD 4");
    EXPECT_EQ(StudiesOnImage(a.Iso(4), "2", a.dir / "read").size(), 3u);
}

TEST_P(WholeRun, DatabaseGoneBeforeTheUpdateKeepsTheImageUnrecordedAndTheNextRunRecordsIt) {
    ArchiveRun a(GetParam(), 3);
    fs::remove(a.prog / "LastMediaNr");
    a.db.db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL");
    a.WriteIni("AuthBurn=1\nArchive=1\n");
    Phases phases = ProgramPhases();
    bool gone = true;
    phases.DBUpdate = [&a, &gone, update = phases.DBUpdate](velunor::Run& run, const VerifiedDisc& disc) {
        Settings& s = run.settings();
        const Settings kept = s;
        if (gone) {   // the server went away after verification
            s.Server = s.ServerType == "SQLite3" ? (a.dir / "gone.db").string() : "127.0.0.1;port=1";
            s.ConnectionString = BuildConnectionString(s.ServerType, s.Server);
        }
        const Recorded recorded = update(run, disc);
        s = kept;
        return recorded;
    };
    // One process for both runs, as the unattended window runs for months.
    Runner r(a, "", phases);
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    // The image stays in the image folder: the disc keeps its number.
    EXPECT_EQ(r.events.Last().failedUpdates, 0);
    EXPECT_FALSE(r.events.Last().discRecorded);
    EXPECT_TRUE(fs::exists(a.Iso(1)));
    EXPECT_FALSE(fs::exists(a.prog / "LastMediaNr"));
    EXPECT_NE(ReadAll(a.prog / "Logs" / "Error.log").find("DVD 1 is not recorded: the database cannot be reached"),
              std::string::npos);
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(a.Value(id), "<NULL>");
    ExpectStagingEmpty(a.dir / "staging");

    // The next run takes the image over, verifies it again and records it.
    gone = false;
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    EXPECT_TRUE(r.events.Last().discRecorded);
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(a.Value(id), "DVD 1");
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 1 \r\n");
    EXPECT_FALSE(fs::exists(a.Iso(2)));
}

TEST_P(WholeRun, AStudyWithAnUnreadableFileIsArchivedWithItsReadableFilesAndNamed) {
    ArchiveRun a(GetParam(), 6, 1);
    a.db.db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL");
    a.WriteIni("AuthBurn=1\n");
    Runner r(a, "");
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    const auto onImage = StudiesOnImage(a.Iso(4), "2", a.dir / "read");
    EXPECT_EQ(onImage.size(), 6u);
    int bad = 0;
    for (const auto& s : a.generated.studies) {
        EXPECT_EQ(a.Value(s.studyId), "DVD 4") << s.studyId;
        EXPECT_EQ(onImage.count(s.studyUid), 1u) << s.studyId;
        if (s.readable) continue;
        ++bad;
        const std::string folder = s.folder.string() + "/";
        EXPECT_NE(ReadAll(a.prog / "Logs" / "FileLog.log").find("2-1 " + folder), std::string::npos);
        EXPECT_NE(ReadAll(a.prog / "Logs" / "Error.log").find(folder + " is archived without 1 unreadable file(s)"),
                  std::string::npos);
        EXPECT_EQ(r.events.Last().partlyUnreadable, std::vector<std::string>{folder});
        EXPECT_NE(r.events.asked.back().text.find("1 studies archived with unreadable files"), std::string::npos);
    }
    EXPECT_EQ(bad, 1);
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 4 \r\n");
}

INSTANTIATE_TEST_SUITE_P(Backends, WholeRun, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

// The desktop window under the offscreen platform: its own timers find the
// drive and, after a click on Start, drive the burn.
TEST(WindowRun, StartClickWritesVerifiesRecordsAndShowsTheCompletionMessage) {
    int argc = 1;
    char name[] = "run_test", *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    ArchiveRun a(ArchiveKind::Sqlite, 3);
    a.db.db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL");
    a.WriteIni("AuthBurn=1\n");
    Settings settings;
    LoadConfiguration(settings, a.prog);
    test::RecordedEvents asked;
    test::EventsPrompter prompter{asked};
    asked.answers = {Answer::Yes};
    Timing timing;
    timing.timerDVD = std::chrono::milliseconds(20);
    timing.detectDelay = std::chrono::milliseconds(1);
    timing.noticeStep = std::chrono::milliseconds(5);
    fVelunor window(a.prog, settings, "", prompter, timing, MakeProgramWriter, ProgramPhases());
    window.shell().log.markerPath = a.dir / "Velunor.ready";
    window.Start();

    auto* start = window.findChild<QPushButton*>("cmdStarten");
    QElapsedTimer clock;
    clock.start();
    while (!start->isEnabled() && clock.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(start->isEnabled()) << ReadAll(a.prog / "Logs" / "Error.log");
    EXPECT_NE(window.findChild<QLabel*>("lblDrive")->text().toStdString().find("KBs]"), std::string::npos);
    start->click();
    while (window.controller().Active() && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_FALSE(window.controller().Active());

    EXPECT_EQ(ReadAll(a.prog / "Logs" / "Error.log"), "");
    ASSERT_EQ(asked.asked.size(), 2u) << ::testing::PrintToString(asked.Texts());
    EXPECT_EQ(asked.asked[1].text, "Label it\r\nDVD 4\r\n\r\n3 studies recorded, 0 failed.");
    EXPECT_EQ(asked.asked[1].icon, Icon::Information);
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(a.Value(id), "DVD 4");
    for (const char* bar : {"pbSammeln", "pbDicomDir", "pbDisk", "pbVer", "pbDB"})
        EXPECT_GE(window.findChild<QProgressBar*>(bar)->value(), window.findChild<QProgressBar*>(bar)->maximum() - 1)
            << bar;
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(window.findChild<QPushButton*>("cmdCancel")->isEnabled());
}

// The headless runner as an archive server's timer would start it.
struct Cli : ::testing::Test {
    ArchiveRun a{ArchiveKind::Sqlite};
    fs::path exe = a.prog / "velunor-cli";
    Cli() { fs::copy_file(VELUNOR_CLI_PATH, exe); }
    std::string Run(const std::string& args, int& status) {
        std::string out = Capture(Quote(exe) + " " + args + " </dev/null 2>&1; echo \"exit=$?\"");
        auto at = out.rfind("exit=");
        status = at == std::string::npos ? -1 : std::stoi(out.substr(at + 5));
        return out.substr(0, at);
    }
};

// One disc, said on the last line; the database account comes from
// velunor.credentials only while its owner alone can read it, and its
// password shows nowhere, not even with --debug.
TEST_F(Cli, RunsOneDiscSaysSoOnItsLastLineAndNeverShowsThePassword) {
    a.WriteIni("AuthBurn=1\n");
    const auto file = a.prog / "velunor.credentials";
    WriteAll(file, "uid=archivar\npwd=Geh3im;Kennwort\ndatabase=ARCDB2\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    int status = -1;
    std::string out = Run("run --yes --debug --notice-ms 0", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Velunor: Daten für Archiv-DVD zusammengestellt. / Gesatmgröße: 0 MB /  / Möchten Sie"),
              std::string::npos) << out;
    EXPECT_EQ(out.substr(out.rfind("Velunor: ", out.size() - 2)),
              "Velunor: DVD 4 written and recorded: 2 carry-over studies, 3 new studies\n");
    EXPECT_EQ(a.Value(3), "DVD 4");
    std::string everything = out;
    for (const auto& f : fs::directory_iterator(a.prog / "Logs")) everything += ReadAll(f.path());
    EXPECT_EQ(everything.find("Geh3im"), std::string::npos) << everything;

    fs::permissions(file, fs::perms::others_read, fs::perm_options::add);
    out = Run("run --yes --debug", status);
    EXPECT_EQ(status, 2) << out;
    EXPECT_NE(out.find(file.string() + " can be read or written by others (mode 0604)"), std::string::npos) << out;
    EXPECT_EQ((out + ReadAll(a.prog / "Logs" / "Error.log")).find("Geh3im"), std::string::npos) << out;
}

// Two runs started together on one program folder, both holding the lock
// through a slow tray notice: one writes the disc, the other says why it
// did not run and touches nothing.
TEST_F(Cli, TwoRunsStartedTogetherWriteOneDisc) {
    a.WriteIni("AuthBurn=1\n");
    std::string outs[2];
    const auto out = [&](int k) { return Quote(a.dir / ("run" + std::to_string(k) + ".out")); };
    const std::string one = Quote(exe) + " run --yes --notice-ms 1500 </dev/null >";
    Capture("(" + one + out(0) + " 2>&1; echo \"exit=$?\" >>" + out(0) + ") & sleep 0.5; " + one + out(1) +
            " 2>&1; echo \"exit=$?\" >>" + out(1) + "; wait");
    for (int k = 0; k < 2; ++k) outs[k] = ReadAll(a.dir / ("run" + std::to_string(k) + ".out"));
    const int winner = outs[0].find("written and recorded") != std::string::npos ? 0 : 1;
    const std::string& refused = outs[1 - winner];
    EXPECT_NE(outs[winner].find("Velunor: DVD 4 written and recorded"), std::string::npos) << outs[winner];
    EXPECT_NE(outs[winner].find("exit=0"), std::string::npos) << outs[winner];
    EXPECT_NE(refused.find("Velunor: no disc written: another run is active (process "), std::string::npos) << refused;
    EXPECT_NE(refused.find("exit=2"), std::string::npos) << refused;
    EXPECT_FALSE(fs::exists(a.Iso(5)));
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 4 \r\n");
}

// Runs that cannot ask, number or reach anything write no disc, touch no
// LastMediaNr and say why; command-line errors are named with the usage.
TEST_F(Cli, NoAnswersNoDiscAndClearReasonsWhenItCannotStart) {
    a.WriteIni("AuthBurn=1\n");
    const fs::path number = a.prog / "LastMediaNr";
    const struct {
        std::function<void()> setup;
        std::string args;
        int status;
        std::string named;
    } cases[] = {
        {{}, "run", 1, "Velunor: no disc written: a question found no terminal to ask (run with --yes or --no)"},
        {{}, "run --no", 0, ""},
        {[&] { WriteAll(number, " 2147483647 \r\n"); }, "run --yes", 2, "DVD 2147483648"},
        {[&] { WriteAll(number, "-1\r\n"); }, "run --yes", 2, number.string() + " holds -1"},
        {[&] { fs::remove(number), fs::create_directory(number); }, "run --yes", 2, number.string() + " is not a file"},
        {[&] { fs::remove(number), fs::remove(a.prog / "velunor.ini"); }, "run --yes", 2, "no database configured"},
        {[&] { a.WriteIni("Archive=1\n", (a.dir / "none.db").string()); }, "run --yes", 2, "database not reachable"},
    };
    int status = -1;
    std::string out;
    for (const auto& k : cases) {
        if (k.setup) k.setup();
        const std::string before = ReadAll(number);
        out = Run(k.args, status);
        EXPECT_EQ(status, k.status) << k.args << ": " << out;
        EXPECT_NE(out.find(k.named), std::string::npos) << out;
        EXPECT_TRUE(fs::is_empty(a.dir / "iso"));
        EXPECT_EQ(ReadAll(number), before);
    }
    // Said once, and in the error log for whoever watches the logs.
    EXPECT_EQ(out.find("database not reachable"), out.rfind("database not reachable")) << out;
    EXPECT_NE(ReadAll(a.prog / "Logs" / "Error.log").find("database not reachable"), std::string::npos);

    const std::pair<std::string, std::string> wrong[] = {
        {"run --notice-ms x", "--notice-ms x is not a number of milliseconds from 0 to 32767"},
        {"run --notice-ms 40000", "--notice-ms 40000 is not a number of milliseconds from 0 to 32767"},
        {"run --notice-ms", "--notice-ms needs a number"},
        {"run --yes --no", "--yes and --no exclude each other"},
        {"run --force", "unknown option \"--force\""},
        {"burn", "unknown command \"burn\""},
        {"", "no command given"}};
    for (const auto& [args, named] : wrong) {
        out = Run(args, status);
        EXPECT_EQ(status, 2) << args;
        EXPECT_NE(out.find(named), std::string::npos) << args << ": " << out;
        EXPECT_NE(out.find("usage: velunor-cli run"), std::string::npos) << out;
    }
    for (const char* help : {"--help", "-h", "help"}) {
        out = Run(help, status);
        EXPECT_EQ(status, 0) << help;
        for (const char* item : {"--yes", "--no", "--debug", "--notice-ms", "--version", "Exit status"})
            EXPECT_NE(out.find(item), std::string::npos) << help << " lacks " << item;
    }
    out = Run("--version", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.rfind("velunor-cli ", 0), 0u) << out;
}

}  // namespace
}  // namespace velunor
