// The DICOMDIR phase and its builder on real staged files: DCMTK builds the
// DICOMDIR, DCMTK and pydicom's FileSet read it back.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/dcmdata/dcdirrec.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>

#include "app/run.hpp"
#include "dicom/dicom.hpp"
#include "tests/dicom/dicom_test_support.hpp"
#include "tests/support/recorded_events.hpp"
#include "tests/support/scripted_drive.hpp"
#include "tests/support/support.hpp"
#include "tools/archive_generator.hpp"

namespace fs = std::filesystem;
using namespace velunor;
using namespace velunor::test;
namespace arc = velunor::archive;

namespace {

// One record of a DICOMDIR as read back with DCMTK.
struct Record {
    std::string type;     // "IMAGE", "SR DOCUMENT", ...
    std::string fileId;   // "1/name", decoded from ISO 8859-1
    std::string sopInstance;
};

// Every record of the DICOMDIR at `file` that references a file, in the
// order of its hierarchy.
std::vector<Record> ReadRecords(const fs::path& file) {
    DcmDicomDir dir(OFFilename(file.c_str()));
    if (dir.error().bad()) throw std::runtime_error(std::string("DCMTK cannot load the DICOMDIR: ") + dir.error().text());
    std::vector<Record> records;
    auto collect = [&](auto& self, DcmDirectoryRecord& record) -> void {
        for (unsigned long i = 0; i < record.cardSub(); ++i) {
            DcmDirectoryRecord& sub = *record.getSub(i);
            OFString id, type, sop;
            if (sub.findAndGetOFStringArray(DCM_ReferencedFileID, id).good() && !id.empty()) {
                sub.findAndGetOFString(DCM_DirectoryRecordType, type);
                sub.findAndGetOFString(DCM_ReferencedSOPInstanceUIDInFile, sop);
                std::string path;
                for (const char ch : std::string(id.c_str())) {
                    const auto c = static_cast<unsigned char>(ch);
                    if (c < 0x80) path += ch == '\\' ? '/' : ch;
                    else path += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
                }
                records.push_back({type.c_str(), path, sop.c_str()});
            }
            self(self, sub);
        }
    };
    collect(collect, dir.getRootRecord());
    return records;
}

// The staging tree of one run and the shell around it.
class DicomDirPhase : public ::testing::Test {
protected:
    TempDir tmp;
    RecordedEvents events;
    Shell shell{tmp / "program", events};
    ScriptedDrive drive;
    velunor::Run run{shell, drive};
    fs::path dvd, first, second, sources;
    int yields = 0;

    void SetUp() override {
        fs::create_directories(tmp / "program");
        shell.settings.TempPath = (tmp / "staging").string() + "/";
        dvd = tmp / "staging" / "DVD";
        first = dvd / "1";
        second = dvd / "2";
        sources = tmp / "sources";
        fs::create_directories(first);
        fs::create_directories(second);
        fs::create_directories(sources);
        events.onYield = [this] { ++yields; };
    }

    // Stages `source` into `folder` under `name` as the staging copy does.
    void Stage(const fs::path& source, const fs::path& folder, const std::string& name) {
        DicomCollection collection;
        collection.ReadFile(source);
        collection.Item(1).WriteFile(folder / name, true, kImplicitVRLittleEndian);
    }

    // A generated image of `modality` (seeded), staged under `name`.
    std::string StageImage(arc::Modality modality, std::uint64_t seed, const fs::path& folder, const std::string& name) {
        const fs::path source = sources / (std::to_string(seed) + ".dcm");
        const std::string uid = arc::WriteImage(source, modality, arc::Syntax::ExplicitLittle, 8192, seed);
        Stage(source, folder, name);
        return uid;
    }

