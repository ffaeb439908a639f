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
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

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

fVelunor::fVelunor(std::filesystem::path programDir, Settings settings, std::string argumentText,
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
    QAction* mnuQuit = mnuFile->addAction("Quit");
    mnuQuit->setObjectName("mnuQuit");
    actions_[Control::mnuFile] = mnuFile->menuAction();
    actions_[Control::mnuConfig] = mnuConfig;
    actions_[Control::mnuQuit] = mnuQuit;

    // Phase display: five rows of label and bar, then the status line.
    auto* central = new QWidget(this);
    auto* outer = new QVBoxLayout(central);
    auto* stack = new QWidget(central);
    auto* stackLayout = new QGridLayout(stack);
    stackLayout->setContentsMargins(0, 0, 0, 0);
    auto* Frame1 = new QGroupBox(stack);
    auto* frameLayout = new QVBoxLayout(Frame1);
    const std::pair<Control, Control> rows[] = {{Control::lblSammeln, Control::pbSammeln},
                                                {Control::lblDicomDir, Control::pbDicomDir},
                                                {Control::lblDVD, Control::pbDisk},
                                                {Control::lblVerifyDVD, Control::pbVer},
                                                {Control::lblUpdate, Control::pbDB}};
    PanelState initial;
    for (auto [lbl, pb] : rows) {
        auto* label = new QLabel(Q(initial.at(lbl).caption), Frame1);
        auto* progress = new QProgressBar(Frame1);
        progress->setRange(0, 10000);
        progress->setValue(0);
        progress->setTextVisible(false);
        label->setVisible(false);
        // Rows keep their place while their label is hidden.
        QSizePolicy keep = label->sizePolicy();
        keep.setRetainSizeWhenHidden(true);
        label->setSizePolicy(keep);
        frameLayout->addWidget(label);
        frameLayout->addWidget(progress);
        widgets_[lbl] = label;
        widgets_[pb] = progress;
    }
    auto* lblCur = new QLabel(Frame1);
    lblCur->setMinimumHeight(lblCur->fontMetrics().height() * 2);
    lblCur->setWordWrap(true);
    frameLayout->addWidget(lblCur);
    widgets_[Control::lblCur] = lblCur;
    widgets_[Control::Frame1] = Frame1;

    auto* Picture1 = new QFrame(stack);
    Picture1->setAutoFillBackground(true);
    Picture1->setFrameShape(QFrame::StyledPanel);
    auto* pictureLayout = new QVBoxLayout(Picture1);
    auto* lblInfo = new QLabel(Picture1);
    lblInfo->setAlignment(Qt::AlignCenter);
    lblInfo->setWordWrap(true);
    QFont big = lblInfo->font();
    big.setPointSizeF(big.pointSizeF() * 1.3);
    lblInfo->setFont(big);
    pictureLayout->addWidget(lblInfo);
    widgets_[Control::Picture1] = Picture1;
    widgets_[Control::lblInfo] = lblInfo;
    stackLayout->addWidget(Frame1, 0, 0);
    stackLayout->addWidget(Picture1, 0, 0);  // lies over the phase display
    outer->addWidget(stack, 1);

    auto* lblDrive = new QLabel(Q(initial.at(Control::lblDrive).caption), central);
    lblDrive->setWordWrap(true);
    outer->addWidget(lblDrive);
    widgets_[Control::lblDrive] = lblDrive;

    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    auto* cmdStarten = new QPushButton("Start", central);
    auto* cmdCancel = new QPushButton("Cancel", central);
    cmdStarten->setEnabled(false);
    buttons->addWidget(cmdStarten);
    buttons->addWidget(cmdCancel);
    outer->addLayout(buttons);
    widgets_[Control::cmdStarten] = cmdStarten;
    widgets_[Control::cmdCancel] = cmdCancel;
    setCentralWidget(central);
    resize(460, 420);

    for (auto& [c, w] : widgets_) w->setObjectName(Q(ControlName(c)));

    // Timers.
    auto makeTimer = [&](Timer t, const char* name, std::chrono::milliseconds interval) {
        auto* qt = new QTimer(this);
        qt->setObjectName(name);
        qt->setInterval(static_cast<int>(interval.count()));
        timers_[t] = qt;
        return qt;
    };
    QTimer* TimerDVD = makeTimer(Timer::TimerDVD, "TimerDVD", timing.timerDVD);
    QTimer* TimerReady = makeTimer(Timer::TimerReady, "TimerReady", timing.timerReady);
    QTimer* TimerWrite = makeTimer(Timer::TimerWrite, "TimerWrite", timing.timerWrite);

    controller_ = std::make_unique<RunController>(shell_, *writer_, std::move(phases), std::move(argumentText));
    connect(TimerDVD, &QTimer::timeout, this, [this] { controller_->TimerDVDTick(); });
    connect(TimerReady, &QTimer::timeout, this, [this] { controller_->TimerReadyTick(); });
    connect(TimerWrite, &QTimer::timeout, this, [this] { controller_->TimerWriteTick(); });
    connect(cmdStarten, &QPushButton::clicked, this, [this] { controller_->StartClicked(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { controller_->CancelClicked(); });
    connect(mnuQuit, &QAction::triggered, this, [this] { Quit(); });
    connect(mnuConfig, &QAction::triggered, this, [this] {
        if (openConfig) openConfig();
    });
}

fVelunor::~fVelunor() {
    for (auto& [t, qt] : timers_) qt->stop();
}

void fVelunor::Start() { controller_->Load(); }

QWidget* fVelunor::widget(Control c) const {
    auto it = widgets_.find(c);
    return it == widgets_.end() ? nullptr : it->second;
}
QProgressBar* fVelunor::bar(Control c) const { return qobject_cast<QProgressBar*>(widget(c)); }
QAction* fVelunor::action(Control c) const {
    auto it = actions_.find(c);
    return it == actions_.end() ? nullptr : it->second;
}
QTimer* fVelunor::timer(Timer t) const { return timers_.at(t); }

Answer fVelunor::MessageBox(const std::string& text, Icon icon, Buttons buttons) {
    return prompter_.Ask(text, icon, buttons);
}

void fVelunor::SetCaption(Control c, const std::string& text) {
    if (auto* l = qobject_cast<QLabel*>(widget(c))) l->setText(Q(text));
    else if (auto* b = qobject_cast<QPushButton*>(widget(c))) b->setText(Q(text));
    else if (auto* a = action(c)) a->setText(Q(text));
}
std::string fVelunor::Caption(Control c) const {
    if (auto* l = qobject_cast<QLabel*>(widget(c))) return l->text().toStdString();
    if (auto* b = qobject_cast<QPushButton*>(widget(c))) return b->text().toStdString();
    if (auto* a = action(c)) return a->text().toStdString();
    return {};
}
void fVelunor::SetVisible(Control c, bool visible) {
    if (auto* w = widget(c)) w->setVisible(visible);
    else if (auto* a = action(c)) a->setVisible(visible);
}
bool fVelunor::IsVisible(Control c) const {
    // The control's own flag, whether or not the window is shown.
    if (auto* w = widget(c)) return !w->isHidden();
    if (auto* a = action(c)) return a->isVisible();
    return false;
}
void fVelunor::SetEnabled(Control c, bool enabled) {
    if (auto* w = widget(c)) w->setEnabled(enabled);
    else if (auto* a = action(c)) a->setEnabled(enabled);
}
bool fVelunor::IsEnabled(Control c) const {
    if (auto* w = widget(c)) return w->isEnabled();
    if (auto* a = action(c)) return a->isEnabled();
    return false;
}
void fVelunor::SetValue(Control c, int value) {
    if (auto* b = bar(c)) b->setValue(std::clamp(value, 0, b->maximum()));
}
int fVelunor::Value(Control c) const {
    auto* b = bar(c);
    return b ? b->value() : 0;
}
void fVelunor::SetMaximum(Control c, int maximum) {
    if (auto* b = bar(c)) b->setMaximum(std::max(maximum, 0));
}
int fVelunor::Maximum(Control c) const {
    auto* b = bar(c);
    return b ? b->maximum() : 0;
}
void fVelunor::Repaint(Control c) {
    if (auto* w = widget(c)) w->repaint();
}
void fVelunor::Yield() { QCoreApplication::processEvents(); }
void fVelunor::ShowMainWindow(bool visible) { setVisible(visible); }
bool fVelunor::MainWindowVisible() const { return isVisible(); }
void fVelunor::SetTimerEnabled(Timer t, bool enabled) {
    if (enabled) timer(t)->start();
    else timer(t)->stop();
}
bool fVelunor::TimerEnabled(Timer t) const { return timer(t)->isActive(); }

void fVelunor::RunModalNotice(const std::string& title, const std::string& text, std::chrono::milliseconds interval,
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
    for (auto& [t, qt] : timers_) qt->stop();
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
        {cmdOK, "cmdOK"}, {cmdCancel, "cmdCancel"}};
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
