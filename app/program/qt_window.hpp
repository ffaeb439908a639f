// The Qt windows: the main window fVelunor, the configuration dialog
// fConfig, and the message boxes. A thin layer: every click and timer tick
// goes to the RunController, every change of the core comes back through
// WindowSystem.
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <functional>
#include <map>
#include <memory>

#include "app/program/config_form.hpp"
#include "app/program/controller.hpp"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace velunor {

// Message boxes as QMessageBox, titled "Velunor".
struct QtPrompter : Prompter {
    Answer Ask(const std::string& text, Icon icon, Buttons buttons) override;
};

class fVelunor : public QMainWindow, public WindowSystem {
    Q_OBJECT
public:
    // `settings` as loaded by the entry sequence. `openConfig` opens the
    // configuration dialog modally (mnuConfig).
    // `makeWriter` creates the disc writer over the window's own settings,
    // which TimerReady reloads.
    using WriterFactory = std::function<std::unique_ptr<DiscWriter>(const Settings&)>;
    fVelunor(std::filesystem::path programDir, Settings settings, std::string argumentText, Prompter& prompter,
             Timing timing, const WriterFactory& makeWriter, Phases phases);
    ~fVelunor() override;

    // Window creation: Load() of the controller (shows the window unless unattended).
    void Start();

    RunController& controller() { return *controller_; }
    Shell& shell() { return shell_; }
    DiscWriter& writer() { return *writer_; }
    std::function<void()> openConfig;

    // WindowSystem
    Answer MessageBox(const std::string& text, Icon icon, Buttons buttons = Buttons::Ok) override;
    void SetCaption(Control c, const std::string& text) override;
    std::string Caption(Control c) const override;
    void SetVisible(Control c, bool visible) override;
    bool IsVisible(Control c) const override;
    void SetEnabled(Control c, bool enabled) override;
    bool IsEnabled(Control c) const override;
    void SetValue(Control c, int value) override;
    int Value(Control c) const override;
    void SetMaximum(Control c, int maximum) override;
    int Maximum(Control c) const override;
    void Repaint(Control c) override;
    void Yield() override;
    void ShowMainWindow(bool visible) override;
    bool MainWindowVisible() const override;
    void SetTimerEnabled(Timer t, bool enabled) override;
    bool TimerEnabled(Timer t) const override;
    void RunModalNotice(const std::string& title, const std::string& text, std::chrono::milliseconds interval,
                        const std::function<bool()>& onTick) override;

    // Ends the program: closes every window, leaves the event loop.
    void Quit();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* widget(Control c) const;
    QProgressBar* bar(Control c) const;
    QAction* action(Control c) const;
    QTimer* timer(Timer t) const;

    Prompter& prompter_;
    Shell shell_;
    std::unique_ptr<DiscWriter> writer_;
    std::unique_ptr<RunController> controller_;
    std::map<Control, QWidget*> widgets_;
    std::map<Control, QAction*> actions_;
    std::map<Timer, QTimer*> timers_;
    bool quitting_ = false;
};

class fConfig : public QDialog {
    Q_OBJECT
public:
    // Shows `settings` (the process-wide values, not the file). On OK writes
    // `programDir`/velunor.ini; `endProgram` is called after saving.
    fConfig(Settings& settings, std::filesystem::path programDir, Prompter& prompter,
            std::function<void()> endProgram, QWidget* parent = nullptr);

    ConfigForm Form() const;
    void SetForm(const ConfigForm& f);
    // The folder picker; tests replace it. Returns "" when cancelled.
    std::function<std::string(const std::string& title)> browseForFolder;

    void OkClicked();
    void BrowseClicked();
    void BrowseImageClicked();

private:
    Settings& settings_;
    std::filesystem::path programDir_;
    Prompter& prompter_;
    std::function<void()> endProgram_;
    QLineEdit* txtServer;
    QComboBox* cboServerType;
    QLineEdit* txtTemp;
    QPushButton* cmdBrowse;
    QPlainTextEdit* txtMSGDVDInsert;
    QPlainTextEdit* txtMSGDVDName;
    QLineEdit* txtDVDSpeed;
    QCheckBox* chkArchive;
    QCheckBox* chkASAPI;
    QCheckBox* chkAuthBurn;
    QLineEdit* txtImageFolder;
    QPushButton* cmdBrowseImage;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
};

// The folder picker: existing folders only; "" on cancel.
std::string BrowseForFolder(QWidget* owner = nullptr, const std::string& title = "Wählen Sie einen Ordner aus");

}  // namespace velunor
