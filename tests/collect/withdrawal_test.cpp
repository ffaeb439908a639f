// A study one of whose files cannot be staged never reaches the disc in part:
// what it staged in this run is taken out again, its "not readable" mark
// stays, and everything else is staged as usual.
#include <gtest/gtest.h>

#include <set>

#include "collect/collect.hpp"
#include "tests/collect/collect_backend.hpp"
#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
namespace {

std::string Uid(int study, int instance) { return CollectEnv::StudyUid(study) + "." + std::to_string(instance); }

std::multiset<std::string> Instances(const fs::path& folder) {
    std::multiset<std::string> out;
    for (const auto& name : FileNames(folder)) out.insert(ReadFacts(folder / name).instanceUid);
    return out;
}

// The file-log lines without their timestamp.
std::vector<std::string> Logged(const CollectEnv& env) {
    std::vector<std::string> out;
    for (const auto& line : env.FileLogLines()) {
        EXPECT_EQ(line.rfind(CollectEnv::kStamp, 0), 0u) << line;
        out.push_back(line.substr(std::string(CollectEnv::kStamp).size()));
    }
    return out;
}

bool Starts(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0 && text.size() > head.size(); }

std::string Withdrawn(const char* code, const fs::path& folder, int files) {
    return code + folder.string() + "/ Study withdrawn from the disc, " + std::to_string(files) +
           " staged file(s) removed";
}

TEST_P(BackendTest, StudiesWithAFileThatCannotBeStagedAreWithdrawnWholeAndStayNotReadable) {
    env->SetLastMediaNr("4\r\n");
    // Carry-over study 1: the middle one of three files is no DICOM file.
    const fs::path c1 = env->Folder("c1");
    WriteDicom(c1 / "IM00001.dcm", CollectEnv::StudyUid(1), Uid(1, 1));
    WriteAll(c1 / "IM00002.dcm", "not a DICOM file");
    WriteDicom(c1 / "IM00003.dcm", CollectEnv::StudyUid(1), Uid(1, 3));
    env->AddStudy(1, "c1", "DVD 4");
    env->AddDicomStudy(2, "c2", 2, "DVD 4");
    // New study 3: an unreadable DICOM file between two good ones.
    const fs::path n3 = env->Folder("n3");
    WriteDicom(n3 / "IM00001.dcm", CollectEnv::StudyUid(3), Uid(3, 1));
    WriteAll(n3 / "IM00002.dcm", "garbage");
    WriteDicom(n3 / "IM00003.dcm", CollectEnv::StudyUid(3), Uid(3, 3));
    env->AddStudy(3, "n3", std::nullopt);
    // New study 4: two good files and an archive without the file named after it.
    const fs::path n4 = env->AddDicomStudy(4, "n4", 2, std::nullopt);
    WriteDicom(env->tmp / "other.dcm", CollectEnv::StudyUid(4), Uid(4, 9));
    WriteZip(n4 / "Missing.zip", {{"other.dcm", env->tmp / "other.dcm"}});
    env->AddDicomStudy(5, "n5", 2, std::nullopt);
    // What an earlier run that ended before its disc was recorded left in
    // DVD/1/: it shares a name with study 1's first file, which therefore
    // is staged as IM00001_1.dcm; only that one is this run's to take back.
    const fs::path dvd1 = env->Staging("DVD/1");
    fs::create_directories(dvd1);
    WriteDicom(dvd1 / "IM00001.dcm", CollectEnv::StudyUid(99), Uid(99, 1));
    WriteDicom(dvd1 / "left.dcm", CollectEnv::StudyUid(98), Uid(98, 1));

    DatenKopieren(env->run);

    EXPECT_EQ(Instances(dvd1), (std::multiset<std::string>{Uid(99, 1), Uid(98, 1), Uid(2, 1), Uid(2, 2)}));
    EXPECT_EQ(ReadFacts(dvd1 / "IM00001.dcm").instanceUid, Uid(99, 1));
    EXPECT_EQ(Instances(env->Staging("DVD/2")), (std::multiset<std::string>{Uid(5, 1), Uid(5, 2)}));
    // Study 5 took the names the withdrawn studies had used in DVDTemp/.
    EXPECT_EQ(FileNames(env->Staging("DVD/2")), (std::vector<std::string>{"IM00001.dcm", "IM00002.dcm"}));
    EXPECT_TRUE(FileNames(env->Staging("DVDTemp")).empty());
    EXPECT_TRUE(FileNames(env->Staging("Unzip")).empty());

    EXPECT_EQ(env->Dir2(1), "not readable");
    EXPECT_EQ(env->Dir2(2), "DVD 4");
    EXPECT_EQ(env->Dir2(3), "not readable");
    EXPECT_EQ(env->Dir2(4), "not readable");
    EXPECT_EQ(env->Dir2(5), std::nullopt);

    const auto lines = Logged(*env);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_TRUE(Starts(lines[0], "1-1 " + c1.string() + "/ ")) << lines[0];
    EXPECT_EQ(lines[1], Withdrawn("1-9 ", c1, 2));
    EXPECT_TRUE(Starts(lines[2], "2-1 " + n3.string() + "/ ")) << lines[2];
    EXPECT_EQ(lines[3], Withdrawn("2-9 ", n3, 2));
    EXPECT_TRUE(Starts(lines[4], "2-2 " + n4.string() + "/ ")) << lines[4];
    EXPECT_EQ(lines[5], Withdrawn("2-9 ", n4, 2));

    EXPECT_EQ(env->state.summary.carryOverStudies, 1);
    EXPECT_EQ(env->state.summary.newStudies, 1);
    EXPECT_TRUE(env->ErrorLog().empty());
}

TEST(Withdrawal, AStudyWhoseOnlyFileFailsIsWithdrawnWithNothingToRemove) {
    CollectEnv env;
    const fs::path n1 = env.Folder("n1");
    WriteAll(n1 / "only.dcm", "garbage");
    env.AddStudy(1, "n1", std::nullopt);
    env.AddDicomStudy(2, "n2", 1, std::nullopt);

    DatenKopieren(env.run);

    EXPECT_EQ(Instances(env.Staging("DVD/2")), std::multiset<std::string>{Uid(2, 1)});
    const auto lines = Logged(env);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(Starts(lines[0], "2-1 " + n1.string() + "/ ")) << lines[0];
    EXPECT_EQ(lines[1], Withdrawn("2-9 ", n1, 0));
    EXPECT_EQ(env.Dir2(1), "not readable");
    EXPECT_EQ(env.state.summary.newStudies, 1);
}

TEST(Withdrawal, ACancelInsideAFailingStudyStillWithdrawsIt) {
    CollectEnv env;
    const fs::path c1 = env.Folder("c1");
    WriteDicom(c1 / "a.dcm", CollectEnv::StudyUid(1), Uid(1, 1));
    WriteAll(c1 / "b.dcm", "garbage");
    env.AddStudy(1, "c1", "DVD 0");
    env.AddDicomStudy(2, "c2", 1, "DVD 0");
    // Cancel is clicked while study 1 is being staged.
    env.window.onYield = [&] {
        if (!FileNames(env.Staging("DVD/1")).empty()) env.state.CancelRequested = true;
    };

    DatenKopieren(env.run);

    EXPECT_TRUE(FileNames(env.Staging("DVD/1")).empty());
    EXPECT_EQ(env.Dir2(1), "not readable");
    EXPECT_EQ(env.Dir2(2), "DVD 0");
    const auto lines = Logged(env);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], Withdrawn("1-9 ", c1, 1));
    EXPECT_EQ(env.state.summary.carryOverStudies, 0);
}

