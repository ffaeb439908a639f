// Drives whole runs in the test process: the run controller with the
// program's phases and disc writer (an image folder in the tests), short
// waits, and scripted answers. Header only: the suites that use it link the
// program's libraries.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/program/program.hpp"
#include "tests/support/recorded_events.hpp"
#include "tests/support/support.hpp"

namespace velunor::test {

struct RunDriver {
    RecordedEvents events;
    Shell shell;
    std::unique_ptr<DiscWriter> writer;
    std::unique_ptr<RunController> c;

    // Loads velunor.ini from `prog` and lets drive detection find the drive.
    RunDriver(const std::filesystem::path& prog, const std::filesystem::path& marker, const std::string& args,
              Phases phases = ProgramPhases())
        : shell(prog, events) {
        shell.log.markerPath = marker;
        shell.timing.autoTickLimit = 2;
        shell.timing.noticeStep = std::chrono::milliseconds(1);
        shell.timing.detectDelay = std::chrono::milliseconds(1);
        LoadConfiguration(shell.settings, prog);
        writer = MakeProgramWriter(shell.settings);
        c = std::make_unique<RunController>(shell, *writer, std::move(phases), args);
        c->TimerDVDTick();
    }

    // Ticks TimerDVD until the run that is active has ended; at most a minute.
    void Finish() {
        for (int i = 0; i < 6000 && c->Active(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            c->TimerDVDTick();
        }
        ASSERT_FALSE(c->Active());
    }

    // Starts a run and waits for its end; returns its outcome.
    const RunOutcome& RunOnce() {
        EXPECT_TRUE(c->CanStart());
        c->StartClicked();
        Finish();
        return events.Last();
    }
};

}  // namespace velunor::test
