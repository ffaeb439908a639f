// Disc labels of discs written by real runs: the label command, the label
// PDF of LabelFolder, the case insert of a long list, and a label that
// cannot be written.
#include <gtest/gtest.h>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QImage>
#include <sstream>

#include "app/media_number.hpp"
#include "app/program/audit.hpp"
#include "app/program/label.hpp"
#include "tests/support/archive_fixture.hpp"
#include "tests/support/run_driver.hpp"
#include "tools/archive_generator.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::Capture;
using test::Quote;

std::string PdfText(const fs::path& pdf) { return Capture("pdftotext -enc UTF-8 " + Quote(pdf) + " - 2>&1"); }

// DVD 1 written and recorded by a run: four studies of the generated
// archive (ISO_IR 100), the first one turned into a Greek patient's in
// ISO_IR 192.
struct RecordedDisc : test::ArchiveFixture {
    RunOutcome outcome;
    fs::path labels = dir / "labels";

    // `labelFolderWritable` false: LabelFolder lies under a file.
    explicit RecordedDisc(bool labelFolderWritable)
        : ArchiveFixture(test::ArchiveKind::Sqlite, Options(), [](const archive::Study&) { return std::nullopt; }) {
        if (labelFolderWritable) fs::create_directories(labels);
        else labels = prog / "velunor.ini" / "labels";
        for (const auto& f : generated.studies[0].files) {
            DcmFileFormat file;
            EXPECT_TRUE(file.loadFile(f.path.c_str()).good());
            file.getDataset()->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
            file.getDataset()->putAndInsertString(DCM_PatientName, "Παπαδοπούλου^Ελένη");
            file.getDataset()->putAndInsertString(DCM_PatientID, "GR-0001");
            EXPECT_TRUE(file.saveFile(f.path.c_str()).good());
        }
        WriteIni("LabelFolder=" + labels.string() + "\nAuthBurn=1\nArchive=1\n");
        test::RunDriver run(prog, dir / "Velunor.ready", "");
        run.events.answers = {Answer::Yes};   // write although little has gathered
        outcome = run.RunOnce();
    }
    static archive::Options Options() {
        archive::Options o;
        o.studies = 4;
        o.filesPerStudy = 1;
        o.fileBytes = 4096;
        o.zipPercent = 0;
        o.unreadable = 0;
        o.extras = o.reports = false;
        return o;
    }

    int Label(const std::vector<std::string>& args) {
        std::ostringstream out;
        CommandEnv env{prog, out, out};
        return LabelCommand(args, env);
    }
};

TEST(LabelTest, ARecordedDiscsLabelListsItsStudiesLegiblyAsPdfAndPng) {
    RecordedDisc disc(true);
    ASSERT_TRUE(disc.outcome.discRecorded);
    // The run put the label into LabelFolder.
    const std::string fromRun = PdfText(disc.labels / "DVD 1.pdf");
    std::string latinName = disc.generated.studies[1].patientName;
    latinName.replace(latinName.find('^'), 1, ", ");
    for (const std::string shown : {"DVD 1", "4 studies", "Παπαδοπούλου, Ελένη", "GR-0001", latinName.c_str()})
        EXPECT_NE(fromRun.find(shown), std::string::npos) << shown << " missing from:\n" << fromRun;
    EXPECT_EQ(fromRun.find("case insert"), std::string::npos) << "four studies fit on the disc face";

    // The command draws the same label from the image.
    const fs::path pdf = disc.dir / "out" / "l.pdf", png = disc.dir / "out" / "l.png";
    fs::create_directories(pdf.parent_path());
    ASSERT_EQ(disc.Label({"DVD", "1", "--pdf", pdf.string(), "--png", png.string()}), kExitGood);
    EXPECT_EQ(PdfText(pdf), fromRun);
    const QImage picture(QString::fromStdString(png.string()));
    ASSERT_FALSE(picture.isNull());
    int inked = 0;   // dark pixels of the study lines below the hub
    for (int y = picture.height() * 7 / 10; y < picture.height() * 19 / 20; ++y)
        for (int x = 0; x < picture.width(); ++x) inked += qGray(picture.pixel(x, y)) < 100;
    EXPECT_GT(inked, 500);

    // Another disc's image, or no file to write: refused, nothing written.
    const fs::path other = disc.dir / "out" / "other.pdf";
    EXPECT_EQ(disc.Label({"--image", disc.Iso(1).string(), "DVD 2", "--pdf", other.string()}),
              kExitCannotRun);
    EXPECT_EQ(disc.Label({"DVD 1"}), kExitCannotRun);
    EXPECT_FALSE(fs::exists(other));
}

TEST(LabelTest, ALongListGoesOntoCaseInsertPagesWithoutLosingAStudy) {
    DiscLabelContent content{"DVD 12", "2026-01-02", {}};
    for (int i = 1; i <= 200; ++i)
        content.studies.push_back({"Ωmega" + std::to_string(i), "ID" + std::to_string(i), "2020-01-01", "CT", "Ü"});
    test::TempDir dir;
    WriteLabelPdf(content, dir / "l.pdf");
    const std::string text = PdfText(dir / "l.pdf");
    EXPECT_NE(text.find("and 193 more: see the case insert"), std::string::npos) << text;
    EXPECT_NE(text.find("page 3 of 3"), std::string::npos);
    EXPECT_EQ(text.find("page 4"), std::string::npos);
    for (int i = 1; i <= 200; ++i)
        EXPECT_NE(text.find("Ωmega" + std::to_string(i) + "\n"), std::string::npos) << "study " << i;
}

TEST(LabelTest, ALabelThatCannotBeWrittenIsLoggedAndTheDiscStaysRecorded) {
    RecordedDisc disc(false);
    EXPECT_TRUE(disc.outcome.discRecorded);
    EXPECT_TRUE(disc.outcome.numberStored);
    EXPECT_EQ(disc.outcome.recordedStudies, 4);
    EXPECT_EQ(ReadLastMediaNr(disc.prog), 1);
    const std::string errors = test::ReadAll(disc.prog / "Logs" / "Error.log");
    EXPECT_NE(errors.find("DVD 1.pdf"), std::string::npos) << errors;
}

}  // namespace
}  // namespace velunor
