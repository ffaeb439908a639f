// What the database update needs around it in a test: a fresh archive
// database (SQLite, or a schema on the PostgreSQL test server), a program
// folder whose settings reach it, recorded run events and a scripted drive.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/run.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/recorded_events.hpp"
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"

namespace velunor::test {

struct DbUpdateEnv {
    TempDir dir;
    std::unique_ptr<TestArchive> db;
    RecordedEvents events;
    std::unique_ptr<Shell> shell;
    ScriptedDrive drive;

    // Creates the database with archive 1 at `archivePath`, and the shell.
    void Open(ArchiveKind kind, const std::string& archivePath) {
        db = std::make_unique<TestArchive>(kind, dir.path());
        db->AddArchive(1, std::nullopt, archivePath);
        std::filesystem::create_directories(dir / "prog");
        shell = std::make_unique<Shell>(dir / "prog", events);
        shell->log.markerPath = dir / "Velunor.ready";
        shell->settings.ServerType = db->serverType();
        shell->settings.Server = db->server();
        shell->settings.ConnectionString = db->connectionString();
        shell->settings.TempPath = (dir / "staging").string() + "/";
    }

    Run MakeRun() { return Run{*shell, drive}; }
    // Disc n + 1 holding `studies1` in 1/ and `studies2` in 2/, read back
    // from an optical disc (not an image that stays).
    VerifiedDisc Verified(std::int32_t n, std::vector<std::string> studies1, std::vector<std::string> studies2,
                          bool imageStays = false) const {
        return {StagedDisc{n, StagingTree(shell->settings.TempPath)}, std::move(studies1), std::move(studies2),
                imageStays};
    }
};

}  // namespace velunor::test
