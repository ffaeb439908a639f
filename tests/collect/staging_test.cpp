// The staging copy on real files: what is staged under which name, files
// that cannot be read, and a staging volume that cannot take them.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
namespace {

// Every DICOM object of the studies reaches its section exactly once,
// re-encoded, under its own name or the first free suffixed one. A run
// without a disc leaves DVD/1/ for the next, which stages the same studies
// again: none may be kept twice, also under a suffixed name.
TEST(CollectStaging, EveryObjectIsRewrittenOnceAndNoFileReplacesAnother) {
    CollectEnv env;
    env.AddDicomStudy(1, "c1", 1, "DVD 0");
    env.AddDicomStudy(2, "c2", 1, "DVD 0");
    // DVD/1/ keeps what earlier runs staged, but not a killed write's
    // temporary file.
    const fs::path dvd1 = env.Staging("DVD/1"), dvd2 = env.Staging("DVD/2");
    fs::create_directories(dvd1);
    WriteAll(dvd1 / ".IM00001.dcm.a1B2c3", "half a DICOM fi");
    WriteDicom(dvd1 / "IM00001.dcm", StudyUid(9), Uid(9, 1));
    env.AddDicomStudy(3, "n3", 1, std::nullopt);
    env.AddDicomStudy(4, "n4", 1, std::nullopt);
    const fs::path f = env.Folder("n5");
    WriteDicom(f / "a.dcm", StudyUid(5), Uid(5, 1));
    WriteDicom(env.tmp / "a.dcm", StudyUid(5), Uid(5, 2));
    WriteZip(f / "a.zip", {{"a.dcm", env.tmp / "a.dcm"}});   // extracts to a name already staged
    WriteDicom(f / "b\\c.dcm", StudyUid(5), Uid(5, 3));      // a backslash separates DICOMDIR file IDs
    WriteDicom(f / "b_c.dcm", StudyUid(5), Uid(5, 4));
    WriteDicom(f / "dcm", StudyUid(5), Uid(5, 5));
    WriteDicom(f / "E.DCM", StudyUid(5), Uid(5, 6));
    WriteDicom(f / "c.dicom", StudyUid(5), Uid(5, 7));   // not an extension that is taken
    WriteAll(f / "readme", "notes");
    fs::create_directory(f / "sub");
    WriteDicom(f / "sub" / "d.dcm", StudyUid(5), Uid(5, 8));   // subfolders are not visited
    env.AddStudy(5, "n5", std::nullopt);
    std::multiset<std::string> expected2{Uid(3, 1), Uid(4, 1), Uid(5, 1), Uid(5, 2), Uid(5, 3), Uid(5, 4),
                                         Uid(5, 5), Uid(5, 6)};
    std::vector<std::string> names2{"E.DCM", "IM00001.dcm", "IM00001_1.dcm", "a.dcm", "a_1.dcm",
                                    "b_c.dcm", "b_c_1.dcm", "dcm"};
    const fs::path sample = "/usr/lib/python3/dist-packages/pydicom/data/test_files/CT_small.dcm";
    if (fs::exists(sample)) {   // a real modality's file
        fs::copy_file(sample, env.Folder("n6") / "CT_small.dcm");
        env.AddStudy(6, "n6", std::nullopt);
        expected2.insert(ReadFacts(sample).second);
        names2.insert(names2.begin(), "CT_small.dcm");
    }

    EXPECT_FALSE(env.Collect().write);

    EXPECT_EQ(FileNames(dvd1), (std::vector<std::string>{"IM00001.dcm", "IM00001_1.dcm", "IM00001_2.dcm"}));
    EXPECT_EQ(FileNames(dvd2), names2);
    EXPECT_EQ(Instances(dvd2), expected2);
    std::vector<fs::path> written{dvd1 / "IM00001_1.dcm", dvd1 / "IM00001_2.dcm"};
    for (const auto& name : names2) written.push_back(dvd2 / name);
    for (const fs::path& file : written) EXPECT_EQ(ReadFacts(file).first, "1.2.840.10008.1.2") << file;
    EXPECT_TRUE(FileNames(env.Staging("Unzip")).empty());
    EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
    EXPECT_TRUE(env.FileLogLines().empty());
    EXPECT_TRUE(fs::exists(f / "a.zip"));   // the archive is only read
    for (int run = 1; run <= 3; ++run) {
        EXPECT_EQ(Instances(dvd1), (std::multiset<std::string>{Uid(1, 1), Uid(2, 1), Uid(9, 1)})) << "run " << run;
        if (run < 3) env.Collect();
    }
}

// A study reaches the disc with its readable files; only a new study none
// of whose files could be read is marked, by its key, and never over a disc
// record.
TEST_P(CollectBackend, UnreadableFilesLeaveTheStudyOnTheDiscWithItsReadableFiles) {
    env->shell.settings.Archive = 1;
    env->SetLastMediaNr("4\r\n");
    const fs::path c1 = env->AddDicomStudy(1, "c1", 3, "DVD 4");
    WriteAll(c1 / "IM00002.dcm", "not a DICOM file");
    WriteAll(env->Folder("c2") / "only.dcm", "garbage");   // carry-over, nothing readable any more
    env->AddStudy(2, "c2", "DVD 4");
    const fs::path n3 = env->AddDicomStudy(3, "n3", 3, std::nullopt);
    WriteAll(n3 / "IM00002.dcm", "garbage");
    const fs::path n4 = env->AddDicomStudy(4, "n4", 1, std::nullopt);
    WriteDicom(env->tmp / "other.dcm", StudyUid(4), Uid(4, 9));
    WriteZip(n4 / "Missing.zip", {{"other.dcm", env->tmp / "other.dcm"}});   // without Missing.dcm
    const fs::path n5 = env->Folder("n5");
    WriteAll(n5 / "only.dcm", "garbage");
    env->AddStudy(5, "n5", std::nullopt);
    // Another root's study of the same folder name, on a disc already.
    env->archive.AddArchive(2, (env->tmp / "root2").string(), std::nullopt);
    WriteDicom(env->Folder("n5", env->tmp / "root2") / "IM00001.dcm", StudyUid(6), Uid(6, 1));
    env->AddStudy(6, "n5", "DVD 3", 2);

    const Collected out = env->Collect();

    EXPECT_EQ(Instances(env->Staging("DVD/1")), (std::multiset<std::string>{Uid(1, 1), Uid(1, 3)}));
    EXPECT_EQ(Instances(env->Staging("DVD/2")), (std::multiset<std::string>{Uid(3, 1), Uid(3, 3), Uid(4, 1)}));
    const std::optional<std::string> dir2[] = {"DVD 4", "DVD 4", std::nullopt, std::nullopt, "not readable", "DVD 3"};
    for (int id = 1; id <= 6; ++id) EXPECT_EQ(env->Dir2(id), dir2[id - 1]) << id;
    EXPECT_EQ(out.partlyUnreadable,
              (std::vector<std::string>{c1.string() + "/", n3.string() + "/", n4.string() + "/"}));
    const auto log = env->ErrorLog();
    EXPECT_TRUE(AnyLineHas(log, c1.string(), "without 1 unreadable file"));
    EXPECT_TRUE(AnyLineHas(log, env->Folder("c2").string(), "stays on that disc only"));
    EXPECT_TRUE(AnyLineHas(log, n5.string(), "not readable"));
    const auto files = env->FileLogLines();
    EXPECT_TRUE(AnyLineHas(files, "1-1 " + c1.string(), "IM00002.dcm"));
    EXPECT_TRUE(AnyLineHas(files, "2-1 " + n3.string()));
    EXPECT_TRUE(AnyLineHas(files, "2-2 " + n4.string(), "Missing"));
}

// A staging tree on a full volume: the failures are the volume's, not the
// source's. The study is taken out again, nothing is marked, and the
// phase ends with an error naming the folder and the lack of space.
TEST(CollectStaging, AFullStagingVolumeWithdrawsTheStudyAndMarksNothing) {
    CollectEnv env;
    env.shell.settings.Archive = 1;
    fs::create_directories(env.stagingRoot);
    if (::mount("velunor-test", env.stagingRoot.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "no small tmpfs can be mounted here (" << std::strerror(errno) << ")";
    const std::shared_ptr<void> unmount(nullptr, [&](void*) { ::umount2(env.stagingRoot.c_str(), MNT_DETACH); });
    env.SetLastMediaNr("2\r\n");
    env.AddDicomStudy(1, "c1", 2, "DVD 2", 40'000);
    const fs::path n2 = env.AddDicomStudy(2, "n2", 8, std::nullopt, 40'000);   // more than the volume holds

    const Collected out = env.Collect();

    EXPECT_FALSE(out.write);
    EXPECT_EQ(env.Dir2(1), "DVD 2");
    EXPECT_EQ(env.Dir2(2), std::nullopt);
    EXPECT_TRUE(FileNames(env.Staging("DVD/2")).empty());
    EXPECT_TRUE(FileNames(env.Staging("DVDTemp")).empty());
    EXPECT_TRUE(AnyLineHas(env.ErrorLog(), n2.string(), "No space left on device"));
    EXPECT_TRUE(env.FileLogLines().empty());   // no source file was blamed
}

}  // namespace
}  // namespace velunor::test
