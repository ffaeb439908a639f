// Files that cannot be read, and a staging volume that cannot be written:
// what reaches the disc, what is marked, and what the logs name.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
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

bool Mentions(const std::vector<std::string>& lines, const std::string& a, const std::string& b) {
    for (const auto& line : lines)
        if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) return true;
    return false;
}

// Readable files of a partly unreadable study reach the disc; a study is
// marked "not readable" only when none of its files could be staged, by its
// key, and never over a disc record.
TEST_P(BackendTest, UnreadableFilesKeepTheirStudysReadableFilesAndItsDiscRecord) {
    env->shell.settings.Archive = 1;   // logged without boxes
    env->SetLastMediaNr("4\r\n");
    // Carry-over study 1: the middle one of three files is no DICOM file.
    const fs::path c1 = env->Folder("c1");
    WriteDicom(c1 / "IM00001.dcm", CollectEnv::StudyUid(1), Uid(1, 1));
    WriteAll(c1 / "IM00002.dcm", "not a DICOM file");
    WriteDicom(c1 / "IM00003.dcm", CollectEnv::StudyUid(1), Uid(1, 3));
    env->AddStudy(1, "c1", "DVD 4");
    // Carry-over study 2: its only file has become unreadable.
    WriteAll(env->Folder("c2") / "only.dcm", "garbage");
    env->AddStudy(2, "c2", "DVD 4");
    // New study 3: an unreadable file between two good ones.
    const fs::path n3 = env->Folder("n3");
    WriteDicom(n3 / "IM00001.dcm", CollectEnv::StudyUid(3), Uid(3, 1));
    WriteAll(n3 / "IM00002.dcm", "garbage");
    WriteDicom(n3 / "IM00003.dcm", CollectEnv::StudyUid(3), Uid(3, 3));
    env->AddStudy(3, "n3", std::nullopt);
    // New study 4: an archive without the file named after it, and a good file.
    const fs::path n4 = env->Folder("n4");
    WriteDicom(env->tmp / "other.dcm", CollectEnv::StudyUid(4), Uid(4, 9));
    WriteZip(n4 / "Missing.zip", {{"other.dcm", env->tmp / "other.dcm"}});
    WriteDicom(n4 / "IM00009.dcm", CollectEnv::StudyUid(4), Uid(4, 1));
    env->AddStudy(4, "n4", std::nullopt);
    // New study 5 holds nothing readable. Another archive root holds a
    // study under the same folder name, already on a disc: a mark by
    // folder name would destroy its record.
    WriteAll(env->Folder("n5") / "only.dcm", "garbage");
    env->AddStudy(5, "n5", std::nullopt);
    env->AddArchive(2, (env->tmp / "root2").string(), std::nullopt);
    WriteDicom(env->Folder("n5", env->tmp / "root2") / "IM00001.dcm", CollectEnv::StudyUid(6), Uid(6, 1));
    env->AddStudy(6, "n5", "DVD 3", 2);

    DatenKopieren(env->run);

    EXPECT_EQ(Instances(env->Staging("DVD/1")), (std::multiset<std::string>{Uid(1, 1), Uid(1, 3)}));
    EXPECT_EQ(Instances(env->Staging("DVD/2")),
              (std::multiset<std::string>{Uid(3, 1), Uid(3, 3), Uid(4, 1)}));
    EXPECT_EQ(env->Dir2(1), "DVD 4");
    EXPECT_EQ(env->Dir2(2), "DVD 4");
    EXPECT_EQ(env->Dir2(3), std::nullopt);
    EXPECT_EQ(env->Dir2(4), std::nullopt);
    EXPECT_EQ(env->Dir2(5), "not readable");
    EXPECT_EQ(env->Dir2(6), "DVD 3");

    const auto& sum = env->state.summary;
    EXPECT_EQ(sum.partlyUnreadable,
              (std::vector<std::string>{c1.string() + "/", n3.string() + "/", n4.string() + "/"}));
    EXPECT_EQ(sum.carryOverStudies, 1);
    EXPECT_EQ(sum.newStudies, 2);
    const auto log = env->ErrorLog();
    EXPECT_TRUE(Mentions(log, c1.string(), "archived without 1 unreadable file(s)"));
    EXPECT_TRUE(Mentions(log, env->Folder("c2").string(), "stays on that disc only"));
    EXPECT_TRUE(Mentions(log, env->Folder("n5").string(), "marked \"not readable\""));
    const auto files = env->FileLogLines();
    EXPECT_TRUE(Mentions(files, "1-1 " + c1.string(), "IM00002.dcm"));
    EXPECT_TRUE(Mentions(files, "2-2 " + n4.string(), "Missing"));
}

// A staging tree on a full volume: the write failures are the volume's, not
// the source's. The study is taken out again, nothing is marked, and the
// phase ends with an error naming the folder and the lack of space.
TEST(StagingVolume, AFullVolumeEndsThePhaseWithoutMarkingAnyStudy) {
    CollectEnv env;
    env.shell.settings.Archive = 1;
    fs::create_directories(env.stagingRoot);
    if (::mount("velunor-test", env.stagingRoot.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "no small tmpfs can be mounted here (" << std::strerror(errno)
                     << "); the full-volume case needs one";
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{env.stagingRoot};
    env.SetLastMediaNr("2\r\n");
    env.AddDicomStudy(1, "c1", 2, "DVD 2", 40'000);
    env.AddDicomStudy(2, "n2", 8, std::nullopt, 40'000);   // 320 KB: more than the volume holds

    EXPECT_FALSE(DatenKopieren(env.run));

    EXPECT_EQ(env.Dir2(1), "DVD 2");
    EXPECT_EQ(env.Dir2(2), std::nullopt);
    EXPECT_TRUE(FileNames(env.Staging("DVD/2")).empty());
    EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
    const auto log = env.ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(env.Folder("n2").string()), std::string::npos) << log[0];
    EXPECT_NE(log[0].find("No space left on device"), std::string::npos) << log[0];
    EXPECT_NE(log[0].find("takes no more data"), std::string::npos) << log[0];
    EXPECT_TRUE(env.FileLogLines().empty());   // no source file was blamed
}

}  // namespace
}  // namespace velunor::test
