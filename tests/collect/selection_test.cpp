// Study selection against a real archive database: the media number, the
// carry-over set, the new set and its limit, the archive roots, values with
// apostrophes, and the database going away in the middle of a pass.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>

#include "collect/collect.hpp"
#include "tests/collect/collect_backend.hpp"

namespace velunor::test {
namespace {

const std::string kImplicit = "1.2.840.10008.1.2";

// The study UIDs of the files staged in `folder`.
std::multiset<std::string> StudiesIn(const fs::path& folder) {
    std::multiset<std::string> out;
    for (const auto& name : FileNames(folder)) out.insert(ReadFacts(folder / name).studyUid);
    return out;
}

TEST_P(BackendTest, CarryOverTakesTheStudiesOfExactlyTheLastDisc) {
    env->SetLastMediaNr(" 7 \r\n");
    env->AddDicomStudy(1, "s1", 1, "DVD 7");
    env->AddDicomStudy(2, "s2", 1, "DVD 70");
    env->AddDicomStudy(3, "s3", 1, "DVD 7|DVD 8");
    env->AddDicomStudy(4, "s4", 1, "DVD 71");
    env->AddDicomStudy(5, "s5", 1, "DVD 6|DVD 7");
    env->AddDicomStudy(6, "s6", 2, std::nullopt);

    EXPECT_FALSE(DatenKopieren(env->run));   // a few KB of new data: no question, no disc

    EXPECT_EQ(env->state.MediaNumber, 7);
    EXPECT_EQ(StudiesIn(env->Staging("DVD/1")), std::multiset<std::string>{CollectEnv::StudyUid(1)});
    EXPECT_EQ(StudiesIn(env->Staging("DVD/2")),
              (std::multiset<std::string>{CollectEnv::StudyUid(6), CollectEnv::StudyUid(6)}));
    for (const auto& name : FileNames(env->Staging("DVD/1")))
        EXPECT_EQ(ReadFacts(env->Staging("DVD/1") / name).transferSyntax, kImplicit);
    EXPECT_EQ(env->state.summary.carryOverStudies, 1);
    EXPECT_EQ(env->state.summary.newStudies, 1);
    EXPECT_TRUE(env->state.summary.nothingToWrite);
    EXPECT_TRUE(env->prompter.shown.empty());
    EXPECT_TRUE(env->ErrorLog().empty());
    EXPECT_EQ(env->window.Value(Control::pbSammeln), 10000);
}

TEST_P(BackendTest, WithoutAMediaNumberTheLastDiscIsZero) {
    env->AddDicomStudy(1, "s1", 1, "DVD 0");
    env->AddDicomStudy(2, "s2", 1, "DVD 1");
    env->AddDicomStudy(3, "s3", 1, std::nullopt);
    DatenKopieren(env->run);
    EXPECT_EQ(env->state.MediaNumber, 0);
    EXPECT_EQ(StudiesIn(env->Staging("DVD/1")), std::multiset<std::string>{CollectEnv::StudyUid(1)});

    // An empty first line means 0 as well, whatever follows.
    env->SetLastMediaNr("\r\n5\r\n");
    env->state.MediaNumber = 99;
    DatenKopieren(env->run);
    EXPECT_EQ(env->state.MediaNumber, 0);
    EXPECT_TRUE(env->ErrorLog().empty());
}

TEST_P(BackendTest, AMediaNumberThatIsNoNumberEndsTheRunBeforeStaging) {
    env->SetLastMediaNr("x7\r\n");
    env->AddDicomStudy(1, "s1", 1, std::nullopt);
    fs::create_directories(env->Staging("DVD/2"));
    WriteAll(env->Staging("DVD/2/old.dcm"), "left by an earlier run");

    EXPECT_FALSE(DatenKopieren(env->run));

    auto log = env->ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind(std::string(CollectEnv::kStamp) + " 0 ", 0), 0u) << log[0];
    EXPECT_NE(log[0].find("x7"), std::string::npos) << log[0];
    EXPECT_TRUE(log[0].ends_with(" ImgNr: 0DatenKopieren")) << log[0];
    ASSERT_EQ(env->prompter.shown.size(), 1u);
    EXPECT_EQ(env->prompter.shown[0].text.rfind("[Error #0] ", 0), 0u);
    EXPECT_TRUE(env->prompter.shown[0].text.ends_with(" ImgNr: 0"));
    EXPECT_EQ(env->prompter.shown[0].icon, Icon::Critical);
    // The general handler's clean-up ran; the staging tree was not touched.
    EXPECT_EQ(env->window.Value(Control::pbSammeln), 10000);
    EXPECT_TRUE(fs::exists(env->Staging("DVD/2/old.dcm")));
    EXPECT_FALSE(env->state.summary.nothingToWrite);
    EXPECT_NE(env->state.summary.why.find("ImgNr: 0"), std::string::npos);
}

TEST_P(BackendTest, NewSetLeavesOutMigratedAndUnreadableStudies) {
    env->shell.settings.DebugMode = true;
    env->AddDicomStudy(1, "migrated_s1", 1, std::nullopt);
    env->AddDicomStudy(2, "s2", 1, "not readable");
    env->AddDicomStudy(3, "s3", 1, "");
    env->AddDicomStudy(4, "s4", 1, std::nullopt);
    env->AddDicomStudy(5, "s5", 1, "DVD 1");   // on a disc, but not the last one (n = 0)

    DatenKopieren(env->run);

    EXPECT_EQ(StudiesIn(env->Staging("DVD/2")),
              (std::multiset<std::string>{CollectEnv::StudyUid(3), CollectEnv::StudyUid(4)}));
    EXPECT_TRUE(FileNames(env->Staging("DVD/1")).empty());
    auto debug = env->DebugLogLines();
    EXPECT_NE(std::find(debug.begin(), debug.end(), std::string(CollectEnv::kStamp) + "Studie-Count: 2"), debug.end());
    EXPECT_EQ(env->Dir2(2), "not readable");
    EXPECT_EQ(env->Dir2(3), "");
    EXPECT_EQ(env->Dir2(4), std::nullopt);
}

TEST_P(BackendTest, AtMostAThousandNewStudiesInStudyIdOrder) {
    env->shell.settings.DebugMode = true;
    if (GetParam() == ArchiveKind::Sqlite) env->db->Execute("BEGIN");
    // Inserted backwards: only the statement's ORDER BY gives the order.
    for (int id = 1003; id >= 1; --id) {
        env->AddStudy(id, "s" + std::to_string(id), std::nullopt);
        if (id != 2) env->Folder("s" + std::to_string(id));   // study 2 has no folder
    }
    if (GetParam() == ArchiveKind::Sqlite) env->db->Execute("COMMIT");
    // Eligible in order: 1, 3, 4, ..., 1001 are the first thousand.
    WriteDicom(env->unc / "s1001" / "last.dcm", CollectEnv::StudyUid(1001), CollectEnv::StudyUid(1001) + ".1");
    WriteDicom(env->unc / "s1002" / "next.dcm", CollectEnv::StudyUid(1002), CollectEnv::StudyUid(1002) + ".1");

    DatenKopieren(env->run);

    auto debug = env->DebugLogLines();
    EXPECT_NE(std::find(debug.begin(), debug.end(), std::string(CollectEnv::kStamp) + "Studie-Count: 1000"),
              debug.end());
    EXPECT_EQ(FileNames(env->Staging("DVD/2")), std::vector<std::string>{"last.dcm"});
    EXPECT_EQ(env->state.summary.newStudies, 1);   // studies that brought files
}

TEST_P(BackendTest, ArchiveRootsForSelectionAndCopy) {
    // Archive 1 has both roots; study 1 lies only under ArchivePath. It is
    // selected, but the copy rule names the ArchiveUNC folder: it waits.
    WriteDicom(env->Folder("s1", env->local) / "a.dcm", CollectEnv::StudyUid(1), CollectEnv::StudyUid(1) + ".1");
    env->AddStudy(1, "s1", std::nullopt, 1);
    // Archive 2 has no ArchiveUNC, archive 3 an empty one: ArchivePath serves.
    const fs::path local2 = env->tmp / "local2", local3 = env->tmp / "local3";
    env->AddArchive(2, std::nullopt, local2.string());
    env->AddArchive(3, "", local3.string());
    WriteDicom(env->Folder("s2", local2) / "b.dcm", CollectEnv::StudyUid(2), CollectEnv::StudyUid(2) + ".1");
    WriteDicom(env->Folder("s3", local3) / "c.dcm", CollectEnv::StudyUid(3), CollectEnv::StudyUid(3) + ".1");
    env->AddStudy(2, "s2", std::nullopt, 2);
    env->AddStudy(3, "s3", "", 3);
    // Archive 4 has neither root: never selected.
    env->AddArchive(4, std::nullopt, std::nullopt);
    env->AddStudy(4, "s1", std::nullopt, 4);

    DatenKopieren(env->run);

    EXPECT_EQ(FileNames(env->Staging("DVD/2")), (std::vector<std::string>{"b.dcm", "c.dcm"}));
    auto lines = env->FileLogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string(CollectEnv::kStamp) + "2-0 " + env->unc.string() + "/s1/ Source folder does not exist");
    EXPECT_EQ(env->Dir2(1), std::nullopt);
    EXPECT_EQ(env->state.summary.newStudies, 2);
    EXPECT_TRUE(env->ErrorLog().empty());
}

