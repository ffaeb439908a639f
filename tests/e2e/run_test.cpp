// Whole archive runs on the real components: a generated archive, SQLite or
// PostgreSQL, DCMTK, libburn writing into an image folder, and the run
// controller driven by its timers as the window drives it.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <cstdio>
#include <thread>

#include "app/program/program.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/run_driver.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor {
namespace {

using test::ArchiveKind;
using test::ReadAll;
using test::WriteAll;
using test::Capture;
using test::Quote;

// An archive of generated studies in a test database: the first two on
// disc 3 alone, the rest on no disc.
struct ArchiveRun {
    test::TempDir dir;
    std::unique_ptr<test::TestArchive> db;
    archive::Archive generated;
    std::filesystem::path prog = dir / "prog";

    explicit ArchiveRun(ArchiveKind kind, int studies = 5, int unreadable = 0) {
        db = std::make_unique<test::TestArchive>(kind, dir.path());
        archive::Options o;
        o.out = dir / "archive";
        o.studies = studies;
        o.filesPerStudy = 2;
        o.fileBytes = 8192;
        o.zipPercent = 20;
        o.unreadable = unreadable;
        o.carryOver = 2;
        o.lastDisc = 3;
        generated = archive::GenerateArchive(o);
        for (const auto& r : generated.roots) db->AddArchive(r.archiveId, r.unc, r.path);
        for (const auto& s : generated.studies)
            db->AddStudy(s.studyId, s.studyUid, s.directory1, s.directory2, s.archiveId);
        std::filesystem::create_directories(prog);
        std::filesystem::create_directories(dir / "iso");
        WriteAll(prog / "LastMediaNr", " 3 \r\n");
    }

    void WriteIni(const std::string& extra) { WriteIni(extra, db->server()); }
    void WriteIni(const std::string& extra, const std::string& server) {
        WriteAll(prog / "velunor.ini", "[CONFIG]\nServerType=" + db->serverType() + "\nServer=" + server +
                                           "\nTempPath=" + (dir / "staging").string() +
                                           "\nImageFolder=" + (dir / "iso").string() +
                                           "\nMSGDVDName=Label it;DVD {NAME}\nMSGDVDInsert=Insert a disc\n" + extra);
    }

    std::string Value(int studyId) { return db->StudyDirectory2(studyId).value_or("<NULL>"); }

