// Faults injected into whole runs of the real velunor-cli: a full target
// volume while staging and while writing the image, Logs/ that cannot be
// written, the database going away in each phase, a source folder that
// disappears while the study is staged, a staged file that changes while the
// image is written. Each must end with a clear error in the log, and with
// the archive's invariants intact; the run after it must record its disc.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/reliability/harness.hpp"

namespace velunor::reliability {
namespace {

namespace fs = std::filesystem;

// Three batches of three studies; the first is on disc 1 already, the
// second has arrived: the faulty run would write disc 2 (with carry-over).
struct FaultScenario {
    std::unique_ptr<Scenario> s;
    std::unique_ptr<Checker> checker;

    explicit FaultScenario(ArchiveKind kind = ArchiveKind::Sqlite, std::uint64_t fileBytes = 65536) {
        ScenarioOptions o;
        o.kind = kind;
        o.batches = 3;
        o.studiesPerBatch = 3;
        o.filesPerStudy = 3;
        o.fileBytes = fileBytes;
        o.zipPercent = 0;
        o.unreadable = 0;
        s = std::make_unique<Scenario>(o);
        checker = std::make_unique<Checker>(*s);
        s->ReleaseNextBatch();
        ChildResult first = RunCli(*s, {});
        EXPECT_NE(first.LastLine().find("DVD 1 written and recorded"), std::string::npos) << first.output;
        s->ReleaseNextBatch();
    }

    std::string ErrorLog() const { return Slurp(s->logs() / "Error.log"); }
    std::string FileLog() const { return Slurp(s->logs() / "FileLog.log"); }

    void ExpectInvariants(const std::string& when, bool completed) {
        for (const auto& v : checker->Check(completed)) ADD_FAILURE() << when << ": " << v;
    }

