// The whole collection phase over a generated archive: every syntax and
// modality the generator writes, ZIP studies, names that collide across
// studies, extras and subfolders, planted unreadable files, carry-over and
// migrated studies, two archive roots. A study with a planted unreadable
// file is withdrawn whole.
#include <gtest/gtest.h>

#include <set>

#include "collect/collect.hpp"
#include "tests/collect/collect_fixture.hpp"
#include "tools/archive_generator.hpp"

namespace velunor::test {
namespace {

TEST(GeneratedArchive, EveryReadableObjectOfAWholeStudyIsStagedOnceAndEveryUnreadableFileIsLogged) {
    CollectEnv env;
    archive::Options options;
    options.out = env.tmp / "generated";
    options.seed = 20260101;
    options.studies = 14;
    options.filesPerStudy = 4;
    options.fileBytes = 4096;
    options.roots = 2;
    options.zipPercent = 25;
    options.unreadable = 5;
    options.carryOver = 4;
    options.lastDisc = 5;
    options.migrated = 2;
    const archive::Archive generated = archive::GenerateArchive(options);
    const fs::path dbFile = env.tmp / "generated.sqlite";
    archive::WriteSqliteDatabase(generated, dbFile);
    Settings& s = env.shell.settings;
    s.Server = dbFile.string();
    s.ConnectionString = BuildConnectionString(s.ServerType, s.Server);
    env.SetLastMediaNr(" 5 \r\n");

    std::multiset<std::string> expected1, expected2;
    int unreadable1 = 0, unreadable2 = 0, carryOverStudies = 0, newStudies = 0, partly = 0;
    std::set<std::string> unreadableStudies;
    for (const auto& study : generated.studies) {
        if (study.directory1.rfind("migrated", 0) == 0) continue;
        const bool carry = study.directory2 == "DVD 5";
        ASSERT_TRUE(carry || !study.directory2) << study.directory1;
        bool brings = false, failing = false;
        std::vector<std::string> objects;
        for (const auto& f : study.files) {
            if (f.kind == archive::File::Kind::Dicom || f.kind == archive::File::Kind::Zip) {
                objects.push_back(f.sopInstanceUid);
                brings = true;
            } else if (f.kind == archive::File::Kind::Unreadable) {
                ++(carry ? unreadable1 : unreadable2);
                failing = true;
            }
        }
        // A study with an unreadable file goes with its readable ones; one
        // with nothing readable is marked, when it is new.
        if (failing && brings) ++partly;
        if (failing && !brings && !carry) unreadableStudies.insert(study.directory1);
        (carry ? expected1 : expected2).insert(objects.begin(), objects.end());
        if (brings) ++(carry ? carryOverStudies : newStudies);
    }
    ASSERT_GT(unreadable1, 0);
    ASSERT_GT(unreadable2, 0);

    DatenKopieren(env.run);

    const auto staged = [](const fs::path& folder) {
        std::multiset<std::string> uids;
        for (const auto& name : FileNames(folder)) {
            DicomFacts facts = ReadFacts(folder / name);
            EXPECT_EQ(facts.transferSyntax, "1.2.840.10008.1.2") << name;
            uids.insert(facts.instanceUid);
        }
        return uids;
    };
    EXPECT_EQ(staged(env.Staging("DVD/1")), expected1);
    EXPECT_EQ(staged(env.Staging("DVD/2")), expected2);

    int logged1 = 0, logged2 = 0;
    for (const auto& line : env.FileLogLines()) {
        const std::string code = line.substr(std::string(CollectEnv::kStamp).size(), 4);
        if (code.rfind("1-", 0) == 0) ++logged1;
        else if (code.rfind("2-", 0) == 0) ++logged2;
        else ADD_FAILURE() << line;
    }
    EXPECT_EQ(logged1, unreadable1);
    EXPECT_EQ(logged2, unreadable2);

    auto db = OpenDatabase(s.ServerType, s.Server, s.ConnectionString, 30);
    auto rows = db->Query("SELECT StudyDirectory1, StudyDirectory2 FROM tblStudies");
    while (rows->Next()) {
        const std::string dir1 = rows->Field("StudyDirectory1").value_or("");
        const auto dir2 = rows->Field("StudyDirectory2");
        EXPECT_EQ(dir2 == "not readable", unreadableStudies.count(dir1) == 1) << dir1;
    }
    EXPECT_EQ(env.state.summary.carryOverStudies, carryOverStudies);
    EXPECT_EQ(env.state.summary.newStudies, newStudies);
    EXPECT_EQ(static_cast<int>(env.state.summary.partlyUnreadable.size()), partly);
    EXPECT_TRUE(FileNames(env.Staging("Unzip")).empty());
    EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
}

}  // namespace
}  // namespace velunor::test