TEST_P(BackendTest, ApostropheInTheStudyFolderName) {
    const std::string dir1 = "O'Brien^Anna 2024";
    const fs::path folder = env->Folder(dir1);
    WriteAll(folder / "IM00002.dcm", "this is no DICOM file");
    env->AddStudy(1, dir1, std::nullopt);
    env->AddDicomStudy(2, "O", 1, std::nullopt);   // a name the value begins with

    DatenKopieren(env->run);

    // Study 1 has no readable file: it alone is marked, not study 2, whose
    // folder name its own begins with.
    EXPECT_EQ(StudiesIn(env->Staging("DVD/2")), std::multiset<std::string>{CollectEnv::StudyUid(2)});
    EXPECT_EQ(env->Dir2(1), "not readable");
    EXPECT_EQ(env->Dir2(2), std::nullopt);
    auto lines = env->FileLogLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string head = std::string(CollectEnv::kStamp) + "2-1 " + folder.string() + "/ ";
    EXPECT_EQ(lines[0].rfind(head, 0), 0u) << lines[0];
    EXPECT_GT(lines[0].size(), head.size());
}

// Local ports of this process's TCP connections to `serverPort`, from
// /proc: the sockets among its open files, looked up in the TCP tables.
std::vector<unsigned> OwnClientPorts(unsigned serverPort) {
    std::set<std::string> inodes;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = fs::read_symlink(fd.path(), ec).string();
        if (!ec && target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
    }
    std::vector<unsigned> ports;
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        auto lines = Lines(table);
        for (std::size_t i = 1; i < lines.size(); ++i) {
            std::istringstream in(lines[i]);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            in >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            const auto port = [](const std::string& address) {
                return static_cast<unsigned>(std::stoul(address.substr(address.find(':') + 1), nullptr, 16));
            };
            if (inodes.count(inode) && port(remote) == serverPort) ports.push_back(port(local));
        }
    }
    return ports;
}

