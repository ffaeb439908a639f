// velunor-screenshot: renders the main window (in the middle of a run) and
// the configuration dialog to PNG files for the documentation.
//   velunor-screenshot <output folder>
#include <QApplication>
#include <QPixmap>
#include <iostream>

#include "app/program/program.hpp"
#include "app/program/qt_window.hpp"

int main(int argc, char** argv) {
    using namespace velunor;
    if (argc != 2) {
        std::cerr << "usage: velunor-screenshot <output folder>\n";
        return 2;
    }
    QApplication app(argc, argv);
    const std::filesystem::path out = argv[1];
    QtPrompter prompter;

    Settings settings;
    settings.TempPath = "/var/tmp/velunor-staging/";
    settings.ServerType = "SQLite3";
    settings.Server = "/srv/archive/archive.db";
    settings.MSGDVDInsert = "Please insert an empty DVD-R.";
    settings.MSGDVDName = "Remove the disc\r\nand label it DVD {NAME}.";
    settings.ImageFolder = "/srv/iso";

    // The window as an operator sees it while a disc is being written.
    fVelunor window(std::filesystem::temp_directory_path(), settings, "", prompter, Timing{}, MakeProgramWriter,
                    Phases{});
    window.Drive("Image folder /srv/iso [Speed 16.1X/22160 KBs]", true);
    window.RunStarted();
    for (RunPhase phase : {RunPhase::Collect, RunPhase::DicomDir, RunPhase::Disc}) window.PhaseStarted(phase);
    window.Progress(RunPhase::Collect, kProgressMax);
    window.Progress(RunPhase::DicomDir, kProgressMax);
    window.Progress(RunPhase::Disc, 6200);
    window.Status("Writing disc (62%) ");
    window.CancelAllowed(false);
    window.show();
    QApplication::processEvents();
    bool ok = window.grab().save(QString::fromStdString((out / "main-window.png").string()));

    fConfig dialog(settings, std::filesystem::temp_directory_path(), prompter, [] {});
    dialog.show();
    QApplication::processEvents();
    ok = dialog.grab().save(QString::fromStdString((out / "configuration-dialog.png").string())) && ok;
    return ok ? 0 : 1;
}