    std::string ErrorLog() { return ReadAll(tmp / "program" / "Logs" / "Error.log"); }
};

TEST_F(DicomDirPhase, RecordsEveryStagedFileOnceUnderItsRealNameAndEveryReferenceResolves) {
    // Real-world names: UID names, IM00001.dcm in both folders, umlauts,
    // apostrophes and blanks, both cases of the extension; pydicom's
    // samples bring an SR, an RT plan and a waveform with required record
    // values missing, which DCMTK invents.
    const std::vector<std::pair<fs::path, std::string>> firstFiles = {
        {Sample("CT_small.dcm"), "1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322.dcm"},
        {Sample("MR_small.dcm"), "IM00001.dcm"},
        {Sample("test-SR.dcm"), "Müller's Befund 900-01.DCM"},
    };
    for (const auto& [source, name] : firstFiles) Stage(source, first, name);
    StageImage(arc::Modality::US, 7, second, "IM00001.dcm");
    StageImage(arc::Modality::CR, 8, second, "O'Brien Sean Thorax p.a. 1-01.Dcm");
    Stage(Sample("rtplan.dcm"), second, "rtplan.dcm");
    Stage(Sample("waveform_ecg.dcm"), second, "EKG Ruhe.dcm");
    const fs::path pdf = sources / "pdf.dcm";
    arc::WriteImage(pdf, arc::Modality::PDF, arc::Syntax::ExplicitLittle, 0, 9);
    Stage(pdf, second, "Arztbrief Jörg.dcm");
    // Subfolders are not visited.
    fs::create_directories(first / "old");
    Stage(Sample("CT_small.dcm"), first / "old", "IM00001.dcm");

    ASSERT_TRUE(DicomDir(run, StagedDisc{0, run.Tree()})) << ErrorLog();
    EXPECT_TRUE(events.asked.empty());
    EXPECT_EQ(Entries(dvd), (std::vector<std::string>{"1", "2", "Dicomdir"}));

    const std::vector<Record> records = ReadRecords(dvd / "Dicomdir");
    std::vector<std::string> ids;
    for (const Record& r : records) ids.push_back(r.fileId);
    const std::vector<std::string> expected = {
        "1/1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322.dcm", "1/IM00001.dcm", "1/Müller's Befund 900-01.DCM",
        "2/Arztbrief Jörg.dcm", "2/EKG Ruhe.dcm", "2/IM00001.dcm", "2/O'Brien Sean Thorax p.a. 1-01.Dcm",
        "2/rtplan.dcm"};
    std::vector<std::string> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, expected) << "every file once, nothing else";
    // Folder order: every file of 1/ is recorded before any file of 2/
    // (the hierarchy keeps the order in which patients and studies came).
    const auto firstOfTwo = std::find_if(ids.begin(), ids.end(), [](const std::string& id) { return id[0] == '2'; });
    EXPECT_TRUE(std::all_of(firstOfTwo, ids.end(), [](const std::string& id) { return id[0] == '2'; }));

    std::map<std::string, std::string> types;
    for (const Record& r : records) {
        EXPECT_TRUE(fs::is_regular_file(dvd / r.fileId)) << r.fileId;
        EXPECT_EQ(r.sopInstance, Inspect(dvd / r.fileId, false).sopInstance) << r.fileId;
        types[r.fileId] = r.type;
    }
    EXPECT_EQ(types["1/IM00001.dcm"], "IMAGE");
    EXPECT_EQ(types["1/Müller's Befund 900-01.DCM"], "SR DOCUMENT");
    EXPECT_EQ(types["2/Arztbrief Jörg.dcm"], "ENCAP DOC");
    EXPECT_EQ(types["2/rtplan.dcm"], "RT PLAN");
    EXPECT_EQ(types["2/EKG Ruhe.dcm"], "WAVEFORM");

    EXPECT_EQ(events.Progress(RunPhase::DicomDir), kProgressMax);
    EXPECT_GE(yields, 9);

    // pydicom's FileSet reads the same records and finds every file.
    std::string output;
    const std::string script =
        "import os, sys\n"
        "from pydicom import dcmread\n"
        "from pydicom.fileset import FileSet\n"
        "fs = FileSet(dcmread(sys.argv[1]))\n"
        "for i in fs:\n"
        "    print(('OK ' if os.path.isfile(i.path) else 'MISSING ') + os.path.relpath(i.path, os.path.dirname(sys.argv[1])))\n";
    WriteAll(tmp / "fileset.py", script);
    ASSERT_EQ(RunCommand("PYTHONIOENCODING=utf-8 " + SystemPython() + " '" + (tmp / "fileset.py").string() + "' '" +
                             (dvd / "Dicomdir").string() + "'",
                         output),
              0)
        << output;
    std::vector<std::string> seen;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("OK ", 0) == 0) seen.push_back(line.substr(3));
        EXPECT_EQ(line.rfind("MISSING", 0), std::string::npos) << line;
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);
}

