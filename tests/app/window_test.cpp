// The Qt windows under the offscreen platform: controls by name, captions,
// enabled states through a run, the configuration dialog's saving.
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
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

// The application object lives in main() below, so that it is destroyed
// before the process's static objects (a static QApplication crashes at exit).
void App() { ASSERT_NE(QApplication::instance(), nullptr); }

struct WindowFixture : ::testing::Test {
    test::TempDir dir;
    test::ScriptedPrompter prompter;
    test::ScriptedDrive* drive = nullptr;
    std::vector<std::string> calls;
    std::unique_ptr<fVelunor> w;

    void Make(const std::string& args, Phases phases) {
        App();
        Settings s;
        s.StartupPending = true;
        s.MSGDVDName = "Done {NAME}";
        s.TempPath = (dir / "staging").string() + "/";
        w = std::make_unique<fVelunor>(
            dir.path(), s, args, prompter, Timing{},
            [this](const Settings&) {
                auto d = std::make_unique<test::ScriptedDrive>();
                drive = d.get();
                return d;
            },
            std::move(phases));
        w->shell().log.markerPath = dir / "Velunor.ready";
        w->Start();
    }
    template <class T>
    T* Find(const char* name) {
        return w->findChild<T*>(name);
    }
};

TEST_F(WindowFixture, EveryControlExistsByNameWithItsCaption) {
    Make("", Phases{});
    EXPECT_EQ(w->windowTitle(), "Velunor");
    const std::pair<const char*, const char*> labels[] = {
        {"lblSammeln", "Gathering data"}, {"lblDicomDir", "Create dicomdir"}, {"lblDVD", "Create DVD"},
        {"lblVerifyDVD", "Verify DVD"},   {"lblUpdate", "Update database"},  {"lblDrive", "Drive informations:"},
        {"lblInfo", "Please insert a empty DVD and click on 'Start'."},       {"lblCur", ""}};
    for (auto [name, caption] : labels) {
        auto* l = Find<QLabel>(name);
        ASSERT_NE(l, nullptr) << name;
        EXPECT_EQ(l->text().toStdString(), caption) << name;
    }
    for (const char* pb : {"pbSammeln", "pbDicomDir", "pbDisk", "pbVer", "pbDB"}) {
        auto* b = Find<QProgressBar>(pb);
        ASSERT_NE(b, nullptr) << pb;
        EXPECT_EQ(b->minimum(), 0);
        EXPECT_EQ(b->maximum(), 10000);
    }
    EXPECT_EQ(Find<QPushButton>("cmdStarten")->text(), "Start");
    EXPECT_FALSE(Find<QPushButton>("cmdStarten")->isEnabled());
    EXPECT_EQ(Find<QPushButton>("cmdCancel")->text(), "Cancel");
    EXPECT_TRUE(Find<QPushButton>("cmdCancel")->isEnabled());
    EXPECT_EQ(Find<QMenu>("mnuFile")->title(), "File");
    EXPECT_EQ(Find<QAction>("mnuConfig")->text(), "Configure");
    EXPECT_EQ(Find<QAction>("mnuQuit")->text(), "Quit");
    EXPECT_NE(Find<QWidget>("Picture1"), nullptr);
    EXPECT_NE(Find<QWidget>("Frame1"), nullptr);
    EXPECT_EQ(Find<QTimer>("TimerDVD")->interval(), 500);
    EXPECT_TRUE(Find<QTimer>("TimerDVD")->isActive());
    EXPECT_EQ(Find<QTimer>("TimerReady")->interval(), 30000);
    EXPECT_TRUE(Find<QTimer>("TimerReady")->isActive());
    EXPECT_EQ(Find<QTimer>("TimerWrite")->interval(), 60000);
    EXPECT_FALSE(Find<QTimer>("TimerWrite")->isActive());
    EXPECT_TRUE(w->isVisible());
    for (const char* l : {"lblSammeln", "lblDicomDir", "lblDVD", "lblVerifyDVD", "lblUpdate"})
        EXPECT_TRUE(Find<QLabel>(l)->isHidden()) << l;
}

TEST_F(WindowFixture, UnattendedWindowStaysHidden) {
    Make("AUTO", Phases{});
    EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(Find<QTimer>("TimerWrite")->isActive());
}

TEST_F(WindowFixture, ClicksDriveTheRunAndTheWindowReturnsToIdle) {
    Phases p;
    p.ShowDetectWindow = [](velunor::Run& run) { run.window().SetEnabled(Control::cmdStarten, true); };
    p.DatenKopieren = [this](velunor::Run& run) {
        calls.push_back("collect");
        // During the phase the window shows the running state.
        EXPECT_FALSE(run.window().IsEnabled(Control::cmdStarten));
        EXPECT_FALSE(run.window().IsEnabled(Control::mnuFile));
        EXPECT_TRUE(run.window().IsVisible(Control::lblSammeln));
        EXPECT_FALSE(run.window().IsVisible(Control::Picture1));
        run.window().SetValue(Control::pbSammeln, 5000);
        return false;
    };
    Make("", std::move(p));
    w->controller().TimerDVDTick();  // detection
    auto* start = Find<QPushButton>("cmdStarten");
    ASSERT_TRUE(start->isEnabled());
    start->click();
    EXPECT_EQ(calls, std::vector<std::string>{"collect"});
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("cmdCancel")->isEnabled());
    EXPECT_TRUE(Find<QMenu>("mnuFile")->menuAction()->isEnabled());
    EXPECT_EQ(Find<QProgressBar>("pbSammeln")->value(), 5000);
    EXPECT_TRUE(Find<QLabel>("lblSammeln")->isVisibleTo(w.get()));
}

TEST_F(WindowFixture, ModalNoticeTicksUntilItsCallbackSaysClose) {
    Make("", Phases{});
    int ticks = 0;
    w->RunModalNotice("Attention", "Please do not remove", std::chrono::milliseconds(1), [&] { return ++ticks < 2; });
    EXPECT_EQ(ticks, 2);
}

struct ConfigFixture : ::testing::Test {
    test::TempDir dir;
    test::ScriptedPrompter prompter;
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
    EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(ConfigFixture, ArchiveModeAsksForARestartInsteadOfReloading) {
    settings.Archive = 1;
    settings.DVDSpeed = 4;
    Make();
    EXPECT_TRUE(Find<QCheckBox>("chkArchive")->isChecked());
    Find<QLineEdit>("txtDVDSpeed")->setText("abc");
    Find<QPushButton>("cmdOK")->click();
    EXPECT_EQ(prompter.texts(), std::vector<std::string>{"Please restart the application."});
    EXPECT_EQ(ReadIniValue("CONFIG", "DVDSpeed", "", dir / "velunor.ini", 256), "abc");
    EXPECT_EQ(settings.DVDSpeed, 4);  // not reloaded
    EXPECT_EQ(ended, 1);
}

TEST_F(ConfigFixture, UnwritableFileSaysNotSavedAndStaysOpen) {
    std::filesystem::create_directory(dir / "velunor.ini");  // a folder where the file should be
    Make();
    Find<QPushButton>("cmdOK")->click();
    EXPECT_EQ(prompter.texts(), std::vector<std::string>{"Configuration not saved!"});
    EXPECT_EQ(prompter.shown[0].icon, Icon::Critical);
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

TEST_F(ConfigFixture, CancelWritesNothing) {
    Make();
    Find<QPushButton>("cmdCancel")->click();
    EXPECT_FALSE(std::filesystem::exists(dir / "velunor.ini"));
    EXPECT_EQ(ended, 0);
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
