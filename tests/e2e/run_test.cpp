// Whole archive runs on the real components: a generated archive, SQLite or
// PostgreSQL, DCMTK, libburn writing into an image folder, and the run
// controller driven by its timers as the window drives it.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <thread>

#include "app/program/program.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor {
namespace {

using test::ArchiveKind;
using test::ReadAll;
using test::WriteAll;

// Lines of a command's standard output.
std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        std::array<char, 4096> buf{};
        std::size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
        ::pclose(p);
    }
    return out;
}

std::string Quote(const std::filesystem::path& p) {
    std::string out = "'";
    for (char c : p.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// An archive of generated studies in a test database: the first two on
// disc 3 alone, the rest on no disc.
struct ArchiveRun {
    test::TempDir dir;
    std::unique_ptr<test::TestArchive> db;
    archive::Archive generated;
    std::filesystem::path prog = dir / "prog";

    explicit ArchiveRun(ArchiveKind kind, int studies = 5) {
        db = std::make_unique<test::TestArchive>(kind, dir.path());
        archive::Options o;
        o.out = dir / "archive";
        o.studies = studies;
        o.filesPerStudy = 2;
        o.fileBytes = 8192;
        o.zipPercent = 20;
        o.unreadable = 0;
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

class WholeRun : public ::testing::TestWithParam<ArchiveKind> {};

TEST_P(WholeRun, UnattendedRunWritesVerifiesAndRecordsTheDisc) {
    ArchiveRun a(GetParam());
    a.WriteIni("AuthBurn=1\n");

    test::ScriptedPrompter prompter;
    prompter.answers = {Answer::Yes};  // the burn authorisation
    HeadlessWindow window(prompter, test::FakeSleep{});
    Shell shell(a.prog, window);
    shell.log.markerPath = a.dir / "Velunor.ready";
    shell.settings.StartupPending = true;
    shell.timing.autoTickLimit = 2;
    shell.timing.noticeStep = std::chrono::milliseconds(1);
    shell.timing.detectDelay = std::chrono::milliseconds(1);
    LoadConfiguration(shell.settings, a.prog);
    auto writer = MakeProgramWriter(shell.settings);
    RunController c(shell, *writer, ProgramPhases(), "AUTO");
    c.Load();
    EXPECT_FALSE(window.MainWindowVisible());

    c.TimerDVDTick();  // drive detection finds the image folder
    ASSERT_TRUE(window.IsEnabled(Control::cmdStarten)) << ReadAll(a.prog / "Logs" / "Error.log");
    for (int i = 0; i < 3 && !c.state.RunActive; ++i) c.TimerWriteTick();
    ASSERT_TRUE(c.state.RunActive) << ReadAll(a.prog / "Logs" / "Error.log");
    for (int i = 0; i < 6000 && c.state.RunActive; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        c.TimerDVDTick();
    }
    ASSERT_FALSE(c.state.RunActive);
    EXPECT_EQ(ReadAll(a.prog / "Logs" / "Error.log"), "");

    // The question, then the completion message with the disc number.
    ASSERT_EQ(prompter.shown.size(), 2u) << ::testing::PrintToString(prompter.texts());
    EXPECT_NE(prompter.shown[0].text.find("Möchten Sie den Brennvorgang starten?"), std::string::npos);
    EXPECT_EQ(prompter.shown[1].text, "Label it\r\nDVD 4\r\n\r\n5 studies recorded, 0 failed.");

    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 4 \r\n");
    EXPECT_EQ(c.state.DiscStudies1.size(), 2u);
    EXPECT_EQ(c.state.DiscStudies2.size(), 3u);
    EXPECT_EQ(a.Value(1), "DVD 3|DVD 4");
    EXPECT_EQ(a.Value(2), "DVD 3|DVD 4");
    for (int id = 3; id <= 5; ++id) EXPECT_EQ(a.Value(id), "DVD 4") << id;

    // An independent reader finds the DICOMDIR and every study's files.
    std::string listing = a.ImageListing("DVD 4");
    EXPECT_NE(listing.find("'/Dicomdir'"), std::string::npos) << listing;
    int inOne = 0, inTwo = 0;
    for (std::size_t pos = 0; (pos = listing.find("'/1/", pos)) != std::string::npos; ++pos) ++inOne;
    for (std::size_t pos = 0; (pos = listing.find("'/2/", pos)) != std::string::npos; ++pos) ++inTwo;
    EXPECT_EQ(inOne, 4);
    EXPECT_EQ(inTwo, 6);

    // The staging tree is empty again.
    for (const char* f : {"DVD", "DVD/1", "DVD/2", "DVDTemp", "Unzip"})
        for (const auto& e : std::filesystem::directory_iterator(a.dir / "staging" / f))
            EXPECT_TRUE(e.is_directory()) << e.path();
}

TEST_P(WholeRun, SecondRunFindsNothingNewAndWritesNoDisc) {
    ArchiveRun a(GetParam(), 3);
    a.db->db().Execute("UPDATE tblStudies SET StudyDirectory2 = 'DVD 9'");
    a.WriteIni("Archive=1\n");
    test::ScriptedPrompter prompter;
    HeadlessWindow window(prompter, test::FakeSleep{});
    Shell shell(a.prog, window);
    shell.settings.StartupPending = true;
    shell.timing.detectDelay = std::chrono::milliseconds(1);
    LoadConfiguration(shell.settings, a.prog);
    auto writer = MakeProgramWriter(shell.settings);
    RunController c(shell, *writer, ProgramPhases(), "");
    c.Load();
    c.TimerDVDTick();
    c.StartClicked();
    EXPECT_FALSE(c.state.RunActive);
    EXPECT_TRUE(c.state.summary.nothingToWrite);
    EXPECT_TRUE(prompter.shown.empty());  // Archive set: no "no new studies" box
    EXPECT_TRUE(std::filesystem::is_empty(a.dir / "iso"));
    EXPECT_EQ(ReadAll(a.prog / "LastMediaNr"), " 3 \r\n");
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
    std::string out = Run("run --yes", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Velunor: Daten für Archiv-DVD zusammengestellt. / Gesatmgröße: 0 MB /  / Möchten Sie"),
              std::string::npos) << out;
    EXPECT_NE(out.find("Velunor: answered Yes"), std::string::npos);
    std::string last = out.substr(out.rfind("Velunor: ", out.size() - 2));
    EXPECT_EQ(last, "Velunor: DVD 4 written and recorded: 2 carry-over studies, 3 new studies, 0 failed updates\n");
    EXPECT_TRUE(std::filesystem::exists(a.dir / "iso" / "DVD 4.iso"));
    EXPECT_EQ(a.Value(3), "DVD 4");
}

TEST_F(Cli, NoAnswersNoDiscAndClearReasonsWhenItCannotStart) {
    a.WriteIni("AuthBurn=1\n");
    int status = -1;
    std::string out = Run("run", status);  // no terminal: the question is answered No
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Velunor: no terminal to ask, answered No"), std::string::npos) << out;
    EXPECT_NE(out.find("Velunor: no disc written"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(a.dir / "iso"));

    std::filesystem::remove(a.prog / "velunor.ini");
    out = Run("run --yes", status);
    EXPECT_EQ(status, 2) << out;
    EXPECT_NE(out.find("no database configured"), std::string::npos) << out;

    a.WriteIni("Archive=1\n", (a.dir / "none.db").string());
    out = Run("run --yes", status);
    EXPECT_EQ(status, 2) << out;
    EXPECT_NE(out.find("database not reachable"), std::string::npos) << out;

    out = Run("burn", status);
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("usage: velunor-cli run"), std::string::npos);
}

}  // namespace
}  // namespace velunor
