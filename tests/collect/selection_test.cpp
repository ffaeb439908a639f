// Which studies a run takes, against a real archive database: the studies
// of the last disc, the studies on no disc whose folder exists, the archive
// roots, the media number, and keys that are no numbers.
#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
namespace {

TEST_P(CollectBackend, CarryOverIsExactlyDiscNAndNewStudiesAreThoseOnNoDiscWithAFolder) {
    env->shell.settings.Archive = 1;
    env->SetLastMediaNr(" 7 \r\n");
    env->AddDicomStudy(1, "c1", 1, "DVD 7");
    env->AddDicomStudy(2, "c2", 1, "DVD 70");
    env->AddDicomStudy(3, "c3", 1, "DVD 7|DVD 8");
    env->AddDicomStudy(4, "c4", 1, "DVD 6|DVD 7");
    env->AddStudy(5, "gone", "DVD 7");   // its folder is gone: skipped, its record stays
    env->AddDicomStudy(12, "migrated_s12", 1, std::nullopt);
    env->AddDicomStudy(13, "s13", 1, "not readable");
    env->AddDicomStudy(14, "s14", 1, "DVD 3");
    env->AddDicomStudy(15, "O'Brien^Anna 2024", 1, std::nullopt);
    env->AddDicomStudy(11, "s11", 1, "");
    env->AddDicomStudy(10, "s10", 1, std::nullopt);   // inserted last, selected first
    // Under both roots: the ArchiveUNC folder is the one copied.
    env->AddDicomStudy(21, "both", 1, std::nullopt);
    WriteDicom(env->Folder("both", env->local) / "IM00001.dcm", StudyUid(21), Uid(21, 9));
    // Only under ArchivePath: selected, but the copy names the ArchiveUNC
    // folder, so it waits. Nowhere at all: never selected.
    WriteDicom(env->Folder("s16", env->local) / "a.dcm", StudyUid(16), Uid(16, 1));
    env->AddStudy(16, "s16", std::nullopt);
    env->AddStudy(19, "s19", std::nullopt);
    // Archives without an ArchiveUNC, with an empty one, and without roots.
    const fs::path local2 = env->tmp / "local2", local3 = env->tmp / "local3";
    env->archive.AddArchive(2, std::nullopt, local2.string());
    env->archive.AddArchive(3, "", local3.string());
    env->archive.AddArchive(4, std::nullopt, std::nullopt);
    WriteDicom(env->Folder("s17", local2) / "b.dcm", StudyUid(17), Uid(17, 1));
    WriteDicom(env->Folder("s18", local3) / "c.dcm", StudyUid(18), Uid(18, 1));
    env->AddStudy(17, "s17", std::nullopt, 2);
    env->AddStudy(18, "s18", "", 3);
    env->AddStudy(20, "s10", std::nullopt, 4);

    const Collected out = env->Collect();

    EXPECT_EQ(out.lastDisc, 7);
    EXPECT_FALSE(out.write);   // a few KB: too little for a disc
    EXPECT_EQ(Instances(env->Staging("DVD/1")), std::multiset<std::string>{Uid(1, 1)});
    EXPECT_EQ(Instances(env->Staging("DVD/2")),
              (std::multiset<std::string>{Uid(10, 1), Uid(11, 1), Uid(15, 1), Uid(17, 1), Uid(18, 1), Uid(21, 1)}));
    for (int id : {16, 19, 12}) EXPECT_EQ(env->Dir2(id), std::nullopt) << id;
    EXPECT_EQ(env->Dir2(5), "DVD 7");
    EXPECT_EQ(env->Dir2(13), "not readable");
    const auto files = env->FileLogLines();
    ASSERT_EQ(files.size(), 1u) << ::testing::PrintToString(files);
    EXPECT_TRUE(AnyLineHas(files, "2-0 " + (env->unc / "s16").string() + "/", "Source folder does not exist"));
    EXPECT_TRUE(env->ErrorLog().empty());

    // The selection's limit takes the first studies in key order.
    CollectLimits two;
    two.maxNewStudies = 2;
    env->Collect(two);
    EXPECT_EQ(Instances(env->Staging("DVD/2")), (std::multiset<std::string>{Uid(10, 1), Uid(11, 1)}));
}

// Archive databases whose key is text can hold a key that is no number; it
// must never become part of a statement.
TEST_P(CollectBackend, AKeyThatIsNoNumberEndsTheRunAndIsNeverPastedIntoAStatement) {
    Database& db = env->archive.db();
    db.Execute("DROP VIEW View_Studies");
    db.Execute("DROP TABLE tblStudies");
    db.Execute("CREATE TABLE tblStudies (StudyID VARCHAR(64) PRIMARY KEY, StudyUID VARCHAR(64), "
               "StudyDirectory1 VARCHAR(255), StudyDirectory2 VARCHAR(255), ArchiveID INTEGER)");
    db.Execute("CREATE VIEW View_Studies AS SELECT tblStudies.StudyID, tblStudies.StudyDirectory1, "
               "tblArchives.ArchiveUNC, tblArchives.ArchivePath FROM tblStudies "
               "JOIN tblArchives ON tblArchives.ArchiveID = tblStudies.ArchiveID");
    env->shell.settings.Archive = 1;
    env->AddDicomStudy(1, "c1", 1, "DVD 3");
    const std::string hostile = "'0' OR '1'='1'";
    WriteAll(env->Folder("hostile") / "x.dcm", "no DICOM file");
    db.Execute("INSERT INTO tblStudies (StudyID, StudyUID, StudyDirectory1, StudyDirectory2, ArchiveID) "
               "VALUES (?, '1.2.3', 'hostile', NULL, 1)",
               {hostile});

    const Collected out = env->Collect();

    EXPECT_FALSE(out.write);
    EXPECT_TRUE(AnyLineHas(env->ErrorLog(), hostile));
    EXPECT_EQ(Instances(env->Staging("DVD/2")).count(Uid(1, 1)), 0u);   // a study of another disc
    const auto dir2 = [&db](const std::string& dir1) {
        auto rows = db.Query("SELECT StudyDirectory2 FROM tblStudies WHERE StudyDirectory1 = ?", {dir1});
        return rows->Next() ? rows->Field("StudyDirectory2") : "(no study)";
    };
    EXPECT_EQ(dir2("c1"), "DVD 3");
    EXPECT_EQ(dir2("hostile"), std::nullopt);
}

// LastMediaNr: the first line, blanks around the number; anything else is
// refused before the staging tree is touched, as is the last number, whose
// next disc would not fit the disc numbers.
TEST(CollectMediaNumber, ReadOrRefusedBeforeAnythingIsStaged) {
    CollectEnv env;
    env.shell.settings.Archive = 1;
    env.AddDicomStudy(1, "n1", 1, std::nullopt);
    const std::string file = (env.programDir / "LastMediaNr").string();
    struct Case {
        std::optional<std::string> content;   // nullopt: no file; "/": a folder
        std::optional<std::int32_t> number;   // nullopt: refused
        std::string named;                    // what the refusal names
    };
    const Case cases[] = {
        {std::nullopt, 0, ""}, {" 7 \r\n", 7, ""},    {"\t+12\r\n", 12, ""},     {"\r\n5\r\n", 0, ""},
        {"x7\r\n", {}, file},  {"7 8\r\n", {}, file}, {"   \r\n", {}, file},    {"2147483648\r\n", {}, file},
        {"-3\r\n", {}, file},  {"/", {}, file},       {" 2147483647 \r\n", {}, "DVD 2147483648"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.value_or("(none)"));
        fs::remove_all(file);
        if (c.content == "/") fs::create_directory(file);
        else if (c.content) env.SetLastMediaNr(*c.content);
        fs::create_directories(env.Staging("DVD/2"));
        WriteAll(env.Staging("DVD/2/old.dcm"), "left by an earlier run");
        const std::size_t logged = env.ErrorLog().size();

        const Collected out = env.Collect();

        EXPECT_EQ(out.couldNotStart, !c.number);
        if (c.number) {
            EXPECT_EQ(out.lastDisc, *c.number);
            EXPECT_EQ(Instances(env.Staging("DVD/2")), std::multiset<std::string>{Uid(1, 1)});
            continue;
        }
        EXPECT_TRUE(fs::exists(env.Staging("DVD/2/old.dcm")));
        const auto log = env.ErrorLog();
        ASSERT_EQ(log.size(), logged + 1);
        EXPECT_TRUE(AnyLineHas({log.back()}, c.named)) << log.back();
    }
}

}  // namespace
}  // namespace velunor::test
