// The Qt windows under the offscreen platform: controls by name, captions,
// run events mapped onto controls, the configuration dialog's saving.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "app/program/qt_window.hpp"
#include "tests/support/recorded_events.hpp"
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

// The application object lives in main() below, so that it is destroyed
// before the process's static objects (a static QApplication crashes at exit).
void App() { ASSERT_NE(QApplication::instance(), nullptr); }

struct WindowFixture : ::testing::Test {
    test::TempDir dir;
    test::RecordedEvents asked;
    test::EventsPrompter prompter{asked};
    std::unique_ptr<fVelunor> w;

    void Make(const std::string& args, Phases phases) {
        App();
        Settings s;
        s.MSGDVDName = "Done {NAME}";
        s.TempPath = (dir / "staging").string() + "/";
        w = std::make_unique<fVelunor>(
            dir.path(), s, args, prompter, Timing{},
            [](const Settings&) { return std::make_unique<test::ScriptedDrive>(); }, std::move(phases));
        w->shell().log.markerPath = dir / "Velunor.ready";
        w->Start();
    }
    template <class T>
    T* Find(const char* name) {
        return w->findChild<T*>(name);
    }
};

// The window learns everything from the run's events: the drive, the
// phase shown, its bar, the status line, and the end of the run.
TEST_F(WindowFixture, RunEventsDriveTheControlsAndAClickStartsTheRun) {
    int collected = 0;
    Phases p;
    p.DetectDrive = [](velunor::Run& run) {
        run.events().Drive("VENDOR DRIVE [Speed 16.1X/22160 KBs]", true);
        return std::optional<Drive>(Drive{0, "VENDOR DRIVE", 22160});
    };
    p.DatenKopieren = [&](velunor::Run& run) {
        ++collected;
        EXPECT_FALSE(Find<QPushButton>("cmdStarten")->isEnabled());
        EXPECT_FALSE(Find<QMenu>("mnuFile")->menuAction()->isEnabled());
        EXPECT_FALSE(Find<QLabel>("lblSammeln")->isHidden());
        EXPECT_TRUE(Find<QWidget>("Picture1")->isHidden());
        run.events().Progress(RunPhase::Collect, 5000);
        run.events().Status("Gathering");
        return Collected{};
    };
    Make("", std::move(p));
    EXPECT_EQ(w->windowTitle(), "Velunor");
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(Find<QLabel>("lblInfo")->text(), "Please insert a empty DVD and click on 'Start'.");
    EXPECT_FALSE(Find<QPushButton>("cmdStarten")->isEnabled());
    w->controller().TimerDVDTick();
    EXPECT_EQ(Find<QLabel>("lblDrive")->text(), "VENDOR DRIVE [Speed 16.1X/22160 KBs]");
    auto* start = Find<QPushButton>("cmdStarten");
    ASSERT_TRUE(start->isEnabled());
    start->click();
    EXPECT_EQ(collected, 1);
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("cmdCancel")->isEnabled());
    EXPECT_TRUE(Find<QMenu>("mnuFile")->menuAction()->isEnabled());
    EXPECT_EQ(Find<QProgressBar>("pbSammeln")->value(), 5000);
    EXPECT_EQ(Find<QLabel>("lblCur")->text(), "Gathering");
    w->CancelAllowed(false);
    EXPECT_FALSE(Find<QPushButton>("cmdCancel")->isEnabled());
}

// Unattended, the window stays hidden; it shows itself for an unattended
// question and hides again on No. A notice ticks until its callback closes it.
TEST_F(WindowFixture, UnattendedWindowShowsOnlyForItsQuestionAndNoticesTickUntilClosed) {
    Make("AUTO", Phases{});
    EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(Find<QTimer>("TimerWrite")->isActive());
    asked.answers = {Answer::No, Answer::Yes};
    bool visibleWhileAsked = false;
    prompter.onAsk = [&] { visibleWhileAsked = w->isVisible(); };
    EXPECT_EQ(w->Ask({"Burn?", Icon::Question, Buttons::YesNo, true}), Answer::No);
    EXPECT_TRUE(visibleWhileAsked);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(w->Ask({"Burn?", Icon::Question, Buttons::YesNo, true}), Answer::Yes);
    EXPECT_TRUE(w->isVisible());

    int ticks = 0;
    w->Notice("Attention", "Please do not remove", std::chrono::milliseconds(1), [&] { return ++ticks < 2; });
    EXPECT_EQ(ticks, 2);
}

struct ConfigFixture : ::testing::Test {
    test::TempDir dir;
    test::RecordedEvents asked;
    test::EventsPrompter prompter{asked};
    Settings settings;
    int ended = 0;
    std::unique_ptr<fConfig> d;

    void Make() {
        App();
        d = std::make_unique<fConfig>(settings, dir.path(), prompter, [this] { ++ended; });
    }
    template <class T>
    T* Find(const char* name) {
        return d->findChild<T*>(name);
    }
};

