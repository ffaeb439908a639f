// velunor: the desktop program. Starts the main window (hidden with "AUTO"),
// or only the configuration dialog when the arguments contain "CONFIG".
#include <QApplication>
#include <QMessageBox>

#include "app/program/program.hpp"
#include "app/program/qt_window.hpp"

int main(int argc, char** argv) {
    using namespace velunor;
    QApplication app(argc, argv);
    app.setApplicationName(QString::fromUtf8(kTitle.data(), static_cast<int>(kTitle.size())));
    // An unattended program with a hidden window must not end when a message box closes.
    app.setQuitOnLastWindowClosed(false);

    const std::filesystem::path programDir = ProgramDirectory();
    const std::string args = ArgumentText(argc, argv);
    QtPrompter prompter;

    Settings settings;
    if (WantsConfigDialog(args)) {
        // The configuration file is not read on this path: the dialog shows empty fields.
        fConfig dialog(settings, programDir, prompter, [] { QCoreApplication::quit(); });
        QObject::connect(&dialog, &QDialog::rejected, [] { QCoreApplication::quit(); });
        dialog.show();
        return app.exec();
    }

    if (std::string problem = StartupProblem(); !problem.empty()) {
        prompter.Ask(problem, Icon::Critical, Buttons::Ok);
        return 2;
    }

    LoadConfiguration(settings, programDir);
    fVelunor window(programDir, settings, args, prompter, Timing{}, MakeProgramWriter, ProgramPhases());
    window.openConfig = [&window, &prompter, programDir] {
        fConfig dialog(window.shell().settings, programDir, prompter, [&window] { window.Quit(); }, &window);
        dialog.exec();
    };
    window.Start();
    return app.exec();
}
