// The sample-archive generator, and the toolkit on what it generates: every
// transfer syntax it writes comes back as Implicit VR Little Endian, with
// identical pixels where the syntax is lossless.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <set>

#include "app/error.hpp"
#include "dicom/toolkit.hpp"
#include "tests/dicom/dicom_test_support.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"
#include "zip/unzip.hpp"

namespace fs = std::filesystem;
using namespace velunor;
using namespace velunor::test;
namespace arc = velunor::archive;

namespace {

struct SyntaxCase {
    arc::Syntax syntax;
    arc::Modality modality;
};

std::string CaseName(const ::testing::TestParamInfo<SyntaxCase>& info) {
    std::string name = std::string(arc::Info(info.param.syntax).name) + "_" + arc::ModalityName(info.param.modality);
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

std::vector<SyntaxCase> EverySyntaxOnGreyAndColour() {
    std::vector<SyntaxCase> cases;
    for (const arc::SyntaxInfo& s : arc::AllSyntaxes()) {
        cases.push_back({s.syntax, arc::Modality::CT});   // 12 bits in 16
        cases.push_back({s.syntax, arc::Modality::US});   // 8-bit RGB, several frames
    }
    return cases;
}

class GeneratedSyntax : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(GeneratedSyntax, ComesBackAsImplicitLittleEndianWithTheOriginalPixelsWhereLossless) {
    const SyntaxCase c = GetParam();
    TempDir dir;
    const std::uint64_t bytes = c.modality == arc::Modality::US ? 640 * 480 * 3 * 2 : 64 * 1024;
    const std::string uid = arc::WriteImage(dir / "reference.dcm", c.modality, arc::Syntax::ExplicitLittle, bytes, 42);
    EXPECT_EQ(arc::WriteImage(dir / "source.dcm", c.modality, c.syntax, bytes, 42), uid);
    EXPECT_EQ(Inspect(dir / "source.dcm", false).transferSyntax,
              c.syntax == arc::Syntax::JpegBaseline && c.modality != arc::Modality::US
                  ? arc::Info(arc::Syntax::JpegExtended).uid
                  : arc::Info(c.syntax).uid);

    DicomCollection collection;
    collection.ReadFile(dir / "source.dcm");
    collection.Item(1).WriteFile(dir / "staged.dcm", true, kImplicitVRLittleEndian);

    const FileFacts reference = Inspect(dir / "reference.dcm");
    const FileFacts staged = Inspect(dir / "staged.dcm");
    EXPECT_EQ(staged.transferSyntax, kImplicitVRLittleEndian);
    EXPECT_EQ(staged.sopInstance, uid);
    EXPECT_EQ(staged.studyUid, reference.studyUid);
    ASSERT_EQ(staged.pixels.size(), reference.pixels.size());
    if (arc::Info(c.syntax).lossless) {
        EXPECT_TRUE(staged.pixels == reference.pixels) << "pixel values changed";
    } else {
        // Lossy: close to the original on average.
        double difference = 0;
        for (std::size_t i = 0; i < staged.pixels.size(); ++i)
            difference += std::abs(int(staged.pixels[i]) - int(reference.pixels[i]));
        EXPECT_LT(difference / double(staged.pixels.size()), 24.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Generated, GeneratedSyntax, ::testing::ValuesIn(EverySyntaxOnGreyAndColour()), CaseName);

std::map<std::string, std::string> Contents(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = ReadAll(e.path());
    return files;
}

arc::Options SmallArchive(const fs::path& out, std::uint64_t seed) {
    arc::Options o;
    o.out = out;
    o.seed = seed;
    o.studies = 14;
    o.filesPerStudy = 4;
    o.fileBytes = 20000;
    o.zipPercent = 25;
    o.unreadable = 5;
    return o;
}

TEST(ArchiveGenerator, TheSameSeedGivesTheSameBytes) {
    TempDir dir;
    arc::GenerateArchive(SmallArchive(dir / "a", 11));
    arc::GenerateArchive(SmallArchive(dir / "b", 11));
    arc::GenerateArchive(SmallArchive(dir / "c", 12));
    const auto a = Contents(dir / "a"), b = Contents(dir / "b"), c = Contents(dir / "c");
    EXPECT_GT(a.size(), 50u);
    for (const auto& [name, bytes] : a) EXPECT_TRUE(b.count(name) && b.at(name) == bytes) << name;
    EXPECT_FALSE(a == c);
    // Nothing is overwritten.
    EXPECT_THROW(arc::GenerateArchive(SmallArchive(dir / "a", 11)), std::runtime_error);
}

TEST(ArchiveGenerator, WritesAnArchiveAsRealOnesAreAndTheStagingCopyCanReadIt) {
    TempDir dir;
    const arc::Archive archive = arc::GenerateArchive(SmallArchive(dir / "out", 3));
    ASSERT_EQ(archive.studies.size(), 14u);
    ASSERT_EQ(archive.roots.size(), 2u);

    std::set<std::string> modalities, syntaxes, studyUids;
    std::map<std::string, int> nameCount;
    int unreadable = 0, zips = 0, umlauts = 0, apostrophes = 0, blanks = 0;
    std::set<std::string> extensions;
    for (const arc::Study& s : archive.studies) {
        EXPECT_TRUE(studyUids.insert(s.studyUid).second);
        EXPECT_EQ(s.folder, archive.roots[static_cast<std::size_t>(s.archiveId - 1)].folder / s.directory1);
        bool studyReadable = true;
        for (const arc::File& f : s.files) {
            ASSERT_TRUE(fs::is_regular_file(f.path)) << f.path;
            EXPECT_EQ(f.path.parent_path(), s.folder);
            const std::string name = f.path.filename().string();
            if (f.kind == arc::File::Kind::Other) continue;
            ++nameCount[name];
            if (name.find("ü") != std::string::npos || name.find("ö") != std::string::npos ||
                name.find("ä") != std::string::npos || name.find("ß") != std::string::npos)
                ++umlauts;
            if (name.find('\'') != std::string::npos) ++apostrophes;
            if (name.find(' ') != std::string::npos) ++blanks;
            extensions.insert(f.path.extension().string());

            fs::path dicom = f.path;
            if (f.kind == arc::File::Kind::Zip || (f.kind == arc::File::Kind::Unreadable && f.path.extension() == ".zip")) {
                // As the staging copy does: extract beside a copy, read B + "dcm".
                ++zips;
                const fs::path unzip = dir / "unzip";
                fs::remove_all(unzip);
                fs::create_directories(unzip);
                fs::copy_file(f.path, unzip / name);
                UnzipArchive(unzip / name);
                dicom = unzip / (f.path.stem().string() + ".dcm");
            }
            DicomCollection collection;
            try {
                collection.ReadFile(dicom);
                collection.Item(1).WriteFile(dir / "staged.dcm", true, kImplicitVRLittleEndian);
                EXPECT_NE(f.kind, arc::File::Kind::Unreadable) << f.path << " (" << f.problem << ") was readable";
                const FileFacts facts = Inspect(dir / "staged.dcm", false);
                EXPECT_EQ(facts.studyUid, s.studyUid) << f.path;
                EXPECT_EQ(facts.sopInstance, f.sopInstanceUid) << f.path;
                modalities.insert(f.modality);
                syntaxes.insert(f.syntax);
            } catch (const Error& e) {
                EXPECT_EQ(f.kind, arc::File::Kind::Unreadable) << f.path << ": " << e.what();
                studyReadable = false;
                ++unreadable;
            }
        }
        EXPECT_EQ(s.readable, studyReadable) << s.directory1;
        for (const arc::File& f : s.ignored) EXPECT_NE(f.path.parent_path(), s.folder);
    }
    EXPECT_EQ(unreadable, 5);
    EXPECT_GT(zips, 0);
    EXPECT_GT(umlauts, 0);
    EXPECT_GT(apostrophes, 0);
    EXPECT_GT(blanks, 0);
    EXPECT_GE(extensions.size(), 3u) << "upper, lower and mixed case";
    EXPECT_TRUE(modalities.count("SR") && modalities.count("DOC"));
    EXPECT_GE(modalities.size(), 5u);
    EXPECT_GE(syntaxes.size(), 10u);
    EXPECT_GE(nameCount["IM00001.dcm"] + nameCount["IM00001.DCM"] + nameCount["IM00001.Dcm"], 2)
        << "names collide across studies";
}

TEST(ArchiveGenerator, FillsTheArchiveDatabase) {
    TempDir dir;
    arc::Options o = SmallArchive(dir / "out", 5);
    o.unreadable = 0;
    o.carryOver = 3;
    o.lastDisc = 17;
    o.migrated = 2;
    const arc::Archive archive = arc::GenerateArchive(o);
    arc::WriteSqliteDatabase(archive, dir / "archive.sqlite");
    EXPECT_THROW(arc::WriteSqliteDatabase(archive, dir / "archive.sqlite"), std::runtime_error);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((dir / "archive.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT s.StudyID, s.StudyUID, v.StudyDirectory1, v.ArchiveUNC, v.ArchivePath, "
                                 "s.StudyDirectory2 FROM tblStudies s JOIN View_Studies v ON v.StudyID = s.StudyID "
                                 "ORDER BY s.StudyID",
                                 -1, &st, nullptr),
              SQLITE_OK);
    auto text = [&](int column) -> std::string {
        const auto* t = sqlite3_column_text(st, column);
        return t ? reinterpret_cast<const char*>(t) : "<NULL>";
    };
    std::size_t rows = 0, carried = 0, migrated = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        const arc::Study& s = archive.studies.at(rows++);
        EXPECT_EQ(sqlite3_column_int(st, 0), s.studyId);
        EXPECT_EQ(text(1), s.studyUid);
        EXPECT_EQ(text(2), s.directory1);
        // The folder as the source folder rule forms it.
        const std::string root = text(3) != "<NULL>" ? text(3) : text(4);
        EXPECT_TRUE(fs::is_directory(root + "/" + text(2))) << root << "/" << text(2);
        if (text(5) == "DVD 17") ++carried;
        if (text(2).rfind("migrated", 0) == 0) ++migrated;
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    EXPECT_EQ(rows, 16u);
    EXPECT_EQ(carried, 3u);
    EXPECT_EQ(migrated, 2u);

    arc::WritePostgresInserts(archive, dir / "rows.sql");
    const std::string sql = ReadAll(dir / "rows.sql");
    std::size_t inserts = 0;
    for (std::size_t at = sql.find("INSERT INTO tblStudies"); at != std::string::npos;
         at = sql.find("INSERT INTO tblStudies", at + 1))
        ++inserts;
    EXPECT_EQ(inserts, 16u);
    for (const arc::Study& s : archive.studies) {
        std::string quoted;
        for (char ch : s.directory1) quoted += ch == '\'' ? std::string("''") : std::string(1, ch);
        EXPECT_NE(sql.find("'" + quoted + "'"), std::string::npos) << s.directory1;
    }
}

TEST(ArchiveGenerator, RefusesOptionsOutOfRange) {
    TempDir dir;
    auto attempt = [&](auto change) {
        arc::Options o = SmallArchive(dir / "x", 1);
        change(o);
        EXPECT_THROW(arc::GenerateArchive(o), std::runtime_error);
    };
    attempt([](arc::Options& o) { o.roots = 3; });
    attempt([](arc::Options& o) { o.fileBytes = 100; });
    attempt([](arc::Options& o) { o.unreadable = o.studies + 1; });
    attempt([](arc::Options& o) { o.filesPerStudy = 0; });
    attempt([](arc::Options& o) { o.zipPercent = 101; });
    attempt([](arc::Options& o) { o.modalities = {arc::Modality::SR}; });
    EXPECT_FALSE(arc::SyntaxByName("jpeg-xl"));
    EXPECT_EQ(arc::SyntaxByName("jpeg-ls"), arc::Syntax::JpegLsLossless);
}

}  // namespace
