// velunor-cli check, find and report on discs written by real runs (a
// generated archive, libburn writing into an image folder, SQLite and
// PostgreSQL), and report on a database holding every state.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <sstream>

#include "app/check_log.hpp"
#include "app/media_number.hpp"
#include "app/program/audit.hpp"
#include "bookkeeping/bookkeeping.hpp"
#include "tests/support/archive_fixture.hpp"
#include "tests/support/run_driver.hpp"
#include "tools/archive_generator.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ArchiveKind;
using test::Capture;
using test::Quote;
using test::ReadAll;
using test::WriteAll;

struct Said {
    int status = -1;
    std::string out;   // standard output and errors
};

using Command = int (*)(const std::vector<std::string>&, CommandEnv&);

Said Call(Command command, const fs::path& prog, const std::vector<std::string>& args,
          std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) {
    std::ostringstream out;
    CommandEnv env{prog, out, out};
    env.now = [now] { return now; };
    Said said;
    said.status = command(args, env);
    said.out = out.str();
    return said;
}

bool Has(const Said& s, const std::string& text) { return s.out.find(text) != std::string::npos; }

// Two discs written by the program: DVD 1 with four studies in 2/, DVD 2
// with those four again in 1/ and two more in 2/.
struct Written : test::ArchiveFixture {
    explicit Written(ArchiveKind kind)
        : ArchiveFixture(kind, Options(), [](const archive::Study& s) {
              return s.studyId > 4 ? SqlParam("later") : std::nullopt;
          }) {
        WriteIni("AuthBurn=1\nArchive=1\n");
        test::RunDriver run(prog, dir / "Velunor.ready", "");
        run.events.answers = {Answer::Yes};
        EXPECT_TRUE(run.RunOnce().discRecorded);
        db.db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL WHERE StudyDirectory2 = 'later'");
        run.events.answers = {Answer::Yes};
        EXPECT_TRUE(run.RunOnce().discRecorded);
    }
    static archive::Options Options() {
        archive::Options o;
        o.studies = 6;
        o.filesPerStudy = 2;
        o.fileBytes = 8192;
        o.zipPercent = 20;
        o.unreadable = 0;
        return o;
    }

    Said Check(const fs::path& image, const std::string& label = "DVD 2") {
        return Call(CheckCommand, prog, {"--image", image.string(), label});
    }
    std::string LastLogLine() const {
        const std::string log = ReadAll(prog / "Logs" / kCheckLogName);
        const auto end = log.rfind("\r\n");
        return log.substr(log.rfind("\r\n", end - 1) + 2, end - log.rfind("\r\n", end - 1) - 2);
    }
};

