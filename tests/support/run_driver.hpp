// Drives whole runs in the test process: the run controller on a headless
// window with the program's phases and disc writer (an image folder in the
// tests), short waits, and scripted answers. Header only: the suites that use
// it link the program's libraries.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/program/program.hpp"
#include "tests/support/support.hpp"

namespace velunor::test {

struct RunDriver {
    ScriptedPrompter prompter;
    HeadlessWindow window{prompter, FakeSleep{}};
    Shell shell;
    std::unique_ptr<DiscWriter> writer;
    std::unique_ptr<RunController> c;

    // Loads velunor.ini from `prog` and lets drive detection find the drive.
    RunDriver(const std::filesystem::path& prog, const std::filesystem::path& marker, const std::string& args,
              Phases phases = ProgramPhases())
        : shell(prog, window) {
        shell.log.markerPath = marker;
        shell.settings.StartupPending = true;
        shell.timing.autoTickLimit = 2;
        shell.timing.noticeStep = std::chrono::milliseconds(1);
        shell.timing.detectDelay = std::chrono::milliseconds(1);
        LoadConfiguration(shell.settings, prog);
        writer = MakeProgramWriter(shell.settings);
        c = std::make_unique<RunController>(shell, *writer, std::move(phases), args);
        c->Load();
        c->TimerDVDTick();
    }

    // Ticks TimerDVD until the run that is active (or about to start) has
    // ended; at most a minute.
    void Finish() {
        for (int i = 0; i < 6000 && c->state.RunActive; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            c->TimerDVDTick();
        }
        ASSERT_FALSE(c->state.RunActive);
    }

    // Starts a run with the Start button and waits for its end.
    void RunOnce() {
        ASSERT_TRUE(window.IsEnabled(Control::cmdStarten));
        c->StartClicked();
        Finish();
    }
};

}  // namespace velunor::test