TEST(Withdrawal, AFailureThatEndsThePhaseMidStudyStillTakesBackWhatAFailedStudyStaged) {
    CollectEnv env;
    env.shell.settings.Archive = 1;   // logged without a box
    const fs::path c1 = env.Folder("c1");
    WriteDicom(c1 / "IM00001.dcm", CollectEnv::StudyUid(1), Uid(1, 1));
    WriteAll(c1 / "IM00002.dcm", "garbage");
    WriteDicom(env.tmp / "Later.dcm", CollectEnv::StudyUid(1), Uid(1, 3));
    WriteZip(c1 / "Later.zip", {{"Later.dcm", env.tmp / "Later.dcm"}});
    env.AddStudy(1, "c1", "DVD 0");
    // A folder in Unzip/ of the archive's name: the preparation leaves
    // subfolders alone, and copying the archive there fails, which ends
    // the phase.
    fs::create_directories(env.Staging("Unzip/Later.zip"));

    EXPECT_FALSE(DatenKopieren(env.run));

    EXPECT_TRUE(FileNames(env.Staging("DVD/1")).empty());
    EXPECT_EQ(env.Dir2(1), "not readable");
    const auto lines = Logged(env);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(Starts(lines[0], "1-1 " + c1.string() + "/ ")) << lines[0];
    EXPECT_EQ(lines[1], Withdrawn("1-9 ", c1, 1));
    const auto log = env.ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("Later.zip"), std::string::npos) << log[0];
    EXPECT_TRUE(log[0].ends_with(" ImgNr: 0DatenKopieren")) << log[0];
    EXPECT_EQ(env.state.summary.carryOverStudies, 0);
}

TEST(Withdrawal, AStudyThatCannotBeTakenBackEndsThePhaseWithoutADisc) {
    CollectEnv env;
    env.shell.settings.Archive = 1;
    env.shell.settings.AuthBurn = 1;   // the operator would say Yes
    const fs::path c1 = env.Folder("c1");
    WriteDicom(c1 / "IM00001.dcm", CollectEnv::StudyUid(1), Uid(1, 1));
    WriteAll(c1 / "IM00002.dcm", "garbage");
    env.AddStudy(1, "c1", "DVD 0");
    env.AddDicomStudy(2, "n2", 1, std::nullopt);
    // Once study 1's first file is staged, something puts a non-empty
    // folder in its place, which cannot be deleted as a file.
    const fs::path staged = env.Staging("DVD/1/IM00001.dcm");
    bool struck = false;
    env.window.onYield = [&] {
        if (!struck && fs::is_regular_file(staged)) {
            struck = true;
            fs::remove(staged);
            fs::create_directory(staged);
            WriteAll(staged / "inside", "x");
        }
    };

    EXPECT_FALSE(DatenKopieren(env.run));

    ASSERT_TRUE(struck);
    EXPECT_TRUE(env.prompter.shown.empty());   // no question: the phase ended before the decision
    EXPECT_TRUE(FileNames(env.Staging("DVD/2")).empty());
    EXPECT_EQ(env.Dir2(1), "not readable");
    const auto lines = Logged(env);
    ASSERT_EQ(lines.size(), 1u);   // no withdrawal line: it did not succeed
    EXPECT_TRUE(Starts(lines[0], "1-1 ")) << lines[0];
    const auto log = env.ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("cannot be withdrawn from the disc"), std::string::npos) << log[0];
    EXPECT_NE(log[0].find(staged.string()), std::string::npos) << log[0];
}

}  // namespace
}  // namespace velunor::test
