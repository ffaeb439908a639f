#include "app/program/qt_window.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <tuple>

#include "app/error.hpp"

namespace velunor {

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }
QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }
}  // namespace

Answer QtPrompter::Ask(const std::string& text, Icon icon, Buttons buttons) {
    QMessageBox box;
    box.setWindowTitle(Q(kTitle));
    box.setText(Q(text));
    switch (icon) {
    case Icon::Critical: box.setIcon(QMessageBox::Critical); break;
    case Icon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case Icon::Information: box.setIcon(QMessageBox::Information); break;
    case Icon::Question: box.setIcon(QMessageBox::Question); break;
    case Icon::None: break;
    }
    if (buttons == Buttons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? Answer::Yes : Answer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return Answer::Ok;
}

fVelunor::fVelunor(std::filesystem::path programDir, Settings settings, const std::string& argumentText,
                   Prompter& prompter, Timing timing, const WriterFactory& makeWriter, Phases phases)
    : prompter_(prompter), shell_(std::move(programDir), *this) {
    shell_.settings = std::move(settings);
    shell_.timing = timing;
    writer_ = makeWriter(shell_.settings);
    setObjectName("fVelunor");
    setWindowTitle(Q(kTitle));

    // Menu.
    QMenu* mnuFile = menuBar()->addMenu("File");
    mnuFile->setObjectName("mnuFile");
    QAction* mnuConfig = mnuFile->addAction("Configure");
    mnuConfig->setObjectName("mnuConfig");
    mnuPrintLabel_ = mnuFile->addAction("Print label");
    mnuPrintLabel_->setObjectName("mnuPrintLabel");
    mnuPrintLabel_->setEnabled(false);
    QAction* mnuQuit = mnuFile->addAction("Quit");
    mnuQuit->setObjectName("mnuQuit");
    mnuFile_ = mnuFile->menuAction();

    // Phase display: five rows of label and bar, then the status line.
    auto* central = new QWidget(this);
    auto* outer = new QVBoxLayout(central);
    auto* stack = new QWidget(central);
    auto* stackLayout = new QGridLayout(stack);
    stackLayout->setContentsMargins(0, 0, 0, 0);
    auto* Frame1 = new QGroupBox(stack);
    Frame1->setObjectName("Frame1");
    auto* frameLayout = new QVBoxLayout(Frame1);
    const std::tuple<RunPhase, const char*, const char*> rows[] = {
        {RunPhase::Collect, "lblSammeln", "pbSammeln"},   {RunPhase::DicomDir, "lblDicomDir", "pbDicomDir"},
        {RunPhase::Disc, "lblDVD", "pbDisk"},             {RunPhase::Verify, "lblVerifyDVD", "pbVer"},
        {RunPhase::Record, "lblUpdate", "pbDB"}};
    for (auto [phase, labelName, barName] : rows) {
        auto* label = new QLabel(Q(PhaseCaption(phase)), Frame1);
        label->setObjectName(labelName);
        auto* progress = new QProgressBar(Frame1);
        progress->setObjectName(barName);
        progress->setRange(0, kProgressMax);
        progress->setValue(0);
        progress->setTextVisible(false);
        label->setVisible(false);
        // Rows keep their place while their label is hidden.
        QSizePolicy keep = label->sizePolicy();
        keep.setRetainSizeWhenHidden(true);
        label->setSizePolicy(keep);
        frameLayout->addWidget(label);
        frameLayout->addWidget(progress);
        rows_[phase] = {label, progress};
    }
    lblCur_ = new QLabel(Frame1);
    lblCur_->setObjectName("lblCur");
    lblCur_->setMinimumHeight(lblCur_->fontMetrics().height() * 2);
    lblCur_->setWordWrap(true);
    frameLayout->addWidget(lblCur_);

    auto* Picture1 = new QFrame(stack);
    Picture1->setObjectName("Picture1");
    Picture1->setAutoFillBackground(true);
    Picture1->setFrameShape(QFrame::StyledPanel);
    auto* pictureLayout = new QVBoxLayout(Picture1);
    lblInfo_ = new QLabel(Picture1);
    lblInfo_->setObjectName("lblInfo");
    lblInfo_->setAlignment(Qt::AlignCenter);
    lblInfo_->setWordWrap(true);
    QFont big = lblInfo_->font();
    big.setPointSizeF(big.pointSizeF() * 1.3);
    lblInfo_->setFont(big);
    pictureLayout->addWidget(lblInfo_);
    picture_ = Picture1;
    stackLayout->addWidget(Frame1, 0, 0);
    stackLayout->addWidget(Picture1, 0, 0);  // lies over the phase display
    outer->addWidget(stack, 1);

    lblDrive_ = new QLabel("Drive informations:", central);
    lblDrive_->setObjectName("lblDrive");
    lblDrive_->setWordWrap(true);
    outer->addWidget(lblDrive_);

    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    cmdStarten_ = new QPushButton("Start", central);
    cmdStarten_->setObjectName("cmdStarten");
    cmdCancel_ = new QPushButton("Cancel", central);
    cmdCancel_->setObjectName("cmdCancel");
    cmdStarten_->setEnabled(false);
    buttons->addWidget(cmdStarten_);
    buttons->addWidget(cmdCancel_);
    outer->addLayout(buttons);
    setCentralWidget(central);
    resize(460, 420);

    // Timers: each tick goes to the controller, which ignores ticks that
    // find nothing to do.
    auto makeTimer = [&](const char* name, std::chrono::milliseconds interval) {
        auto* qt = new QTimer(this);
        qt->setObjectName(name);
        qt->setInterval(static_cast<int>(interval.count()));
        return qt;
    };
    timerDVD_ = makeTimer("TimerDVD", timing.timerDVD);
    timerReady_ = makeTimer("TimerReady", timing.timerReady);
    timerWrite_ = makeTimer("TimerWrite", timing.timerWrite);

    // The window keeps the label of the disc just recorded, to offer printing it.
    phases.LabelDisc = [this, inner = std::move(phases.LabelDisc)](Run& run,
                                                                  const VerifiedDisc& verified) -> std::function<void()> {
        recordedLabel_.reset();
        // Without a label there is nothing to offer; a label asked for
        // (LabelFolder) names its own failure in Error.log.
        try {
            recordedLabel_ = StagedDiscLabel(verified.disc, run.settings().Profile);
        } catch (const std::exception&) {
        }
        return inner ? inner(run, verified) : std::function<void()>{};
    };
    controller_ = std::make_unique<RunController>(shell_, *writer_, std::move(phases), argumentText);
    connect(timerDVD_, &QTimer::timeout, this, [this] { controller_->TimerDVDTick(); });
    connect(timerReady_, &QTimer::timeout, this, [this] { controller_->TimerReadyTick(); });
    connect(timerWrite_, &QTimer::timeout, this, [this] { controller_->TimerWriteTick(); });
    connect(cmdStarten_, &QPushButton::clicked, this, [this] { controller_->StartClicked(); });
    connect(cmdCancel_, &QPushButton::clicked, this, [this] { controller_->CancelClicked(); });
    connect(mnuQuit, &QAction::triggered, this, [this] { Quit(); });
    connect(mnuPrintLabel_, &QAction::triggered, this, [this] { PrintRecordedLabel(); });
    connect(mnuConfig, &QAction::triggered, this, [this] {
        if (openConfig) openConfig();
    });
}

fVelunor::~fVelunor() {
    for (QTimer* t : {timerDVD_, timerReady_, timerWrite_}) t->stop();
}

void fVelunor::Start() {
    timerDVD_->start();
    timerReady_->start();
    if (controller_->Unattended()) {
        timerWrite_->start();
    } else {
        lblInfo_->setText("Please insert a empty DVD and click on 'Start'.");
    }
    setVisible(!controller_->Unattended());
}

void fVelunor::RunStarted() {
    runStarted_ = true;
    picture_->setVisible(false);
    for (auto& [phase, row] : rows_) row.bar->setValue(0);
    cmdStarten_->setEnabled(false);
    cmdCancel_->setEnabled(true);
    mnuFile_->setEnabled(false);
}

void fVelunor::PhaseStarted(RunPhase phase) {
    const PhaseRow& row = rows_.at(phase);
    row.label->setVisible(true);
    row.bar->setVisible(true);
}

void fVelunor::Progress(RunPhase phase, int value) { rows_.at(phase).bar->setValue(std::clamp(value, 0, kProgressMax)); }

void fVelunor::Status(const std::string& text) {
    lblCur_->setText(Q(text));
    lblCur_->repaint();
}

void fVelunor::CancelAllowed(bool allowed) { cmdCancel_->setEnabled(allowed); }

Answer fVelunor::Ask(const Question& q) {
    if (!q.unattended) return prompter_.Ask(q.text, q.icon, q.buttons);
    // The unattended program shows itself for its question and hides again
    // on No; its unattended interval starts anew.
    setVisible(true);
    const Answer answer = prompter_.Ask(q.text, q.icon, q.buttons);
    if (answer == Answer::No) {
        setVisible(false);
        timerWrite_->start();
    }
    return answer;
}

void fVelunor::Drive(const std::string& description, bool ready) {
    lblDrive_->setText(Q(description));
    if (ready && !controller_->Active()) cmdStarten_->setEnabled(true);
}

void fVelunor::Yield() { QCoreApplication::processEvents(); }

void fVelunor::RunEnded(const RunOutcome& outcome) {
    // A refused start changes nothing of the window but the status line.
    if (!runStarted_) return;
    runStarted_ = false;
    cmdStarten_->setEnabled(true);
    cmdCancel_->setEnabled(false);
    mnuFile_->setEnabled(true);
    if (!outcome.discRecorded) recordedLabel_.reset();
    mnuPrintLabel_->setEnabled(recordedLabel_.has_value());
    mnuPrintLabel_->setText(recordedLabel_ ? Q("Print label of " + recordedLabel_->label + "...") : "Print label");
}

void fVelunor::PrintRecordedLabel() {
    if (!recordedLabel_) return;
    QPrinter printer(QPrinter::HighResolution);
    printer.setDocName(Q(recordedLabel_->label));
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(Q("Print the label of " + recordedLabel_->label));
    if (dialog.exec() != QDialog::Accepted) return;
    try {
        PaintDiscLabel(printer, *recordedLabel_);
    } catch (const std::exception& e) {
        prompter_.Ask("The label of " + recordedLabel_->label + " cannot be printed: " + e.what(), Icon::Critical,
                      Buttons::Ok);
    }
}

void fVelunor::Notice(const std::string& title, const std::string& text, std::chrono::milliseconds interval,
                      const std::function<bool()>& onTick) {
    QDialog dialog(isVisible() ? this : nullptr);
    dialog.setObjectName(title == "Attention" ? "fNot" : "fDetect");
    dialog.setWindowTitle(Q(title));
    dialog.setWindowFlag(Qt::WindowCloseButtonHint, false);
    auto* layout = new QVBoxLayout(&dialog);
    auto* lblNotification = new QLabel(Q(text), &dialog);
    lblNotification->setObjectName("lblNotification");
    layout->addWidget(lblNotification);
    QTimer Timer1;
    Timer1.setObjectName("Timer1");
    Timer1.setInterval(static_cast<int>(interval.count()));
    QObject::connect(&Timer1, &QTimer::timeout, &dialog, [&] {
        bool keepOpen = false;
        try {
            keepOpen = onTick();
        } catch (...) {
        }
        if (!keepOpen) {
            Timer1.stop();
            dialog.accept();
        }
    });
    Timer1.start();
    dialog.exec();
}

void fVelunor::Quit() {
    quitting_ = true;
    for (QTimer* t : {timerDVD_, timerReady_, timerWrite_}) t->stop();
    QApplication::closeAllWindows();
    QCoreApplication::quit();
}

void fVelunor::closeEvent(QCloseEvent* event) {
    // Only the user's own close box can be refused; Quit and the system are not.
    bool allowed = controller_->CloseRequest(!quitting_ && event->spontaneous());
    if (!allowed) {
        event->ignore();
        return;
    }
    event->accept();
    // The program ends with its main window (message boxes of a hidden
    // window must not end it, so Qt's own last-window rule is off).
    QCoreApplication::quit();
}

// ---------------------------------------------------------------------------

std::string BrowseForFolder(QWidget* owner, const std::string& title) {
    QString dir = QFileDialog::getExistingDirectory(owner, Q(title), QString(), QFileDialog::ShowDirsOnly);
    return dir.toStdString();
}

fConfig::fConfig(Settings& settings, std::filesystem::path programDir, Prompter& prompter,
                 std::function<void()> endProgram, QWidget* parent)
    : QDialog(parent), settings_(settings), programDir_(std::move(programDir)), prompter_(prompter),
      endProgram_(std::move(endProgram)) {
    setObjectName("fConfig");
    setWindowTitle("Tarquel Configuration");
    browseForFolder = [](const std::string& title) { return BrowseForFolder(nullptr, title); };

    auto* form = new QFormLayout();
    txtServer = new QLineEdit(this);
    cboServerType = new QComboBox(this);
    cboServerType->setEditable(true);
    cboServerType->addItems({"SQL Server", "PostgreSQL", "SQLite3"});
    txtTemp = new QLineEdit(this);
    cmdBrowse = new QPushButton("...", this);
    txtMSGDVDInsert = new QPlainTextEdit(this);
    txtMSGDVDName = new QPlainTextEdit(this);
    for (auto* t : {txtMSGDVDInsert, txtMSGDVDName}) t->setFixedHeight(t->fontMetrics().height() * 4);
    txtDVDSpeed = new QLineEdit(this);
    chkArchive = new QCheckBox("Archive integrated", this);
    chkASAPI = new QCheckBox("Use 'ASAPI' detection-mode for dvd-drive(s)", this);
    chkAuthBurn = new QCheckBox("Request burn authorisation from user", this);
    txtImageFolder = new QLineEdit(this);
    cmdBrowseImage = new QPushButton("...", this);
    cboMediaProfile = new QComboBox(this);
    cboMediaProfile->addItems({MediaProfileName(MediaProfile::Archive), MediaProfileName(MediaProfile::GeneralPurpose)});
    cboMediaProfile->setToolTip("archive: source file names, Implicit VR Little Endian (as ever).\n"
                                "general-purpose: file IDs IM000001 ..., Explicit VR Little Endian, JPEG kept;\n"
                                "a DICOMDIR every DICOM reader opens.");
    cmdOK = new QPushButton("OK", this);
    cmdCancel = new QPushButton("Cancel", this);

    auto withButton = [this](QLineEdit* edit, QPushButton* button) {
        auto* row = new QHBoxLayout();
        row->addWidget(edit, 1);
        button->setFixedWidth(button->fontMetrics().horizontalAdvance("....") + 16);
        row->addWidget(button);
        return row;
    };
    auto* speedRow = new QHBoxLayout();
    txtDVDSpeed->setMaximumWidth(txtDVDSpeed->fontMetrics().horizontalAdvance("00000") + 16);
    speedRow->addWidget(txtDVDSpeed);
    speedRow->addWidget(new QLabel("(0 = max)", this));
    speedRow->addStretch(1);

    form->addRow("DB-Server:", txtServer);
    form->addRow("DB-Server-Type:", cboServerType);
    form->addRow("Temp-Directory:", withButton(txtTemp, cmdBrowse));
    form->addRow("MSG insert DVD:", txtMSGDVDInsert);
    form->addRow("MSG DVD-Name:", txtMSGDVDName);
    form->addRow("DVD-Speed :", speedRow);
    form->addRow("Image folder:", withButton(txtImageFolder, cmdBrowseImage));
    form->addRow("Media profile:", cboMediaProfile);
    form->addRow("", chkArchive);
    form->addRow("", chkASAPI);
    form->addRow("", chkAuthBurn);

    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);

    const std::pair<QWidget*, const char*> names[] = {
        {txtServer, "txtServer"}, {cboServerType, "cboServerType"}, {txtTemp, "txtTemp"},
        {cmdBrowse, "cmdBrowse"}, {txtMSGDVDInsert, "txtMSGDVDInsert"}, {txtMSGDVDName, "txtMSGDVDName"},
        {txtDVDSpeed, "txtDVDSpeed"}, {chkArchive, "chkArchive"}, {chkASAPI, "chkASAPI"},
        {chkAuthBurn, "chkAuthBurn"}, {txtImageFolder, "txtImageFolder"}, {cmdBrowseImage, "cmdBrowseImage"},
        {cboMediaProfile, "cboMediaProfile"}, {cmdOK, "cmdOK"}, {cmdCancel, "cmdCancel"}};
    for (auto [w, name] : names) w->setObjectName(name);

    SetForm(FormFromSettings(settings_));
    connect(cmdOK, &QPushButton::clicked, this, [this] { OkClicked(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { reject(); });
    connect(cmdBrowse, &QPushButton::clicked, this, [this] { BrowseClicked(); });
    connect(cmdBrowseImage, &QPushButton::clicked, this, [this] { BrowseImageClicked(); });
    resize(520, sizeHint().height());
}

ConfigForm fConfig::Form() const {
    ConfigForm f;
    f.Server = txtServer->text().toStdString();
    f.ServerType = cboServerType->currentText().toStdString();
    f.TempPath = txtTemp->text().toStdString();
    // The text boxes break lines with LF; the file format keeps CR LF.
    f.MSGDVDInsert = txtMSGDVDInsert->toPlainText().replace("\n", "\r\n").toStdString();
    f.MSGDVDName = txtMSGDVDName->toPlainText().replace("\n", "\r\n").toStdString();
    f.DVDSpeed = txtDVDSpeed->text().toStdString();
    f.Archive = chkArchive->isChecked();
    f.ASAPI = chkASAPI->isChecked();
    f.AuthBurn = chkAuthBurn->isChecked();
    f.ImageFolder = txtImageFolder->text().toStdString();
    f.MediaProfile = cboMediaProfile->currentText().toStdString();
    return f;
}

void fConfig::SetForm(const ConfigForm& f) {
    txtServer->setText(Q(f.Server));
    cboServerType->setCurrentText(Q(f.ServerType));
    txtTemp->setText(Q(f.TempPath));
    txtMSGDVDInsert->setPlainText(Q(f.MSGDVDInsert).replace("\r\n", "\n"));
    txtMSGDVDName->setPlainText(Q(f.MSGDVDName).replace("\r\n", "\n"));
    chkArchive->setChecked(f.Archive);
    txtDVDSpeed->setText(Q(f.DVDSpeed));
    chkAuthBurn->setChecked(f.AuthBurn);
    chkASAPI->setChecked(f.ASAPI);
    txtImageFolder->setText(Q(f.ImageFolder));
    // A value that names no profile is shown (and saved) as it is.
    if (cboMediaProfile->findText(Q(f.MediaProfile)) < 0) cboMediaProfile->addItem(Q(f.MediaProfile));
    cboMediaProfile->setCurrentText(Q(f.MediaProfile));
}

void fConfig::BrowseClicked() {
    std::string chosen = browseForFolder ? browseForFolder("Select folder") : std::string();
    if (chosen.empty()) return;
    txtTemp->setText(Q(FolderWithSeparator(chosen)));
}

void fConfig::BrowseImageClicked() {
    std::string chosen = browseForFolder ? browseForFolder("Select folder") : std::string();
    if (!chosen.empty()) txtImageFolder->setText(Q(chosen));
}

void fConfig::OkClicked() {
    try {
        SaveConfigForm(Form(), programDir_ / "velunor.ini");
    } catch (const std::exception&) {
        prompter_.Ask("Configuration not saved!", Icon::Critical, Buttons::Ok);
        return;
    }
    if (settings_.Archive != 0) {
        prompter_.Ask("Please restart the application.", Icon::Information, Buttons::Ok);
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w != this && w->objectName() != objectName() && w->isVisible()) w->close();
    } else {
        LoadConfiguration(settings_, programDir_);
    }
    accept();
    if (endProgram_) endProgram_();
}

}  // namespace velunor