// Makes the collection's connection fail from now on: SQLite loses the
// view it reads, PostgreSQL ends the session (only the sessions of this
// process, and not the test's own).
void TakeDatabaseAway(CollectEnv& env, ArchiveKind kind) {
    if (kind == ArchiveKind::Sqlite) {
        env.db->Execute("DROP VIEW View_Studies");
        return;
    }
    const char* pgport = std::getenv("PGPORT");
    ASSERT_NE(pgport, nullptr);
    std::string ports;
    for (unsigned port : OwnClientPorts(static_cast<unsigned>(std::stoul(pgport))))
        ports += (ports.empty() ? "" : ", ") + std::to_string(port);
    ASSERT_FALSE(ports.empty());
    auto rows = env.db->Query("SELECT pg_terminate_backend(pid) AS gone FROM pg_stat_activity "
                              "WHERE client_port IN (" + ports + ") AND pid <> pg_backend_pid()");
    int ended = 0;
    while (rows->Next()) ended += rows->Field("gone") == "1" || rows->Field("gone") == "t" ? 1 : 0;
    EXPECT_EQ(ended, 1);
}

TEST_P(BackendTest, DatabaseGoingAwayDuringTheCarryOverPassEndsTheRun) {
    env->AddDicomStudy(1, "c1", 2, "DVD 0");
    env->AddDicomStudy(2, "c2", 1, "DVD 0");
    env->AddDicomStudy(3, "n3", 1, std::nullopt);
    bool gone = false;
    env->window.onChange = [&](Control c) {
        const int v = env->window.Value(Control::pbSammeln);
        if (c == Control::pbSammeln && !gone && v > 0 && v < 5000) {
            gone = true;
            TakeDatabaseAway(*env, GetParam());
        }
    };

    EXPECT_FALSE(DatenKopieren(env->run));

    ASSERT_TRUE(gone);
    EXPECT_EQ(FileNames(env->Staging("DVD/1")), (std::vector<std::string>{"IM00001.dcm", "IM00002.dcm"}));
    EXPECT_TRUE(FileNames(env->Staging("DVD/2")).empty());
    auto log = env->ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].ends_with(" ImgNr: 2DatenKopieren")) << log[0];
    ASSERT_EQ(env->prompter.shown.size(), 1u);
    EXPECT_EQ(env->prompter.shown[0].text.rfind("[Error #", 0), 0u);
    EXPECT_EQ(env->window.Value(Control::pbSammeln), 10000);
}

TEST_P(BackendTest, DatabaseGoingAwayDuringTheNewStudyPassEndsTheRun) {
    env->shell.settings.Archive = 1;   // logged without a box
    env->AddDicomStudy(1, "n1", 1, std::nullopt);
    env->AddDicomStudy(2, "n2", 1, std::nullopt);
    bool gone = false;
    env->window.onChange = [&](Control c) {
        if (c == Control::pbSammeln && !gone && env->window.Value(Control::pbSammeln) > 5000) {
            gone = true;
            TakeDatabaseAway(*env, GetParam());
        }
    };

    EXPECT_FALSE(DatenKopieren(env->run));

    ASSERT_TRUE(gone);
    EXPECT_EQ(StudiesIn(env->Staging("DVD/2")), std::multiset<std::string>{CollectEnv::StudyUid(1)});
    auto log = env->ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].ends_with(" ImgNr: 1DatenKopieren")) << log[0];
    EXPECT_TRUE(env->prompter.shown.empty());
    EXPECT_EQ(env->state.summary.newStudies, 1);
}

}  // namespace
}  // namespace velunor::test
