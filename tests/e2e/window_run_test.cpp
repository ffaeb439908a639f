// The desktop window's whole run under the offscreen platform: real phases,
// real disc writer on an image folder, SQLite, its own timers driving the
// burn, and a scripted answer to the burn question.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/program/program.hpp"
#include "app/program/qt_window.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor {
namespace {

TEST(WindowRun, StartClickWritesVerifiesRecordsAndShowsTheCompletionMessage) {
    static int argc = 1;
    static char name[] = "window_run_test";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);

    test::TempDir dir;
    test::TestArchive db(test::ArchiveKind::Sqlite, dir.path());
    archive::Options o;
    o.out = dir / "archive";
    o.studies = 3;
    o.filesPerStudy = 2;
    o.fileBytes = 8192;
    o.unreadable = 0;
    auto generated = archive::GenerateArchive(o);
    for (const auto& r : generated.roots) db.AddArchive(r.archiveId, r.unc, r.path);
    for (const auto& s : generated.studies) db.AddStudy(s.studyId, s.studyUid, s.directory1, s.directory2, s.archiveId);

    auto prog = dir / "prog";
    std::filesystem::create_directories(prog);
    std::filesystem::create_directories(dir / "iso");
    test::WriteAll(prog / "velunor.ini", "[CONFIG]\nServerType=SQLite3\nServer=" + db.server() +
                                             "\nTempPath=" + (dir / "staging").string() +
                                             "\nImageFolder=" + (dir / "iso").string() +
                                             "\nMSGDVDName=Label it DVD {NAME}\nAuthBurn=1\n");
    Settings settings;
    LoadConfiguration(settings, prog);

    test::ScriptedPrompter prompter;
    prompter.answers = {Answer::Yes};
    Timing timing;
    timing.timerDVD = std::chrono::milliseconds(20);
    timing.detectDelay = std::chrono::milliseconds(1);
    timing.noticeStep = std::chrono::milliseconds(5);
    fVelunor window(prog, settings, "", prompter, timing, MakeProgramWriter, ProgramPhases());
    window.shell().log.markerPath = dir / "Velunor.ready";
    window.Start();

    auto* start = window.findChild<QPushButton*>("cmdStarten");
    QElapsedTimer clock;
    clock.start();
    // The window's own TimerDVD runs drive detection.
    while (!start->isEnabled() && clock.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(start->isEnabled()) << test::ReadAll(prog / "Logs" / "Error.log");
    EXPECT_NE(window.findChild<QLabel*>("lblDrive")->text().toStdString().find("KBs]"), std::string::npos);

    start->click();
    while (window.controller().Active() && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_FALSE(window.controller().Active());

    EXPECT_EQ(test::ReadAll(prog / "Logs" / "Error.log"), "");
    ASSERT_EQ(prompter.shown.size(), 2u) << ::testing::PrintToString(prompter.texts());
    EXPECT_EQ(prompter.shown[1].text, "Label it DVD 1\r\n\r\n3 studies recorded, 0 failed.");
    EXPECT_EQ(prompter.shown[1].icon, Icon::Information);
    EXPECT_TRUE(std::filesystem::exists(dir / "iso" / "DVD 1.iso"));
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(db.StudyDirectory2(id).value_or(""), "DVD 1");
    for (const char* name : {"pbSammeln", "pbDicomDir", "pbDisk", "pbVer", "pbDB"}) {
        auto* bar = window.findChild<QProgressBar*>(name);
        EXPECT_GE(bar->value(), bar->maximum() - 1) << name;
    }
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(window.findChild<QPushButton*>("cmdCancel")->isEnabled());
}

}  // namespace
}  // namespace velunor
