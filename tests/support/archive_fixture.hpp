// A generated archive recorded in a test database, and a program folder
// whose velunor.ini reaches it (staging below dir/staging, images in
// dir/iso): where the whole-run, check and label tests begin.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/archive_db.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace velunor::test {

struct ArchiveFixture {
    TempDir dir;
    TestArchive db;
    archive::Archive generated;
    std::filesystem::path prog = dir / "prog";

    // Generates `options` below dir/archive and records every root and
    // study; a study's StudyDirectory2 is `directory2(study)`, by default
    // the generator's.
    ArchiveFixture(ArchiveKind kind, archive::Options options,
                   const std::function<SqlParam(const archive::Study&)>& directory2 = {})
        : db(kind, dir.path()) {
        options.out = dir / "archive";
        generated = archive::GenerateArchive(options);
        for (const auto& r : generated.roots) db.AddArchive(r.archiveId, r.unc, r.path);
        for (const auto& s : generated.studies)
            db.AddStudy(s.studyId, s.studyUid, s.directory1, directory2 ? directory2(s) : s.directory2, s.archiveId);
        std::filesystem::create_directories(prog);
        std::filesystem::create_directories(dir / "iso");
    }

    // velunor.ini: the database (`server`, by default the test database's),
    // the staging tree and the image folder, then `lines`.
    void WriteIni(const std::string& lines, std::string server = "") const {
        if (server.empty()) server = db.server();
        WriteAll(prog / "velunor.ini", "[CONFIG]\nServerType=" + db.serverType() + "\nServer=" + server +
                                           "\nTempPath=" + (dir / "staging").string() +
                                           "\nImageFolder=" + (dir / "iso").string() + "\n" + lines);
    }

    std::filesystem::path Iso(int n) const { return dir / "iso" / ("DVD " + std::to_string(n) + ".iso"); }
};

}  // namespace velunor::test
