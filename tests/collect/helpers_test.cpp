// The phase's helpers on their own: folders, names, the source folder rule,
// the media number file and the "not readable" mark.
#include <gtest/gtest.h>

#include "app/error.hpp"
#include "collect/collect.hpp"
#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
namespace {

TEST(MakePath, CreatesEveryMissingLevelAlsoBelowADoubleSlashRoot) {
    CollectEnv env;
    const std::string deep = "/" + (env.tmp / "a" / "b" / "c").string() + "/";   // "//tmp/..."
    ASSERT_EQ(deep.rfind("//", 0), 0u);
    EXPECT_TRUE(MakePath(env.shell, deep));
    EXPECT_TRUE(fs::is_directory(env.tmp / "a" / "b" / "c"));
    EXPECT_TRUE(MakePath(env.shell, (env.tmp / "a").string() + "//x///y"));   // no trailing slash, doubled ones
    EXPECT_TRUE(fs::is_directory(env.tmp / "a" / "x" / "y"));
    EXPECT_TRUE(env.ErrorLog().empty());
}

TEST(MakePath, ReportsAFolderItCannotCreate) {
    CollectEnv env;
    env.shell.settings.Archive = 1;
    WriteAll(env.tmp / "f", "x");
    const std::string path = (env.tmp / "f" / "g").string() + "/";
    EXPECT_FALSE(MakePath(env.shell, path));
    auto log = env.ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].ends_with("MakePath(" + path + ")")) << log[0];
    EXPECT_NE(log[0].find((env.tmp / "f").string()), std::string::npos);
    EXPECT_TRUE(env.prompter.shown.empty());
}

TEST(EmptyFolder, DeletesOnlyTheFilesDirectlyInTheFolder) {
    TempDir tmp;
    const fs::path folder = tmp / "DVD";
    fs::create_directories(folder / "1");
    WriteAll(folder / "Dicomdir", "x");
    WriteAll(folder / "readonly.dcm", "x");
    fs::permissions(folder / "readonly.dcm", fs::perms::owner_read);
    WriteAll(folder / "1" / "kept.dcm", "x");
    fs::create_directories(tmp / "elsewhere");
    WriteAll(tmp / "elsewhere" / "target.dcm", "x");
    fs::create_directory_symlink(tmp / "elsewhere", folder / "link");

    EmptyFolder(folder.string());   // without the trailing "/"

    EXPECT_FALSE(fs::exists(folder / "Dicomdir"));
    EXPECT_FALSE(fs::exists(folder / "readonly.dcm"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "link")));   // the link, not what it points to
    EXPECT_TRUE(fs::exists(tmp / "elsewhere" / "target.dcm"));
    EXPECT_TRUE(fs::exists(folder / "1" / "kept.dcm"));

    EXPECT_NO_THROW(EmptyFolder((tmp / "missing").string() + "/"));
    EXPECT_THROW(EmptyFolder((tmp / "elsewhere" / "target.dcm").string()), Error);
    EXPECT_THROW(EmptyFolder(""), Error);
}

TEST(FreeName, KeepsTheNameUnlessTaken) {
    TempDir tmp;
    EXPECT_EQ(FreeName(tmp.path(), "IM1.dcm"), "IM1.dcm");
    WriteAll(tmp / "IM1.dcm", "x");
    EXPECT_EQ(FreeName(tmp.path(), "IM1.dcm"), "IM1_1.dcm");
    WriteAll(tmp / "IM1_1.dcm", "x");
    EXPECT_EQ(FreeName(tmp.path(), "IM1.dcm"), "IM1_2.dcm");
    WriteAll(tmp / "dcm", "x");
    EXPECT_EQ(FreeName(tmp.path(), "dcm"), "dcm_1");
    fs::create_directory(tmp / "sub.dcm");
    EXPECT_EQ(FreeName(tmp.path(), "sub.dcm"), "sub_1.dcm");
}