TEST(CheckTest, AWholeDiscPassesAndEveryKindOfDamageIsNamedWithinBoundedTime) {
    Written w(ArchiveKind::Sqlite);
    const Said whole = w.Check(w.Iso(2));
    EXPECT_EQ(whole.status, kExitGood) << whole.out;
    EXPECT_TRUE(Has(whole, "6 studies on it, 6 recorded on it by the database")) << whole.out;
    EXPECT_TRUE(Has(whole, "Result: whole")) << whole.out;
    // Every byte of every file was read: as many as an independent reader extracts.
    const fs::path tree = w.dir / "tree";
    Capture("xorriso -osirrox on -indev " + Quote(w.Iso(2)) + " -extract / " + Quote(tree) +
            " >/dev/null 2>&1; chmod -R u+w " + Quote(tree));
    std::uint64_t treeBytes = 0, treeFiles = 0;
    for (const auto& e : fs::recursive_directory_iterator(tree))
        if (e.is_regular_file()) treeBytes += e.file_size(), ++treeFiles;
    const auto line = ParseDiscCheck(w.LastLogLine());
    ASSERT_TRUE(line) << w.LastLogLine();
    EXPECT_EQ(line->label, "DVD 2");
    EXPECT_EQ(line->result, check_result::kWhole);
    EXPECT_EQ(line->bytes, treeBytes);
    EXPECT_EQ(line->files, treeFiles);

    // The program itself, as an operator runs it after a run: the disc is
    // found in the image folder by its label.
    fs::copy_file(VELUNOR_CLI_PATH, w.prog / "velunor-cli");
    std::string out;
    EXPECT_EQ(test::RunShell(Quote(w.prog / "velunor-cli") + " check 'DVD 1'", out), kExitGood) << out;
    EXPECT_NE(out.find("DVD 1 (" + w.Iso(1).string() + "): 9 files"), std::string::npos) << out;

    // One flipped byte inside one file: that file is named.
    const fs::path flipped = w.dir / "flipped.iso";
    fs::copy_file(w.Iso(2), flipped);
    const test::DamagedFile damage = test::DamageLastFileOf2(flipped, 100);
    const std::string& victim = damage.path;
    const Said damaged = w.Check(flipped);
    EXPECT_EQ(damaged.status, kExitAttention) << damaged.out;
    EXPECT_TRUE(Has(damaged, victim + ": differs from what was written (MD5 mismatch)")) << damaged.out;
    EXPECT_TRUE(Has(damaged, "that are incomplete on it: 1")) << damaged.out;
    EXPECT_EQ(ParseDiscCheck(w.LastLogLine())->result, check_result::kDamaged);

    // Cut short: what lies beyond the end is named unreadable, the rest is
    // still read, and the check ends.
    const fs::path truncated = w.dir / "truncated.iso";
    WriteAll(truncated, ReadAll(w.Iso(2)).substr(0, static_cast<std::size_t>(damage.offset)));
    const Said cut = w.Check(truncated);
    EXPECT_EQ(cut.status, kExitAttention) << cut.out;
    EXPECT_TRUE(Has(cut, victim + ": unreadable:")) << cut.out;
    EXPECT_TRUE(Has(cut, "Its bytes could not be compared: its checksum records cannot be read")) << cut.out;
    EXPECT_GT(ParseDiscCheck(w.LastLogLine())->bytes, 0u);

    // A drive that spends an hour on every read of a damaged sector: each
    // file ends at its bound, named, and the check ends.
    std::ostringstream slow;
    CommandEnv env{w.prog, slow, slow};
    auto tick = std::chrono::steady_clock::now();
    env.clock = [&] { return tick += std::chrono::hours(1); };
    EXPECT_EQ(CheckCommand({"--image", w.Iso(2).string(), "DVD 2"}, env), kExitAttention);
    EXPECT_NE(slow.str().find(victim + ": reading it took longer than 120 s"), std::string::npos) << slow.str();

    // The same files in an image written without MD5 records: read, and
    // said that their bytes could not be compared.
    const fs::path plain = w.dir / "plain.iso";
    Capture("xorriso -as mkisofs -R -V 'DVD 2' -o " + Quote(plain) + " " + Quote(tree) + " >/dev/null 2>&1");
    const Said unsummed = w.Check(plain);
    EXPECT_EQ(unsummed.status, kExitGood) << unsummed.out;
    EXPECT_TRUE(Has(unsummed, "13 of 13 files carry no MD5 record")) << unsummed.out;
    EXPECT_EQ(ParseDiscCheck(w.LastLogLine())->result, check_result::kReadableNotCompared);

    // Not a disc at all, or another disc than the one named.
    WriteAll(w.dir / "junk.iso", std::string(100000, 'x'));
    const Said junk = w.Check(w.dir / "junk.iso");
    EXPECT_EQ(junk.status, kExitCannotRun) << junk.out;
    EXPECT_EQ(ParseDiscCheck(w.LastLogLine())->result, check_result::kUnreadable);
    const Said other = w.Check(w.Iso(2), "DVD 1");
    EXPECT_EQ(other.status, kExitCannotRun);
    EXPECT_TRUE(Has(other, "is \"DVD 2\", not DVD 1")) << other.out;
}

class Backends : public ::testing::TestWithParam<ArchiveKind> {};

