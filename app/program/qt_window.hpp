// The Qt windows: the main window fVelunor, the configuration dialog
// fConfig, and the message boxes. A thin layer: every click and timer tick
// goes to the RunController, every change of a run comes back as a run
// event.
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "app/program/config_form.hpp"
#include "app/program/controller.hpp"
#include "app/program/label.hpp"

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

// The main window: one label and bar per phase, the status line, the drive
// line, Start and Cancel, the File menu, and the three timers. It maps the
// run events onto its controls and forwards clicks and ticks to the run
// controller; it never tells the controller anything through a control.
//
//   RunStarted          Picture1 hidden; every bar to 0; cmdStarten and mnuFile
//                       off, cmdCancel on
//   PhaseStarted(p)     p's label shows: Collect lblSammeln/pbSammeln, DicomDir
//                       lblDicomDir/pbDicomDir, Disc lblDVD/pbDisk, Verify
//                       lblVerifyDVD/pbVer, Record lblUpdate/pbDB
//   Progress(p, v)      p's bar (range 0..10000) to v
//   Status(text)        lblCur, repainted at once
//   CancelAllowed(a)    cmdCancel
//   Ask(q)              QMessageBox through the Prompter; unattended: shown for
//                       it, hidden again after No and TimerWrite restarted
//   Notice(...)         modal fNot ("Attention") or fDetect, text in
//                       lblNotification, ticked by Timer1
//   Drive(d, ready)     lblDrive; cmdStarten on when ready and no run is active
//   RunEnded(o)         after a run that began: cmdStarten and mnuFile on,
//                       cmdCancel off
class fVelunor : public QMainWindow, public RunEvents {
    Q_OBJECT
public:
    // `settings` as loaded by the entry sequence. `openConfig` opens the
    // configuration dialog modally (mnuConfig).
    // `makeWriter` creates the disc writer over the window's own settings,
    // which TimerReady reloads.
    using WriterFactory = std::function<std::unique_ptr<DiscWriter>(const Settings&)>;
    fVelunor(std::filesystem::path programDir, Settings settings, const std::string& argumentText,
             Prompter& prompter, Timing timing, const WriterFactory& makeWriter, Phases phases);
    ~fVelunor() override;

    // Starts the timers and shows the window unless the program runs
    // unattended.
    void Start();

    RunController& controller() { return *controller_; }
    Shell& shell() { return shell_; }
    DiscWriter& writer() { return *writer_; }
    std::function<void()> openConfig;

    // RunEvents
    void RunStarted() override;
    void PhaseStarted(RunPhase phase) override;
    void Progress(RunPhase phase, int value) override;
    void Status(const std::string& text) override;
    void CancelAllowed(bool allowed) override;
    Answer Ask(const Question& question) override;
    void Notice(const std::string& title, const std::string& text, std::chrono::milliseconds interval,
                const std::function<bool()>& onTick) override;
    void Drive(const std::string& description, bool ready) override;
    void Yield() override;
    void RunEnded(const RunOutcome& outcome) override;

    // Ends the program: closes every window, leaves the event loop.
    void Quit();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct PhaseRow {
        QLabel* label;
        QProgressBar* bar;
    };

    Prompter& prompter_;
    Shell shell_;
    std::unique_ptr<DiscWriter> writer_;
    std::unique_ptr<RunController> controller_;
    std::map<RunPhase, PhaseRow> rows_;
    QLabel* lblCur_ = nullptr;
    QLabel* lblDrive_ = nullptr;
    QLabel* lblInfo_ = nullptr;
    QWidget* picture_ = nullptr;
    QPushButton* cmdStarten_ = nullptr;
    QPushButton* cmdCancel_ = nullptr;
    QAction* mnuFile_ = nullptr;
    // File > Print label: the label of the disc recorded last, on a printer
    // chosen in the print dialog; enabled while that label is at hand.
    QAction* mnuPrintLabel_ = nullptr;
    std::optional<DiscLabelContent> recordedLabel_;
    void PrintRecordedLabel();
    QTimer* timerDVD_ = nullptr;
    QTimer* timerReady_ = nullptr;
    QTimer* timerWrite_ = nullptr;
    bool runStarted_ = false;
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
    QComboBox* cboMediaProfile;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
};

// The folder picker: existing folders only; "" on cancel.
std::string BrowseForFolder(QWidget* owner = nullptr, const std::string& title = "Wählen Sie einen Ordner aus");

}  // namespace velunor