TEST_F(DicomDirPhase, ZeroByteFilesInFolderOneAreDeletedWithoutRecordOrProgress) {
    StageImage(arc::Modality::CT, 1, first, "IM00001.dcm");
    WriteAll(first / "IM00002.dcm", "");
    ::chmod((first / "IM00002.dcm").c_str(), 0444);
    StageImage(arc::Modality::MR, 2, second, "IM00001.dcm");

    ASSERT_TRUE(DicomDir(run, StagedDisc{0, run.Tree()})) << ErrorLog();
    EXPECT_FALSE(fs::exists(first / "IM00002.dcm"));
    EXPECT_EQ(events.Progress(RunPhase::DicomDir), kProgressMax * 2 / 3) << "counted before the deletion";
    std::vector<std::string> ids;
    for (const Record& r : ReadRecords(dvd / "Dicomdir")) ids.push_back(r.fileId);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"1/IM00001.dcm", "2/IM00001.dcm"}));
}

TEST_F(DicomDirPhase, AZeroByteFileInFolderTwoIsReadAndFailsThePhase) {
    StageImage(arc::Modality::CT, 1, first, "IM00001.dcm");
    WriteAll(second / "IM00001.dcm", "");

    EXPECT_FALSE(DicomDir(run, StagedDisc{0, run.Tree()}));
    EXPECT_FALSE(fs::exists(dvd / "Dicomdir"));
    EXPECT_TRUE(fs::exists(second / "IM00001.dcm")) << "staged files stay where they are";
    ASSERT_EQ(events.asked.size(), 1u);
    EXPECT_EQ(events.asked[0].icon, Icon::Critical);
    EXPECT_NE(events.asked[0].text.find("IM00001.dcm"), std::string::npos) << events.asked[0].text;
    EXPECT_NE(ErrorLog().find("DicomDir"), std::string::npos);
}

TEST_F(DicomDirPhase, FailuresAfterAZeroByteFileWasDeletedStillEndThePhase) {
    // Sorted first, the empty file is deleted before the broken one is met.
    WriteAll(first / "A_empty.dcm", "");
    WriteAll(first / "B_broken.dcm", "not a DICOM file");
    StageImage(arc::Modality::MR, 3, second, "IM00001.dcm");

    EXPECT_FALSE(DicomDir(run, StagedDisc{0, run.Tree()}));
    EXPECT_FALSE(fs::exists(first / "A_empty.dcm"));
    EXPECT_TRUE(fs::exists(first / "B_broken.dcm"));
    EXPECT_FALSE(fs::exists(dvd / "Dicomdir"));
    ASSERT_EQ(events.asked.size(), 1u);
    EXPECT_NE(events.asked[0].text.find("B_broken.dcm"), std::string::npos);
    const std::string log = ErrorLog();
    EXPECT_NE(log.find("B_broken.dcm"), std::string::npos);
    EXPECT_NE(log.find("DicomDir"), std::string::npos);
}

TEST_F(DicomDirPhase, ADicomdirThatCannotBeWrittenFailsThePhase) {
    StageImage(arc::Modality::CT, 1, first, "IM00001.dcm");
    // Something that is not a file holds the DICOMDIR's name.
    fs::create_directories(dvd / "Dicomdir" / "inside");
    EXPECT_FALSE(DicomDir(run, StagedDisc{0, run.Tree()}));
    EXPECT_TRUE(fs::is_directory(dvd / "Dicomdir" / "inside"));
    ASSERT_EQ(events.asked.size(), 1u);
    EXPECT_NE(events.asked[0].text.find("Dicomdir"), std::string::npos) << events.asked[0].text;
    EXPECT_EQ(Entries(dvd), (std::vector<std::string>{"1", "2", "Dicomdir"})) << "no temporary file left";

    // DVD/ itself unwritable: through its permissions for a normal user,
    // through the immutable attribute for root (permissions do not stop
    // root; the attribute needs a file system that has it).
    fs::remove_all(dvd / "Dicomdir");
    std::string output;
    bool locked = false;
    if (::geteuid() != 0) {
        fs::permissions(dvd, fs::perms::owner_read | fs::perms::owner_exec);
        locked = true;
    } else {
        locked = RunCommand("chattr +i '" + dvd.string() + "'", output) == 0;
    }
    struct Unlock {
        fs::path dir;
        bool root;
        ~Unlock() {
            std::string ignored;
            if (root) RunCommand("chattr -i '" + dir.string() + "'", ignored);
            std::error_code ec;
            fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        }
    } unlock{dvd, ::geteuid() == 0};
    if (locked) {
        EXPECT_FALSE(DicomDir(run, StagedDisc{0, run.Tree()}));
        EXPECT_EQ(events.asked.size(), 2u);
        EXPECT_NE(ErrorLog().find("DicomDir"), std::string::npos);
        EXPECT_EQ(Entries(dvd), (std::vector<std::string>{"1", "2"}));
    }
}