    // After the fault: a plain run records disc `disc`, and the next batch
    // is carried over by the one after it.
    void ExpectRecovery(int disc) {
        ChildResult r = RunCli(*s, {});
        EXPECT_NE(r.LastLine().find("DVD " + std::to_string(disc) + " written and recorded"), std::string::npos)
            << r.output << ErrorLog();
        ExpectInvariants("the run after the fault", true);
        s->ReleaseNextBatch();
        r = RunCli(*s, {});
        EXPECT_NE(r.LastLine().find("written and recorded"), std::string::npos) << r.output;
        ExpectInvariants("the run after that", true);
        for (const auto& v : checker->CheckDrained()) ADD_FAILURE() << v;
    }
};

Action At(Moment m, std::function<void(pid_t)> act) { return Action{std::move(m), std::move(act)}; }

Moment Phase(const std::string& name) {
    Moment m;
    m.phase = name;
    return m;
}

Moment Entry(const std::string& folder, const std::string& end, int occurrence = 1) {
    Moment m;
    m.folder = folder;
    m.nameEndsWith = end;
    m.occurrence = occurrence;
    return m;
}

TEST(Faults, AFullStagingVolumeEndsTheRunWithAClearErrorAndMarksNoStudy) {
    FaultScenario f(ArchiveKind::Sqlite, 262144);
    // The staging volume "fills up": no file larger than this can be written
    // (RLIMIT_FSIZE, EFBIG), while the database file and the logs still fit.
    const auto db = fs::file_size(f.s->db().server());
    ChildOptions o;
    o.fileSizeLimit = std::max<std::uint64_t>(db + 32768, 65536);
    ASSERT_LT(*o.fileSizeLimit, 200000u) << "the database file is too large for this test";
    ChildResult r = RunCli(*f.s, o);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(f.ErrorLog().find("File too large"), std::string::npos) << f.ErrorLog();
    EXPECT_NE(f.ErrorLog().find("DatenKopieren"), std::string::npos) << f.ErrorLog();
    EXPECT_FALSE(fs::exists(f.s->images() / "DVD 2.iso"));
    // No file of any study is blamed for what the volume did.
    EXPECT_EQ(f.FileLog().find("-1 "), std::string::npos) << f.FileLog();
    f.ExpectInvariants("after the full staging volume", false);
    f.ExpectRecovery(2);
}

TEST(Faults, AFullImageFolderFailsTheBurnWithTheSystemsReasonAndTheNextRunWritesTheDisc) {
    FaultScenario f;
    // Every staged file fits, the image does not.
    ChildOptions o;
    o.fileSizeLimit = 300000;
    ChildResult r = RunCli(*f.s, o);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(f.ErrorLog().find("(File too large)DVDWriter_WriteError"), std::string::npos) << f.ErrorLog();
    EXPECT_FALSE(fs::exists(f.s->images() / "DVD 2.iso"));
    EXPECT_EQ(f.s->LastMediaNr(), 1);
    f.ExpectInvariants("after the full image folder", false);
    f.ExpectRecovery(2);
}

TEST(Faults, LogsThatCannotBeWrittenDoNotStopTheRun) {
    FaultScenario f;
    // Logs/ is a file: no log line can be written (as root, permissions
    // would not stop anything).
    fs::remove_all(f.s->logs());
    test::WriteAll(f.s->logs(), "not a folder");
    ChildResult r = RunCli(*f.s, {});
    EXPECT_NE(r.LastLine().find("DVD 2 written and recorded"), std::string::npos) << r.output;
    f.ExpectInvariants("with Logs/ unwritable", true);
    fs::remove(f.s->logs());
    f.s->ReleaseNextBatch();
    r = RunCli(*f.s, {});
    EXPECT_NE(r.LastLine().find("DVD 3 written and recorded"), std::string::npos) << r.output;
    f.ExpectInvariants("with Logs/ back", true);
}

// The database goes away at a moment of the run: the SQLite file is moved
// away (new connections fail; one already open keeps working), or the
// relay in front of PostgreSQL closes every connection and refuses new ones.
struct DatabaseGone : ::testing::TestWithParam<std::tuple<ArchiveKind, std::string>> {};

TEST_P(DatabaseGone, EndsWithAClearErrorAndTheArchiveRecoversOnceItIsBack) {
    const auto [kind, when] = GetParam();
    FaultScenario f(kind);
    std::unique_ptr<DbProxy> proxy;
    ChildOptions o;
    const fs::path file = kind == ArchiveKind::Sqlite ? fs::path(f.s->db().server()) : fs::path();
    std::function<void(pid_t)> stop;
    if (kind == ArchiveKind::Sqlite) {
        stop = [file](pid_t) { fs::rename(file, file.string() + ".away"); };
    } else {
        const char* port = std::getenv("PGPORT");
        ASSERT_NE(port, nullptr);
        proxy = std::make_unique<DbProxy>(std::atoi(port));
        o.env["PGPORT"] = std::to_string(proxy->port());
        DbProxy* p = proxy.get();
        stop = [p](pid_t) { p->Stop(); };
    }
    Moment m = when == "staging" ? Entry("DVD/1", ".dcm") : Phase(when);
    o.actions.push_back(At(m, stop));
    ChildResult r = RunCli(*f.s, o);
    if (kind == ArchiveKind::Sqlite) fs::rename(file.string() + ".away", file);
    ASSERT_EQ(r.fired.size(), 1u) << r.output;
    EXPECT_EQ(r.status, 1) << r.output;
    const std::string log = f.ErrorLog();
    if (when == "staging") {
        EXPECT_NE(log.find("DatenKopieren"), std::string::npos) << log;
        EXPECT_FALSE(fs::exists(f.s->images() / "DVD 2.iso"));
    } else {
        EXPECT_NE(log.find("DBUpdate"), std::string::npos) << log;
    }
    f.ExpectInvariants("after the database went away (" + when + ")", false);
    f.ExpectRecovery(2);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, DatabaseGone,
    ::testing::Combine(::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                       ::testing::Values("staging", "Create dicomdir", "Create DVD", "Verify DVD")),
    [](const auto& info) {
        std::string when = std::get<1>(info.param);
        std::erase(when, ' ');
        return test::KindName(std::get<0>(info.param)) + "_" + when;
    });

TEST(Faults, ASourceFolderThatDisappearsWhileStagingLeavesItsStudyWaiting) {
    FaultScenario f;
    // The new studies are 4, 5 and 6; while the first of them is staged, the
    // folder of the last one goes away (an archive volume taken offline).
    const auto& gone = f.s->archive().studies[5];
    const fs::path away = gone.folder.string() + ".offline";
    ChildOptions o;
    o.actions.push_back(At(Entry("DVDTemp", ".dcm"), [&](pid_t) { fs::rename(gone.folder, away); }));
    ChildResult r = RunCli(*f.s, o);
    ASSERT_EQ(r.fired.size(), 1u) << r.output;
    EXPECT_NE(r.LastLine().find("DVD 2 written and recorded: 3 carry-over studies, 2 new studies"), std::string::npos)
        << r.output;
    EXPECT_NE(f.FileLog().find("2-0 "), std::string::npos) << f.FileLog();
    EXPECT_NE(f.FileLog().find("Source folder does not exist"), std::string::npos) << f.FileLog();
    EXPECT_EQ(f.s->db().StudyDirectory2(gone.studyId), std::nullopt);
    f.ExpectInvariants("after the folder went away", true);
    fs::rename(away, gone.folder);
    f.s->ReleaseNextBatch();
    r = RunCli(*f.s, {});
    EXPECT_NE(r.LastLine().find("DVD 3 written and recorded"), std::string::npos) << r.output;
    EXPECT_EQ(f.s->db().StudyDirectory2(gone.studyId), "DVD 3");
    f.ExpectInvariants("after the folder came back", true);
}

TEST(Faults, AStagedFileThatChangesWhileTheImageIsWrittenNeverReachesTheRecord) {
    // Large enough that the image is still being written when the file changes.
    FaultScenario f(ArchiveKind::Sqlite, 4000000);
    const fs::path dvd2 = f.s->staging() / "DVD/2";
    auto victim = [&]() -> fs::path {
        for (const auto& e : fs::directory_iterator(dvd2))
            if (e.is_regular_file() && e.file_size() > 1000000) return e.path();
        return {};
    };
    for (const std::string change : {"shrinks", "is overwritten"}) {
        SCOPED_TRACE(change);
        ChildOptions o;
        o.actions.push_back(At(Entry("iso", ".part"), [&](pid_t) {
            const fs::path p = victim();
            if (p.empty()) return;
            if (change == "shrinks") {
                fs::resize_file(p, fs::file_size(p) / 2);
            } else {
                std::fstream out(p, std::ios::in | std::ios::out | std::ios::binary);
                out.seekp(0);
                const std::string junk(4096, 'x');
                out.write(junk.data(), static_cast<std::streamsize>(junk.size()));
            }
        }));
        const std::size_t logged = f.ErrorLog().size();
        ChildResult r = RunCli(*f.s, o);
        ASSERT_EQ(r.fired.size(), 1u) << r.output;
        EXPECT_EQ(r.status, 1) << r.output;
        const std::string log = f.ErrorLog().substr(logged);
        if (change == "shrinks") {
            // libisofs pads the missing bytes with zeros; the writer counts that as a failed burn.
            EXPECT_NE(log.find("has changed. It will be padded with 0'sDVDWriter_WriteError"), std::string::npos)
                << log;
        } else {
            // The image holds what was read (its checksums agree), which is no DICOM file:
            // verification fails and the image is set aside for the disc to be written again.
            EXPECT_NE(log.find("Verification failed!DVDVerify"), std::string::npos) << log;
            EXPECT_NE(log.find("renamed DVD 2.iso.unverified"), std::string::npos) << log;
            EXPECT_TRUE(fs::exists(f.s->images() / "DVD 2.iso.unverified"));
        }
        EXPECT_FALSE(fs::exists(f.s->images() / "DVD 2.iso"));
        f.ExpectInvariants("after the staged file " + change, false);
    }
    f.ExpectRecovery(2);
}

}  // namespace
}  // namespace velunor::reliability