TEST(SourceFolder, PrefersArchiveUncAndJoinsValuesAsTheyAre) {
    EXPECT_EQ(SourceFolder({"s", "/unc", "/local"}), "/unc/s/");
    EXPECT_EQ(SourceFolder({"s", "/unc/", std::nullopt}), "/unc//s/");
    EXPECT_EQ(SourceFolder({"s", "", "/local"}), "/local/s/");
    EXPECT_EQ(SourceFolder({"s", std::nullopt, "/local"}), "/local/s/");
    EXPECT_EQ(SourceFolder({" s ", "/unc", std::nullopt}), "/unc/ s /");
    EXPECT_EQ(SourceFolder({"s", std::nullopt, ""}), std::nullopt);
    EXPECT_EQ(SourceFolder({std::nullopt, "/unc", "/local"}), std::nullopt);
    EXPECT_EQ(SourceFolder({"", "/unc", "/local"}), std::nullopt);   // never the archive root itself
}

TEST(LastMediaNr, FirstLineWithBlanksAroundTheNumber) {
    TempDir tmp;
    EXPECT_EQ(ReadLastMediaNr(tmp.path()), 0);   // no file
    const auto set = [&](const std::string& content) { WriteAll(tmp / "LastMediaNr", content); };
    set(" 7 \r\n");
    EXPECT_EQ(ReadLastMediaNr(tmp.path()), 7);
    set("12");
    EXPECT_EQ(ReadLastMediaNr(tmp.path()), 12);
    set("2147483647\r\n");
    EXPECT_EQ(ReadLastMediaNr(tmp.path()), 2147483647);
    set("");
    EXPECT_EQ(ReadLastMediaNr(tmp.path()), 0);
    set("\r\n9\r\n");
    EXPECT_EQ(ReadLastMediaNr(tmp.path()), 0);
    // Every refusal names the file.
    const auto refused = [&](const std::string& why) {
        try {
            ReadLastMediaNr(tmp.path());
            ADD_FAILURE() << why << ": read as a number";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find((tmp / "LastMediaNr").string()), std::string::npos) << e.what();
        }
    };
    for (const char* bad : {"abc\r\n", "7 8\r\n", "   \r\n", "2147483648\r\n", "7x", "-3\r\n"}) {
        set(bad);
        refused(bad);
    }
    fs::remove(tmp / "LastMediaNr");
    fs::create_directory(tmp / "LastMediaNr");
    refused("a folder");
}

// The number after LastMediaNr's must fit the media number: refused before
// anything is staged or selected.
TEST(LastMediaNr, TheLastNumberRefusesTheRunBeforeAnythingIsStaged) {
    CollectEnv env;
    env.shell.settings.Archive = 1;
    env.SetLastMediaNr(" 2147483647 \r\n");
    env.AddDicomStudy(1, "n1", 1, std::nullopt);

    EXPECT_FALSE(DatenKopieren(env.run));

    EXPECT_TRUE(env.state.summary.couldNotStart);
    EXPECT_FALSE(fs::exists(env.Staging("DVDTemp")));
    const auto log = env.ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("DVD 2147483648"), std::string::npos) << log[0];
    EXPECT_EQ(Lines(env.programDir / "LastMediaNr"), std::vector<std::string>{" 2147483647 "});
}

TEST(MarkStudyNotReadable, MarksTheOneStudyOfTheKeyAndNeverADiscRecord) {
    CollectEnv env;
    env.AddStudy(1, "a'b", std::nullopt);
    env.AddStudy(2, "a'b", "");
    env.AddStudy(3, "a'b", "DVD 4");
    MarkStudyNotReadable(env.db, "1");
    MarkStudyNotReadable(env.db, "3");
    MarkStudyNotReadable(env.db, "1 OR 1=1");   // not a key: nothing happens
    EXPECT_EQ(env.Dir2(1), "not readable");
    EXPECT_EQ(env.Dir2(2), "");
    EXPECT_EQ(env.Dir2(3), "DVD 4");
    MarkStudyNotReadable(nullptr, "2");   // no connection: nothing happens, nothing thrown
    env.db->Execute("DROP VIEW View_Studies");
    env.db->Execute("DROP TABLE tblStudies");
    MarkStudyNotReadable(env.db, "2");   // a failing statement is swallowed
}

TEST(FolderBytes, CountsEveryFileBelowTheFolder) {
    TempDir tmp;
    SparseFile(tmp / "a", 1'500'000'000);
    fs::create_directory(tmp / "sub");
    WriteAll(tmp / "sub" / "b", "12345");
    EXPECT_EQ(FolderBytes(tmp.path()), 1'500'000'005u);
    EXPECT_THROW(FolderBytes(tmp / "missing"), Error);
}

}  // namespace
}  // namespace velunor::test