TEST_P(Backends, CheckNamesEveryStudyTheDatabaseRecordsOtherwiseAndFindNamesTheDiscs) {
    Written w(GetParam());
    const auto& moved = w.generated.studies[4];   // in 2/ of DVD 2
    const auto& both = w.generated.studies[0];    // on DVD 1 and in 1/ of DVD 2
    w.db.db().Execute("UPDATE tblStudies SET StudyDirectory2 = 'DVD 7' WHERE StudyID = " +
                       std::to_string(moved.studyId));
    w.db.AddStudy(100, std::string("1.2.826.0.1.100"), std::string("2020/ghost"), std::string("DVD 1|DVD 2"),
                   w.generated.studies[0].archiveId);
    w.db.AddStudy(101, std::string("1.2.826.0.1.101"), std::string("2020/lower"), std::string("dvd 2"),
                   w.generated.studies[0].archiveId);

    const Said s = w.Check(w.Iso(2));
    EXPECT_EQ(s.status, kExitAttention) << s.out;
    EXPECT_TRUE(Has(s, "missing from it (or unreadable): 1\n  1.2.826.0.1.100 (folder 2020/ghost, on DVD 1 and DVD 2)"))
        << s.out;
    EXPECT_TRUE(Has(s, "does not record there: 1\n  " + moved.studyUid + " (in 2/): the database has it folder " +
                           moved.directory1 + ": on DVD 7 only"))
        << s.out;
    EXPECT_FALSE(Has(s, "1.2.826.0.1.101")) << s.out;
    EXPECT_FALSE(Has(s, "Damaged")) << s.out;
    EXPECT_EQ(ParseDiscCheck(w.LastLogLine())->result, check_result::kMismatch);

    // find, by Study UID and by folder: the discs and their last checks (the
    // verification after writing counts as DVD 1's).
    const Said byUid = Call(FindCommand, w.prog, {both.studyUid});
    EXPECT_EQ(byUid.status, kExitGood) << byUid.out;
    EXPECT_TRUE(Has(byUid, "on DVD 1 and DVD 2\n  DVD 1: last checked ")) << byUid.out;
    EXPECT_TRUE(Has(byUid, ", verified after writing\n  DVD 2: last checked ")) << byUid.out;
    EXPECT_TRUE(Has(byUid, ", does not match the database\n")) << byUid.out;
    EXPECT_TRUE(Has(Call(FindCommand, w.prog, {"2020/ghost"}), "Study 1.2.826.0.1.100, folder 2020/ghost"));
    EXPECT_EQ(Call(FindCommand, w.prog, {"1.2.3.4.5"}).status, kExitAttention);

    // Without a database nothing is read, and nothing is logged as a check.
    const std::string before = ReadAll(w.prog / "Logs" / kCheckLogName);
    WriteAll(w.prog / "velunor.ini", "[CONFIG]\nServerType=SQLite3\nServer=" + (w.dir / "none.db").string() + "\n");
    EXPECT_EQ(w.Check(w.Iso(2)).status, kExitCannotRun);
    EXPECT_EQ(Call(FindCommand, w.prog, {both.studyUid}).status, kExitCannotRun);
    EXPECT_EQ(ReadAll(w.prog / "Logs" / kCheckLogName), before);
}