TEST_F(ConfigFixture, UnreadSettingsShowEmptyFieldsAndOkWritesEveryKey) {
    settings.TempPath = (dir / "stage").string();  // what LoadConfiguration will be given back
    settings.TempPath.clear();
    Make();
    EXPECT_EQ(d->windowTitle(), "Tarquel Configuration");
    EXPECT_EQ(Find<QLineEdit>("txtDVDSpeed")->text(), "0");
    EXPECT_FALSE(Find<QCheckBox>("chkArchive")->isChecked());
    for (const char* n : {"txtServer", "txtTemp", "cboServerType", "txtMSGDVDInsert", "txtMSGDVDName",
                          "chkASAPI", "chkAuthBurn", "cmdBrowse", "cmdOK", "cmdCancel", "txtImageFolder"})
        EXPECT_NE(d->findChild<QWidget*>(n), nullptr) << n;

    Find<QLineEdit>("txtTemp")->setText(QString::fromStdString((dir / "stage").string()));
    Find<QPlainTextEdit>("txtMSGDVDName")->setPlainText("Remove the disc\nLabel it DVD {NAME}");
    Find<QComboBox>("cboServerType")->setCurrentText("PostgreSQL");
    Find<QCheckBox>("chkAuthBurn")->setChecked(true);
    Find<QPushButton>("cmdOK")->click();
    auto ini = dir / "velunor.ini";
    EXPECT_EQ(ReadIniValue("CONFIG", "MSGDVDName", "", ini, 256), "Remove the disc;Label it DVD {NAME}");
    EXPECT_EQ(ReadIniValue("CONFIG", "ServerType", "", ini, 256), "PostgreSQL");
    EXPECT_EQ(ReadIniValue("CONFIG", "DVDSpeed", "x", ini, 256), "0");
    EXPECT_EQ(ReadIniValue("CONFIG", "AuthBurn", "x", ini, 256), "1");
    EXPECT_EQ(ReadIniValue("CONFIG", "Archive", "x", ini, 256), "0");
    EXPECT_EQ(ReadIniValue("CONFIG", "Server", "x", ini, 256), "");
    // Archive was 0 when loaded: the configuration is read again, the tree created.
    EXPECT_EQ(settings.MSGDVDName, "Remove the disc\r\nLabel it DVD {NAME}");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "stage" / "DVD" / "1"));
    EXPECT_EQ(ended, 1);
    EXPECT_TRUE(asked.asked.empty());
}

TEST_F(ConfigFixture, ArchiveModeAsksForARestartInsteadOfReloading) {
    settings.Archive = 1;
    settings.DVDSpeed = 4;
    Make();
    EXPECT_TRUE(Find<QCheckBox>("chkArchive")->isChecked());
    Find<QLineEdit>("txtDVDSpeed")->setText("abc");
    Find<QPushButton>("cmdOK")->click();
    EXPECT_EQ(asked.Texts(), std::vector<std::string>{"Please restart the application."});
    EXPECT_EQ(ReadIniValue("CONFIG", "DVDSpeed", "", dir / "velunor.ini", 256), "abc");
    EXPECT_EQ(settings.DVDSpeed, 4);  // not reloaded
    EXPECT_EQ(ended, 1);
}

TEST_F(ConfigFixture, UnwritableFileSaysNotSavedAndStaysOpenAndCancelWritesNothing) {
    Make();
    Find<QPushButton>("cmdCancel")->click();
    EXPECT_FALSE(std::filesystem::exists(dir / "velunor.ini"));
    std::filesystem::create_directory(dir / "velunor.ini");  // a folder where the file should be
    Find<QPushButton>("cmdOK")->click();
    EXPECT_EQ(asked.Texts(), std::vector<std::string>{"Configuration not saved!"});
    EXPECT_EQ(asked.asked[0].icon, Icon::Critical);
    EXPECT_EQ(ended, 0);
}

TEST_F(ConfigFixture, BrowseAppendsASeparatorAndCancelKeepsTheText) {
    Make();
    auto* temp = Find<QLineEdit>("txtTemp");
    temp->setText("/keep/");
    d->browseForFolder = [](const std::string&) { return std::string(); };
    d->BrowseClicked();
    EXPECT_EQ(temp->text(), "/keep/");
    d->browseForFolder = [](const std::string& title) {
        EXPECT_EQ(title, "Select folder");
        return std::string("/data");
    };
    d->BrowseClicked();
    EXPECT_EQ(temp->text(), "/data/");
    d->browseForFolder = [](const std::string&) { return std::string("/"); };
    d->BrowseClicked();
    EXPECT_EQ(temp->text(), "/");
}

}  // namespace
}  // namespace velunor

int main(int argc, char** argv) {
    // Listing the tests at build time runs this program without a display too.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
