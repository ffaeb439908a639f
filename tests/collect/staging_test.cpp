// The staging copy on real files: which files are staged under which names,
// archives, unreadable files, name clashes, what earlier runs left behind,
// and a study that cannot be moved whole.
#include <gtest/gtest.h>

#include <set>

#include "collect/collect.hpp"
#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
namespace {

const std::string kImplicit = "1.2.840.10008.1.2";
const fs::path kPydicomFiles = "/usr/lib/python3/dist-packages/pydicom/data/test_files";

std::string Uid(int study, int instance) { return CollectEnv::StudyUid(study) + "." + std::to_string(instance); }

std::vector<std::string> Instances(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& name : FileNames(folder)) out.push_back(ReadFacts(folder / name).instanceUid);
    return out;
}

TEST(Staging, DicomFilesAndArchivesAreRewrittenUnderTheirNames) {
    CollectEnv env;
    const fs::path f = env.Folder("s1");
    WriteDicom(f / "a.DCM", CollectEnv::StudyUid(1), Uid(1, 1));
    WriteDicom(f / "b.dcm", CollectEnv::StudyUid(1), Uid(1, 2));
    WriteDicom(f / "dcm", CollectEnv::StudyUid(1), Uid(1, 3));
    WriteDicom(f / "c.dicom", CollectEnv::StudyUid(1), Uid(1, 4));   // not an extension it takes
    WriteAll(f / "readme", "notes");
    fs::create_directory(f / "sub");
    WriteDicom(f / "sub" / "d.dcm", CollectEnv::StudyUid(1), Uid(1, 5));   // subfolders are not visited
    WriteDicom(env.tmp / "Series.dcm", CollectEnv::StudyUid(1), Uid(1, 6));
    WriteZip(f / "Series.Zip", {{"nested/folder/Series.dcm", env.tmp / "Series.dcm"}});
    env.AddStudy(1, "s1", std::nullopt);

    const fs::path sample = kPydicomFiles / "CT_small.dcm";
    const bool haveSample = fs::exists(sample);
    if (haveSample) {
        fs::copy_file(sample, env.Folder("s2") / "CT_small.dcm");
        env.AddStudy(2, "s2", std::nullopt, 1, ReadFacts(sample).studyUid);
    }

    DatenKopieren(env.run);

    std::vector<std::string> expected{"Series.dcm", "a.DCM", "b.dcm", "dcm"};
    if (haveSample) expected.insert(expected.begin(), "CT_small.dcm");
    const fs::path dvd2 = env.Staging("DVD/2");
    ASSERT_EQ(FileNames(dvd2), expected);
    for (const auto& name : expected) {
        DicomFacts facts = ReadFacts(dvd2 / name);
        EXPECT_EQ(facts.transferSyntax, kImplicit) << name;
    }
    EXPECT_EQ(ReadFacts(dvd2 / "a.DCM").instanceUid, Uid(1, 1));
    EXPECT_EQ(ReadFacts(dvd2 / "dcm").instanceUid, Uid(1, 3));
    EXPECT_EQ(ReadFacts(dvd2 / "Series.dcm").instanceUid, Uid(1, 6));
    if (haveSample) {
        EXPECT_EQ(ReadFacts(dvd2 / "CT_small.dcm").studyUid, ReadFacts(sample).studyUid);
    }
    EXPECT_TRUE(FileNames(env.Staging("Unzip")).empty());
    EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
    EXPECT_TRUE(env.FileLogLines().empty());
    EXPECT_EQ(env.Dir2(1), std::nullopt);
    EXPECT_TRUE(fs::exists(f / "a.DCM"));   // the archive itself is only read
}