TEST_P(Backends, ReportCountsEveryStateAndExitsOneUntilNothingNeedsAnOperator) {
    test::TempDir dir;
    test::TestArchive db(GetParam(), dir.path());
    const fs::path prog = dir / "prog";
    fs::create_directories(prog / "Logs");
    WriteAll(prog / "velunor.ini",
             "[CONFIG]\nServerType=" + db.serverType() + "\nServer=" + db.server() + "\n");
    WriteLastMediaNr(prog, 4);
    db.AddArchive(1, std::nullopt, std::string("/archive"));
    const std::pair<std::string, SqlParam> studies[] = {
        {"w1", std::nullopt},        {"w2", std::string("")},     {"big", std::nullopt},
        {"late", std::string("DVD 4")}, {"missed", std::string("DVD 2")}, {"t1", std::string("DVD 3|DVD 4")},
        {"t2", std::string("DVD 1|DVD 2")}, {"nr", std::string("not readable")}, {"odd", std::string("DVD x")},
        {"migratedA", std::nullopt}};
    int id = 0;
    for (const auto& [name, value] : studies) {
        ++id;
        db.AddStudy(id, "1.2." + std::to_string(id), name, value, 1);   // "big" is 1.2.3
    }
    WriteAll(prog / "Logs" / "Error.log", "07.12.26 02:00:00 0 Study /archive/big (Study UID 1.2.3) is larger than "
                                          "one disc: at least 5 bytes ... stays on no discDatenKopieren\r\n");
    const auto now = std::chrono::system_clock::now();
    const auto day = std::chrono::hours(24);
    LogSink sink;
    sink.logsDir = prog / "Logs";
    AppendDiscCheck(sink, {now - 400 * day, "DVD 1", 3, 300, 1, check_result::kWhole});
    AppendDiscCheck(sink, {now - 2 * day, "DVD 3", 3, 300, 1, check_result::kDamaged});
    AppendDiscCheck(sink, {now - day, "DVD 4", 3, 300, 1, check_result::kVerifiedAfterWriting});
    WriteRecordJournal(prog, {{5, 2, "1.2.9"}, {5, 2, "1.2.10"}});

    Said r = Call(ReportCommand, prog, {"--json"}, now);
    EXPECT_EQ(r.status, kExitAttention) << r.out;
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
    ASSERT_FALSE(json.isEmpty()) << r.out;
    const QJsonObject counts = json["studies"].toObject();
    EXPECT_EQ(counts["waiting"].toInt(), 2);
    EXPECT_EQ(counts["largerThanDisc"].toInt(), 1);
    EXPECT_EQ(counts["oneDisc"].toInt(), 2);
    EXPECT_EQ(counts["twoDiscs"].toInt(), 2);
    EXPECT_EQ(counts["notReadable"].toInt(), 1);
    EXPECT_EQ(counts["migrated"].toInt(), 1);
    EXPECT_EQ(counts["unrecognised"].toInt(), 1);
    EXPECT_EQ(json["lastDisc"].toInt(), 4);
    EXPECT_EQ(json["missedSecondCopy"].toObject()["studies"].toArray()[0].toObject()["folder"].toString(), "missed");
    const QJsonObject discs = json["discs"].toObject();
    EXPECT_EQ(discs["neverChecked"].toArray(), QJsonArray({"DVD 2"}));
    EXPECT_EQ(discs["overdue"].toArray()[0].toObject()["disc"].toString(), "DVD 1");
    EXPECT_EQ(discs["lastCheckFailed"].toArray()[0].toObject()["disc"].toString(), "DVD 3");
    EXPECT_EQ(json["unrecordedDiscs"].toArray()[0].toObject()["studies"].toInt(), 2);
    EXPECT_EQ(json["reasons"].toArray().size(), 8) << r.out;

    // The same as text; then every cause taken away, one check overdue no more.
    r = Call(ReportCommand, prog, {"--older-than", "500"}, now);
    EXPECT_TRUE(Has(r, "Discs never checked: DVD 2\n")) << r.out;
    EXPECT_FALSE(Has(r, "more than 500 days ago:")) << r.out;
    db.db().Execute("DELETE FROM tblStudies WHERE StudyDirectory1 IN ('big', 'missed', 'nr', 'odd')");
    AppendDiscCheck(sink, {now, "DVD 2", 3, 300, 1, check_result::kWhole});
    AppendDiscCheck(sink, {now, "DVD 3", 3, 300, 1, check_result::kReadableNotCompared});
    WriteRecordJournal(prog, {});
    r = Call(ReportCommand, prog, {"--older-than", "500"}, now);
    EXPECT_EQ(r.status, kExitGood) << r.out;
    EXPECT_TRUE(Has(r, "Nothing needs an operator")) << r.out;
    EXPECT_EQ(Call(ReportCommand, prog, {"--older-than", "soon"}).status, kExitCannotRun);
}

INSTANTIATE_TEST_SUITE_P(, Backends, ::testing::Values(ArchiveKind::Sqlite, ArchiveKind::Postgres),
                         [](const auto& info) { return test::KindName(info.param); });

}  // namespace
}  // namespace velunor