TEST_F(DicomDirPhase, AMissingFolderOrARefusedFileFailsThePhase) {
    fs::remove_all(second);
    StageImage(arc::Modality::CT, 1, first, "IM00001.dcm");
    EXPECT_FALSE(DicomDir(run, StagedDisc{0, run.Tree()}));
    EXPECT_NE(ErrorLog().find("DVD/2"), std::string::npos);
    fs::create_directories(second);

    // A SOP class no DICOMDIR record type exists for: DCMTK refuses it, and
    // the phase fails instead of writing a DICOMDIR without it.
    const fs::path source = sources / "private.dcm";
    arc::WriteImage(source, arc::Modality::CT, arc::Syntax::ExplicitLittle, 8192, 5);
    std::string output;
    ASSERT_EQ(RunCommand("dcmodify -nb -m '(0008,0016)=1.2.3.4.5.6.7' '" + source.string() + "'", output), 0) << output;
    Stage(source, second, "private.dcm");
    EXPECT_FALSE(DicomDir(run, StagedDisc{0, run.Tree()}));
    EXPECT_FALSE(fs::exists(dvd / "Dicomdir"));
    EXPECT_NE(ErrorLog().find("invalid SOP class (1.2.3.4.5.6.7)"), std::string::npos) << ErrorLog();
    EXPECT_NE(events.asked.back().text.find("2/private.dcm"), std::string::npos) << events.asked.back().text;
    EXPECT_EQ(events.asked.back().text.find("F000000"), std::string::npos) << "no internal alias in the message";
    EXPECT_EQ(events.asked.size(), 2u);
}

TEST_F(DicomDirPhase, AnInstanceStagedTwiceIsReferencedOnce) {
    shell.settings.DebugMode = true;
    StageImage(arc::Modality::CT, 1, first, "IM00001.dcm");
    fs::copy_file(first / "IM00001.dcm", second / "IM00001.dcm");
    ASSERT_TRUE(DicomDir(run, StagedDisc{0, run.Tree()})) << ErrorLog();
    const std::vector<Record> records = ReadRecords(dvd / "Dicomdir");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fileId, "1/IM00001.dcm");
    EXPECT_NE(ReadAll(tmp / "program" / "Logs" / "Debug.log").find("2/IM00001.dcm"), std::string::npos);
}

TEST(DicomDirBuilderChecks, WorkFoldersOfKilledProcessesAreRemovedAndThoseInUseKept) {
    // A lock file nobody holds: its owner was killed (also while setting the
    // folder up, under the lock file's first name). A held lock: in use. No
    // lock file: an owner setting it up this moment, unless a minute old.
    TempDir tmp;
    const std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", tmp.path().c_str(), 1);
    for (const char* name : {"dead01", "live01", "other1", "old001", "setup1"})
        fs::create_directories(tmp / (std::string("velunor-dicomdir-") + name));
    WriteAll(tmp / "velunor-dicomdir-dead01/.owner", "");
    WriteAll(tmp / "velunor-dicomdir-dead01/F0000001", "staged data kept alive by a link");
    WriteAll(tmp / "velunor-dicomdir-live01/.owner", "");
    Fd held(::open((tmp / "velunor-dicomdir-live01/.owner").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(held.fd, LOCK_EX), 0);
    fs::last_write_time(tmp / "velunor-dicomdir-old001", fs::file_time_type::clock::now() - std::chrono::minutes(5));
    WriteAll(tmp / "velunor-dicomdir-setup1/.owner-new", "");
    std::size_t during = 0;
    {
        DicomDirBuilder builder;
        during = Entries(tmp.path()).size();
    }
    if (saved.empty()) ::unsetenv("TMPDIR");
    else ::setenv("TMPDIR", saved.c_str(), 1);
    EXPECT_EQ(during, 3u);  // the live one, the other one and the builder's own
    EXPECT_EQ(Entries(tmp.path()), (std::vector<std::string>{"velunor-dicomdir-live01", "velunor-dicomdir-other1"}));
}

}  // namespace