TEST(Staging, CarryOverFailuresUseTheirOwnCodesAndTheDebugLogFollowsTheFiles) {
    CollectEnv env;
    env.shell.settings.DebugMode = true;
    env.SetLastMediaNr(" 3 \r\n");
    const fs::path f = env.Folder("c1");
    WriteDicom(f / "good.dcm", CollectEnv::StudyUid(1), Uid(1, 1));
    WriteAll(f / "bad.dcm", "garbage");
    WriteAll(f / "broken.zip", "PK\x03\x04 but nothing after it");
    env.AddStudy(1, "c1", "DVD 3");
    // A carry-over study whose folder is gone is skipped without a line.
    env.AddStudy(2, "gone", "DVD 3");

    DatenKopieren(env.run);

    EXPECT_EQ(FileNames(env.Staging("DVD/1")), std::vector<std::string>{"good.dcm"});
    EXPECT_EQ(env.Dir2(1), "DVD 3");
    EXPECT_EQ(env.Dir2(2), "DVD 3");
    auto lines = env.FileLogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(std::string(CollectEnv::kStamp) + "1-1 " + f.string() + "/ ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind(std::string(CollectEnv::kStamp) + "1-2 " + f.string() + "/ ", 0), 0u) << lines[1];

    const std::string s = CollectEnv::kStamp;
    const std::vector<std::string> debug = env.DebugLogLines();
    // No new studies, so no count line.
    EXPECT_EQ(debug, (std::vector<std::string>{
                         s + "0StudyDir: " + f.string() + "/",
                         s + "0Reading: " + (f / "bad.dcm").string(),
                         s + "0Reading: " + (f / "good.dcm").string(),
                     }));
    EXPECT_EQ(env.state.summary.carryOverStudies, 1);
}

TEST(Staging, WithoutDebugModeNoDebugLogIsWritten) {
    CollectEnv env;
    env.AddDicomStudy(1, "c1", 1, "DVD 0");
    env.AddDicomStudy(2, "n2", 1, std::nullopt);
    DatenKopieren(env.run);
    EXPECT_EQ(FileNames(env.Staging("DVD/1")).size(), 1u);
    EXPECT_FALSE(fs::exists(env.programDir / "Logs" / "Debug.log"));
}

TEST(Staging, FilesOfTheSameNameNeverReplaceEachOther) {
    CollectEnv env;
    env.AddDicomStudy(1, "c1", 1, "DVD 0");
    env.AddDicomStudy(2, "c2", 1, "DVD 0");
    env.AddDicomStudy(3, "n3", 1, std::nullopt);
    env.AddDicomStudy(4, "n4", 1, std::nullopt);
    // Within one study: a file and an archive that both give a.dcm.
    const fs::path f5 = env.Folder("n5");
    WriteDicom(f5 / "a.dcm", CollectEnv::StudyUid(5), Uid(5, 1));
    WriteDicom(env.tmp / "a.dcm", CollectEnv::StudyUid(5), Uid(5, 2));
    WriteZip(f5 / "a.zip", {{"a.dcm", env.tmp / "a.dcm"}});
    env.AddStudy(5, "n5", std::nullopt);
    env.AddDicomStudy(6, "n6", 1, std::nullopt);

    DatenKopieren(env.run);

    const fs::path dvd1 = env.Staging("DVD/1"), dvd2 = env.Staging("DVD/2");
    EXPECT_EQ(FileNames(dvd1), (std::vector<std::string>{"IM00001.dcm", "IM00001_1.dcm"}));
    EXPECT_EQ(ReadFacts(dvd1 / "IM00001.dcm").instanceUid, Uid(1, 1));
    EXPECT_EQ(ReadFacts(dvd1 / "IM00001_1.dcm").instanceUid, Uid(2, 1));
    EXPECT_EQ(FileNames(dvd2),
              (std::vector<std::string>{"IM00001.dcm", "IM00001_1.dcm", "IM00001_2.dcm", "a.dcm", "a_1.dcm"}));
    EXPECT_EQ(ReadFacts(dvd2 / "IM00001.dcm").instanceUid, Uid(3, 1));
    EXPECT_EQ(ReadFacts(dvd2 / "IM00001_1.dcm").instanceUid, Uid(4, 1));
    EXPECT_EQ(ReadFacts(dvd2 / "a.dcm").instanceUid, Uid(5, 1));
    EXPECT_EQ(ReadFacts(dvd2 / "a_1.dcm").instanceUid, Uid(5, 2));
    EXPECT_EQ(ReadFacts(dvd2 / "IM00001_2.dcm").instanceUid, Uid(6, 1));
    EXPECT_EQ(env.state.summary.carryOverStudies, 2);
    EXPECT_EQ(env.state.summary.newStudies, 4);
}

TEST(Staging, WhatEarlierRunsLeftInDvd1IsKeptAndNotStagedTwice) {
    CollectEnv env;
    env.AddDicomStudy(1, "c1", 2, "DVD 0");
    const fs::path dvd1 = env.Staging("DVD/1");
    fs::create_directories(dvd1);
    WriteDicom(dvd1 / "foreign.dcm", CollectEnv::StudyUid(99), Uid(99, 1));

    DatenKopieren(env.run);
    ASSERT_EQ(FileNames(dvd1), (std::vector<std::string>{"IM00001.dcm", "IM00002.dcm", "foreign.dcm"}));

    // The run ended without a disc. Before the next one, another study's
    // file of the same name takes IM00001.dcm's place, and the rest of the
    // staging tree collects debris.
    WriteDicom(dvd1 / "IM00001.dcm", CollectEnv::StudyUid(98), Uid(98, 1));
    WriteAll(env.Staging("DVD/2/stale.dcm"), "x");
    WriteAll(env.Staging("DVD/Dicomdir"), "x");
    WriteAll(env.Staging("DVDTemp/half.dcm"), "x");
    WriteAll(env.Staging("Unzip/old.dcm"), "x");

    DatenKopieren(env.run);

    EXPECT_EQ(FileNames(dvd1), (std::vector<std::string>{"IM00001.dcm", "IM00001_1.dcm", "IM00002.dcm", "foreign.dcm"}));
    EXPECT_EQ(ReadFacts(dvd1 / "IM00001.dcm").instanceUid, Uid(98, 1));
    EXPECT_EQ(ReadFacts(dvd1 / "IM00001_1.dcm").instanceUid, Uid(1, 1));
    EXPECT_EQ(ReadFacts(dvd1 / "IM00002.dcm").instanceUid, Uid(1, 2));
    EXPECT_TRUE(FileNames(env.Staging("DVD/2")).empty());
    EXPECT_TRUE(FileNames(env.Staging("DVD")).empty());
    EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
    EXPECT_TRUE(FileNames(env.Staging("Unzip")).empty());
    EXPECT_TRUE(fs::is_directory(env.Staging("DVD/1")));
}

TEST(Staging, TheRemainsOfAWriteThatWasKilledAreDeletedFromDvd1) {
    CollectEnv env;
    env.AddDicomStudy(1, "c1", 1, "DVD 0");
    const fs::path dvd1 = env.Staging("DVD/1");
    fs::create_directories(dvd1);
    // A run killed while writing IM00001.dcm left its temporary file; a
    // staged file whose own name begins with a dot is no such remains.
    WriteAll(dvd1 / ".IM00001.dcm.a1B2c3", "half a DICOM fi");
    WriteDicom(dvd1 / ".hidden.dcm", CollectEnv::StudyUid(1), Uid(1, 7));

    DatenKopieren(env.run);

    EXPECT_EQ(FileNames(dvd1), (std::vector<std::string>{".hidden.dcm", "IM00001.dcm"}));
    EXPECT_TRUE(env.ErrorLog().empty());
}

TEST(Staging, AStudyThatCannotBeMovedWholeWaitsForALaterRun) {
    CollectEnv env;
    const fs::path f1 = env.AddDicomStudy(1, "n1", 3, std::nullopt);
    env.AddDicomStudy(2, "n2", 1, std::nullopt);
    // While study 1 moves into DVD/2/, its second file vanishes from DVDTemp/.
    bool struck = false;
    env.window.onYield = [&] {
        if (!struck && FileNames(env.Staging("DVD/2")).size() == 1 &&
            fs::exists(env.Staging("DVDTemp/IM00002.dcm"))) {
            struck = true;
            fs::remove(env.Staging("DVDTemp/IM00002.dcm"));
        }
    };

    DatenKopieren(env.run);

    ASSERT_TRUE(struck);
    EXPECT_EQ(Instances(env.Staging("DVD/2")), std::vector<std::string>{Uid(2, 1)});
    EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
    EXPECT_EQ(env.Dir2(1), std::nullopt);
    EXPECT_EQ(env.state.summary.newStudies, 1);
    auto lines = env.FileLogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(std::string(CollectEnv::kStamp) + "2-3 " + f1.string() + "/ ", 0), 0u) << lines[0];
    EXPECT_TRUE(env.ErrorLog().empty());
}

}  // namespace
}  // namespace velunor::test