    // What an independent reader finds in the image: file paths below / .
    std::string ImageListing(const std::string& label) {
        return Capture("xorriso -indev " + Quote(dir / "iso" / (label + ".iso")) + " -find / -type f 2>/dev/null");
    }
};

// The shared driver, with the marker in the run's folder.
struct Runner : test::RunDriver {
    Runner(ArchiveRun& a, const std::string& args, Phases phases = ProgramPhases())
        : RunDriver(a.prog, a.dir / "Velunor.ready", args, std::move(phases)) {}
};

// The study UIDs an independent reader finds in folder `folder` of an image:
// xorriso extracts it, dcmdump reads every file.
std::set<std::string> StudiesOnImage(const std::filesystem::path& iso, const std::string& folder,
                                     const std::filesystem::path& scratch) {
    std::filesystem::remove_all(scratch);
    std::filesystem::create_directories(scratch);
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
void ExpectStagingEmpty(const std::filesystem::path& staging) {
    for (const char* folder : {"DVD", "DVDTemp", "Unzip"})
        for (const auto& e : std::filesystem::recursive_directory_iterator(staging / folder))
            EXPECT_TRUE(e.is_directory()) << e.path();
}

class WholeRun : public ::testing::TestWithParam<ArchiveKind> {};

TEST_P(WholeRun, UnattendedRunWritesVerifiesAndRecordsExactlyWhatTheImageHolds) {
    ArchiveRun a(GetParam());
    a.WriteIni("AuthBurn=1\n");
    Runner r(a, "AUTO");
    r.events.answers = {Answer::Yes};  // the burn authorisation
    for (int i = 0; i < 3 && !r.c->Active(); ++i) r.c->TimerWriteTick();
    ASSERT_TRUE(r.c->Active()) << ReadAll(a.prog / "Logs" / "Error.log");
    r.Finish();
    EXPECT_EQ(ReadAll(a.prog / "Logs" / "Error.log"), "");

    // The question (asked as the unattended program asks), then the
    // completion message with the disc number.
    ASSERT_EQ(r.events.asked.size(), 2u) << ::testing::PrintToString(r.events.Texts());
    EXPECT_NE(r.events.asked[0].text.find("Möchten Sie den Brennvorgang starten?"), std::string::npos);
    EXPECT_EQ(r.events.asked[1].text, "Label it\r\nDVD 4\r\n\r\n5 studies recorded, 0 failed.");
    for (RunPhase phase : kRunPhases) EXPECT_EQ(r.events.Progress(phase), kProgressMax);

    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 4 \r\n");
    EXPECT_EQ(r.events.Last().studies1.size(), 2u);
    EXPECT_EQ(r.events.Last().studies2.size(), 3u);
    EXPECT_EQ(a.Value(1), "DVD 3|DVD 4");
    EXPECT_EQ(a.Value(2), "DVD 3|DVD 4");
    for (int id = 3; id <= 5; ++id) EXPECT_EQ(a.Value(id), "DVD 4") << id;

    // An independent reader finds the DICOMDIR and every study's files.
    EXPECT_NE(a.ImageListing("DVD 4").find("'/Dicomdir'"), std::string::npos);
    std::set<std::string> one = StudiesOnImage(a.dir / "iso" / "DVD 4.iso", "1", a.dir / "read");
    std::set<std::string> two = StudiesOnImage(a.dir / "iso" / "DVD 4.iso", "2", a.dir / "read");
    EXPECT_EQ(one, (std::set<std::string>{a.generated.studies[0].studyUid, a.generated.studies[1].studyUid}));
    EXPECT_EQ(two.size(), 3u);
    ExpectStagingEmpty(a.dir / "staging");
}

TEST_P(WholeRun, TwoConsecutiveDiscsRecordExactlyWhatTheirImagesHold) {
    ArchiveRun a(GetParam(), 6);
    WriteAll(a.prog / "LastMediaNr", "");
    a.db->db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL WHERE StudyID <= 2");
    a.db->db().Execute("UPDATE tblStudies SET StudyDirectory2 = 'later' WHERE StudyID > 4");
    a.WriteIni("AuthBurn=1\n");
    Runner r(a, "");
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    a.db->db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL WHERE StudyDirectory2 = 'later'");
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 2 \r\n");
    EXPECT_EQ(ReadAll(a.prog / "Logs" / "Error.log"), "");

    auto disc1 = StudiesOnImage(a.dir / "iso" / "DVD 1.iso", "2", a.dir / "read");
    auto disc2old = StudiesOnImage(a.dir / "iso" / "DVD 2.iso", "1", a.dir / "read");
    auto disc2new = StudiesOnImage(a.dir / "iso" / "DVD 2.iso", "2", a.dir / "read");
    EXPECT_TRUE(StudiesOnImage(a.dir / "iso" / "DVD 1.iso", "1", a.dir / "read").empty());
    EXPECT_EQ(disc1.size(), 4u);
    EXPECT_EQ(disc2old, disc1);
    EXPECT_EQ(disc2new.size(), 2u);
    for (const auto& s : a.generated.studies) {
        const std::string value = a.Value(s.studyId);
        if (disc1.count(s.studyUid)) EXPECT_EQ(value, "DVD 1|DVD 2") << s.studyId;
        else if (disc2new.count(s.studyUid)) EXPECT_EQ(value, "DVD 2") << s.studyId;
        else ADD_FAILURE() << "study " << s.studyId << " is on no image but recorded as " << value;
    }
    ExpectStagingEmpty(a.dir / "staging");
}

// A byte of a file changes on the medium after it was written: the read-back
// finds it, nothing of the disc is recorded, its number stays, and the image
// is set aside so that the next run writes the disc again.
TEST_P(WholeRun, ADiscThatDoesNotReadBackIsNeverRecordedAndIsWrittenAgain) {
    ArchiveRun a(GetParam(), 3);
    a.db->db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL");
    a.WriteIni("AuthBurn=1\nArchive=1\n");
    Phases phases = ProgramPhases();
    bool damage = true;
    phases.DVDVerify = [&, verify = phases.DVDVerify](velunor::Run& run, const StagedDisc& disc) {
        if (damage) {
            const auto iso = a.dir / "iso" / (disc.Label() + ".iso");
            // The last file of 2/: its last byte is pixel data.
            const std::string report =
                Capture("xorriso -indev " + Quote(iso) + " -find /2 -type f -exec report_lba -- 2>/dev/null");
            const auto at = report.rfind("File data lba:");
            EXPECT_NE(at, std::string::npos) << report;
            long long start = 0, blocks = 0, bytes = 0;
            std::sscanf(report.c_str() + at, "File data lba: %*d , %lld , %lld , %lld", &start, &blocks, &bytes);
            std::FILE* f = std::fopen(iso.c_str(), "r+b");
            std::fseek(f, static_cast<long>(start * 2048 + bytes - 1), SEEK_SET);
            const int c = std::fgetc(f);
            std::fseek(f, static_cast<long>(start * 2048 + bytes - 1), SEEK_SET);
            std::fputc(c ^ 0x5a, f);
            std::fclose(f);
        }
        return verify(run, disc);
    };
    Runner r(a, "", phases);
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    EXPECT_FALSE(r.events.Last().discWritten);
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(a.Value(id), "<NULL>");
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 3 \r\n");
    EXPECT_TRUE(std::filesystem::exists(a.dir / "iso" / "DVD 4.iso.unverified"));

    damage = false;
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    EXPECT_TRUE(r.events.Last().discRecorded);
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(a.Value(id), "DVD 4");
    EXPECT_EQ(StudiesOnImage(a.dir / "iso" / "DVD 4.iso", "2", a.dir / "read").size(), 3u);
}

TEST_P(WholeRun, DatabaseGoneBeforeTheUpdateKeepsTheImageUnrecordedAndTheNextRunRecordsIt) {
    ArchiveRun a(GetParam(), 3);
    std::filesystem::remove(a.prog / "LastMediaNr");
    a.db->db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL");
    a.WriteIni("AuthBurn=1\nArchive=1\n");
    Phases phases = ProgramPhases();
    bool gone = true;
    phases.DBUpdate = [&a, &gone, update = phases.DBUpdate](velunor::Run& run, const VerifiedDisc& disc) {
        if (!gone) return update(run, disc);
        // The server goes away after verification: the update's connection fails.
        std::string bad = run.settings().ServerType == "SQLite3" ? (a.dir / "gone.db").string() : "127.0.0.1;port=1";
        std::swap(run.settings().Server, bad);
        run.settings().ConnectionString = BuildConnectionString(run.settings().ServerType, run.settings().Server);
        const Recorded recorded = update(run, disc);
        std::swap(run.settings().Server, bad);
        run.settings().ConnectionString = BuildConnectionString(run.settings().ServerType, run.settings().Server);
        return recorded;
    };
    // One process for both runs, as the unattended window runs for months.
    Runner r(a, "", phases);
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    // Nothing could be recorded, and the image stays in the image folder:
    // the disc keeps its number.
    EXPECT_EQ(r.events.Last().failedUpdates, 0);
    EXPECT_FALSE(r.events.Last().discRecorded);
    EXPECT_TRUE(std::filesystem::exists(a.dir / "iso" / "DVD 1.iso"));
    EXPECT_FALSE(std::filesystem::exists(a.prog / "LastMediaNr"));
    EXPECT_NE(ReadAll(a.prog / "Logs" / "Error.log").find("DVD 1 is not recorded: the database cannot be reached"),
              std::string::npos);
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(a.Value(id), "<NULL>");
    ExpectStagingEmpty(a.dir / "staging");

    // The next run takes the image over, verifies it again and records it:
    // the studies are on disc 1, and no second image of that number exists.
    gone = false;
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    EXPECT_TRUE(r.events.Last().discRecorded);
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(a.Value(id), "DVD 1");
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 1 \r\n");
    EXPECT_FALSE(std::filesystem::exists(a.dir / "iso" / "DVD 2.iso"));
}

TEST_P(WholeRun, AStudyWithAnUnreadableFileIsArchivedWithItsReadableFilesAndNamed) {
    ArchiveRun a(GetParam(), 6, 1);
    a.db->db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL");
    a.WriteIni("AuthBurn=1\n");
    Runner r(a, "");
    r.events.answers = {Answer::Yes};
    r.RunOnce();
    int bad = 0;
    const auto onImage = StudiesOnImage(a.dir / "iso" / "DVD 4.iso", "2", a.dir / "read");
    EXPECT_EQ(onImage.size(), 6u);
    for (const auto& s : a.generated.studies) {
        EXPECT_EQ(a.Value(s.studyId), "DVD 4") << s.studyId;
        EXPECT_EQ(onImage.count(s.studyUid), 1u) << s.studyId;
        if (s.readable) continue;
        ++bad;
        EXPECT_NE(ReadAll(a.prog / "Logs" / "FileLog.log").find("2-1 " + s.folder.string() + "/"), std::string::npos);
        EXPECT_NE(ReadAll(a.prog / "Logs" / "Error.log").find(s.folder.string() + "/ is archived without 1 unreadable file(s)"),
                  std::string::npos);
        EXPECT_EQ(r.events.Last().partlyUnreadable, std::vector<std::string>{s.folder.string() + "/"});
        EXPECT_NE(r.events.asked.back().text.find("1 studies archived with unreadable files"), std::string::npos);
    }
    EXPECT_EQ(bad, 1);
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 4 \r\n");
}

TEST_P(WholeRun, NothingNewShowsTheGermanNoticeUnlessArchiveIsSet) {
    ArchiveRun a(GetParam(), 3);
    a.db->db().Execute("UPDATE tblStudies SET StudyDirectory2 = 'DVD 9'");
    for (const char* archive : {"0", "1"}) {
        SCOPED_TRACE(archive);
        a.WriteIni(std::string("Archive=") + archive + "\n");
        Runner r(a, "");
        r.RunOnce();
        EXPECT_TRUE(r.events.Last().nothingToWrite);
        EXPECT_EQ(r.events.Texts(), std::string(archive) == "0"
                                        ? std::vector<std::string>{"Keine neuen Untersuchungen gefunden!"}
                                        : std::vector<std::string>{});
        EXPECT_TRUE(std::filesystem::is_empty(a.dir / "iso"));
        EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 3 \r\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, WholeRun, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

// The headless runner as an archive server's timer would start it.
struct Cli : ::testing::Test {
    ArchiveRun a{ArchiveKind::Sqlite};
    std::filesystem::path exe = a.prog / "velunor-cli";
    Cli() { std::filesystem::copy_file(VELUNOR_CLI_PATH, exe); }
    std::string Run(const std::string& args, int& status) {
        std::string out = Capture(Quote(exe) + " " + args + " </dev/null 2>&1; echo \"exit=$?\"");
        auto at = out.rfind("exit=");
        status = at == std::string::npos ? -1 : std::stoi(out.substr(at + 5));
        return out.substr(0, at);
    }
};

TEST_F(Cli, RunsOneDiscAndSaysWhatHappenedOnItsLastLine) {
    a.WriteIni("AuthBurn=1\n");
    int status = -1;
    std::string out = Run("run --yes --notice-ms 0", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Velunor: Daten für Archiv-DVD zusammengestellt. / Gesatmgröße: 0 MB /  / Möchten Sie"),
              std::string::npos) << out;
    EXPECT_NE(out.find("Velunor: answered Yes"), std::string::npos);
    std::string last = out.substr(out.rfind("Velunor: ", out.size() - 2));
    EXPECT_EQ(last, "Velunor: DVD 4 written and recorded: 2 carry-over studies, 3 new studies\n");
    EXPECT_TRUE(std::filesystem::exists(a.dir / "iso" / "DVD 4.iso"));
    EXPECT_EQ(a.Value(3), "DVD 4");
}

// Two runs started together on one program folder: one writes the disc, the
// other says why it did not run and touches nothing.
TEST_F(Cli, TwoRunsStartedTogetherWriteOneDisc) {
    a.WriteIni("AuthBurn=1\n");
    // Both hold the lock through a slow tray notice, so they overlap
    // whichever of them takes it first.
    std::string outs[2];
    const auto out = [&](int k) { return a.dir / ("run" + std::to_string(k) + ".out"); };
    const std::string one = Quote(exe) + " run --yes --notice-ms 1500 </dev/null >";
    Capture("(" + one + Quote(out(0).string()) + " 2>&1; echo \"exit=$?\" >>" + Quote(out(0).string()) + ") & sleep 0.5; " +
            one + Quote(out(1).string()) + " 2>&1; echo \"exit=$?\" >>" + Quote(out(1).string()) + "; wait");
    for (int k = 0; k < 2; ++k) outs[k] = ReadAll(out(k));
    const int winner = outs[0].find("written and recorded") != std::string::npos ? 0 : 1;
    const std::string& refused = outs[1 - winner];
    EXPECT_NE(outs[winner].find("Velunor: DVD 4 written and recorded"), std::string::npos) << outs[winner];
    EXPECT_NE(outs[winner].find("exit=0"), std::string::npos) << outs[winner];
    EXPECT_NE(refused.find("Velunor: no disc written: another run is active (process "), std::string::npos) << refused;
    EXPECT_NE(refused.find("exit=2"), std::string::npos) << refused;
    EXPECT_TRUE(std::filesystem::exists(a.dir / "iso" / "DVD 4.iso"));
    EXPECT_FALSE(std::filesystem::exists(a.dir / "iso" / "DVD 5.iso"));
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 4 \r\n");
}

TEST_F(Cli, NoAnswersNoDiscAndClearReasonsWhenItCannotStart) {
    a.WriteIni("AuthBurn=1\n");
    int status = -1;
    // No terminal and no --yes: the question cannot be asked, which is no
    // operator's No.
    std::string out = Run("run", status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("Velunor: no terminal to ask, answered No"), std::string::npos) << out;
    EXPECT_NE(out.find("Velunor: no disc written: a question found no terminal to ask (run with --yes or --no)"),
              std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::is_empty(a.dir / "iso"));
    out = Run("run --no", status);
    EXPECT_EQ(status, 0) << out;

    // A LastMediaNr that cannot number the next disc: nothing is staged.
    const std::pair<std::string, std::string> refused[] = {{" 2147483647 \r\n", "DVD 2147483648"},
                                                           {"-1\r\n", (a.prog / "LastMediaNr").string() + " holds -1"}};
    for (const auto& [content, named] : refused) {
        WriteAll(a.prog / "LastMediaNr", content);
        out = Run("run --yes", status);
        EXPECT_EQ(status, 2) << out;
        EXPECT_NE(out.find(named), std::string::npos) << out;
        EXPECT_TRUE(std::filesystem::is_empty(a.dir / "iso"));
        EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), content);
    }
    std::filesystem::remove(a.prog / "LastMediaNr");
    std::filesystem::create_directory(a.prog / "LastMediaNr");
    out = Run("run --yes", status);
    EXPECT_EQ(status, 2) << out;
    EXPECT_NE(out.find((a.prog / "LastMediaNr").string() + " is not a file"), std::string::npos) << out;
    std::filesystem::remove(a.prog / "LastMediaNr");

    std::filesystem::remove(a.prog / "velunor.ini");
    out = Run("run --yes", status);
    EXPECT_EQ(status, 2) << out;
    EXPECT_NE(out.find("no database configured"), std::string::npos) << out;

    a.WriteIni("Archive=1\n", (a.dir / "none.db").string());
    out = Run("run --yes", status);
    EXPECT_EQ(status, 2) << out;
    // Printed once, and in the error log for whoever watches the logs.
    const auto at = out.find("database not reachable");
    EXPECT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.find("database not reachable", at + 1), std::string::npos) << out;
    EXPECT_NE(ReadAll(a.prog / "Logs" / "Error.log").find("database not reachable"), std::string::npos);

    // Command-line errors are named, with the usage, and end with 2.
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

// A database account from velunor.credentials: taken only from a file its
// owner alone can read, and its password shows nowhere, not even with
// --debug.
TEST_F(Cli, CredentialsComeFromAPrivateFileAndThePasswordShowsNowhere) {
    a.WriteIni("AuthBurn=1\n");
    const auto file = a.prog / "velunor.credentials";
    const std::string secret = "Geh3im;Kennwort";
    WriteAll(file, "uid=archivar\npwd=" + secret + "\ndatabase=ARCDB2\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    int status = -1;
    std::string out = Run("run --yes --debug --notice-ms 0", status);
    EXPECT_EQ(status, 0) << out;
    std::string everything = out;
    for (const auto& f : std::filesystem::directory_iterator(a.prog / "Logs")) everything += ReadAll(f.path());
    EXPECT_FALSE(std::filesystem::is_empty(a.prog / "Logs"));
    EXPECT_EQ(everything.find("Geh3im"), std::string::npos) << everything;

    std::filesystem::permissions(file, std::filesystem::perms::others_read, std::filesystem::perm_options::add);
    out = Run("run --yes --debug", status);
    EXPECT_EQ(status, 2) << out;
    EXPECT_NE(out.find(file.string() + " can be read or written by others (mode 0604)"), std::string::npos) << out;
    EXPECT_EQ(out.find("Geh3im"), std::string::npos) << out;
    EXPECT_EQ(ReadAll(a.prog / "Logs" / "Error.log").find("Geh3im"), std::string::npos);
}

}  // namespace
}  // namespace velunor
