// What the database update needs around it in a test: a fresh archive
// database (SQLite, or a schema on the PostgreSQL test server), a program
// folder whose settings reach it, a headless window and a scripted drive.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/run.hpp"
#include "tests/support/archive_db.hpp"
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"

namespace velunor::test {

struct DbUpdateEnv {
    TempDir dir;
    std::unique_ptr<TestArchive> db;
    ScriptedPrompter prompter;
    HeadlessWindow window{prompter, FakeSleep{}};
    std::unique_ptr<Shell> shell;
    ScriptedDrive drive;
    RunState state;

    // Creates the database with archive 1 at `archivePath`, and the shell.
    void Open(ArchiveKind kind, const std::string& archivePath) {
        db = std::make_unique<TestArchive>(kind, dir.path());
        db->AddArchive(1, std::nullopt, archivePath);
        std::filesystem::create_directories(dir / "prog");
        shell = std::make_unique<Shell>(dir / "prog", window);
        shell->log.markerPath = dir / "Velunor.ready";
        shell->settings.ServerType = db->serverType();
        shell->settings.Server = db->server();
        shell->settings.ConnectionString = db->connectionString();
        shell->settings.TempPath = (dir / "staging").string() + "/";
    }
};

}  // namespace velunor::test
