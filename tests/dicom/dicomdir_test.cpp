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
#include <functional>
#include <map>
#include <memory>
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
    fs::path dvd = tmp / "staging" / "DVD", first = dvd / "1", second = dvd / "2", sources = tmp / "sources";

    void SetUp() override {
        shell.settings.TempPath = (tmp / "staging").string() + "/";
        for (const fs::path& folder : {tmp / "program", first, second, sources}) fs::create_directories(folder);
    }
    bool Phase() { return DicomDir(run, StagedDisc{0, run.Tree()}); }

    // A generated image of `modality` (seeded), staged as `target`.
    void StageImage(arc::Modality modality, std::uint64_t seed, const fs::path& target) {
        const fs::path source = sources / (std::to_string(seed) + ".dcm");
        arc::WriteImage(source, modality, arc::Syntax::ExplicitLittle, 8192, seed);
        Stage(source, target);
    }
    std::string Log(const char* name) { return ReadAll(tmp / "program" / "Logs" / name); }
};

TEST_F(DicomDirPhase, RecordsEveryStagedFileOnceUnderItsRealNameAndEveryReferenceResolves) {
    // Real-world names: UID names, IM00001.dcm in both folders, umlauts,
    // apostrophes and blanks, both cases of the extension; pydicom's
    // samples bring an SR, an RT plan and a waveform with required record
    // values missing, which DCMTK invents.
    shell.settings.DebugMode = true;
    const std::vector<std::pair<fs::path, std::string>> firstFiles = {
        {Sample("CT_small.dcm"), "1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322.dcm"},
        {Sample("MR_small.dcm"), "IM00001.dcm"},
        {Sample("test-SR.dcm"), "Müller's Befund 900-01.DCM"},
    };
    for (const auto& [source, name] : firstFiles) Stage(source, first / name);
    StageImage(arc::Modality::US, 7, second / "IM00001.dcm");
    StageImage(arc::Modality::CR, 8, second / "O'Brien Sean Thorax p.a. 1-01.Dcm");
    Stage(Sample("rtplan.dcm"), second / "rtplan.dcm");
    Stage(Sample("waveform_ecg.dcm"), second / "EKG Ruhe.dcm");
    const fs::path pdf = sources / "pdf.dcm";
    arc::WriteImage(pdf, arc::Modality::PDF, arc::Syntax::ExplicitLittle, 0, 9);
    Stage(pdf, second / "Arztbrief Jörg.dcm");
    // Subfolders are not visited; an empty file in 1/ (an interrupted run's,
    // read-only) is deleted unrecorded; an instance staged twice is
    // referenced once, at its first place.
    fs::create_directories(first / "old");
    Stage(Sample("CT_small.dcm"), first / "old" / "IM00001.dcm");
    WriteAll(first / "IM00002.dcm", "");
    ::chmod((first / "IM00002.dcm").c_str(), 0444);
    fs::copy_file(first / "IM00001.dcm", second / "zz again.dcm");

    ASSERT_TRUE(Phase()) << Log("Error.log");
    EXPECT_TRUE(events.asked.empty());
    EXPECT_EQ(Entries(dvd), (std::vector<std::string>{"1", "2", "Dicomdir"}));
    EXPECT_FALSE(fs::exists(first / "IM00002.dcm"));
    EXPECT_NE(Log("Debug.log").find("2/zz again.dcm"), std::string::npos);

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
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end(), [](const auto& a, const auto& b) { return a[0] < b[0]; }));

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

    // pydicom's FileSet reads the same records and finds every file.
    WriteAll(tmp / "fileset.py", "import os, sys\nfrom pydicom import dcmread\nfrom pydicom.fileset import FileSet\n"
                                 "for i in FileSet(dcmread(sys.argv[1])):\n"
                                 "    print('FILE', os.path.isfile(i.path), os.path.relpath(i.path, sys.argv[2]))\n");
    std::string output;
    ASSERT_EQ(RunShell("PYTHONIOENCODING=utf-8 " + SystemPython() + " " + Quote(tmp / "fileset.py") + " " +
                           Quote(dvd / "Dicomdir") + " " + Quote(dvd),
                       output),
              0)
        << output;
    std::vector<std::string> seen;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("FILE ", 0) == 0) seen.push_back(line.substr(5));
    std::sort(seen.begin(), seen.end());
    std::vector<std::string> found;
    for (const std::string& id : expected) found.push_back("True " + id);
    EXPECT_EQ(seen, found);
}

// The phase fails on the first file or folder it cannot use: it says which,
// writes no DICOMDIR and no temporary file, and the staged files stay.
TEST_F(DicomDirPhase, WhatCannotBeReadOrWrittenFailsThePhase) {
    const fs::path privateClass = sources / "private.dcm";   // no DICOMDIR record type exists for it
    arc::WriteImage(privateClass, arc::Modality::CT, arc::Syntax::ExplicitLittle, 8192, 5);
    std::string output;
    ASSERT_EQ(RunShell("dcmodify -nb -m '(0008,0016)=1.2.3.4.5.6.7' " + Quote(privateClass), output), 0) << output;
    const struct {
        const char* what;
        std::function<void()> stage;
        std::string named, stays;
    } cases[] = {
        {"an empty file in 2/ (read, unlike 1/)", [&] { WriteAll(second / "IM00001.dcm", ""); }, "2/IM00001.dcm",
         "2/IM00001.dcm"},
        {"a broken file after a deleted empty one",
         [&] { WriteAll(first / "A_empty.dcm", ""), WriteAll(first / "B_broken.dcm", "not a DICOM file"); },
         "B_broken.dcm", "1/B_broken.dcm"},
        {"no 2/", [&] { fs::remove_all(second); }, "DVD/2", "1/IM00001.dcm"},
        {"a SOP class DCMTK refuses", [&] { Stage(privateClass, second / "private.dcm"); }, "2/private.dcm",
         "2/private.dcm"},
        {"a folder at the DICOMDIR's name", [&] { fs::create_directories(dvd / "Dicomdir" / "inside"); }, "Dicomdir",
         "Dicomdir/inside"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dvd);
        for (const fs::path& folder : {first, second}) fs::create_directories(folder);
        StageImage(arc::Modality::CT, 1, first / "IM00001.dcm");
        c.stage();
        events.asked.clear();
        const std::size_t logged = Log("Error.log").size();

        EXPECT_FALSE(Phase());
        EXPECT_FALSE(fs::is_regular_file(dvd / "Dicomdir"));
        EXPECT_TRUE(fs::exists(dvd / c.stays));
        ASSERT_EQ(events.asked.size(), 1u);
        EXPECT_NE(events.asked[0].text.find(c.named), std::string::npos) << events.asked[0].text;
        EXPECT_EQ(events.asked[0].text.find("F000000"), std::string::npos) << "no internal alias in the message";
        EXPECT_NE(Log("Error.log").find(c.named, logged), std::string::npos);
        for (const std::string& entry : Entries(dvd))
            EXPECT_TRUE(entry == "1" || entry == "2" || entry == "Dicomdir") << "left behind: " << entry;
    }

    // DVD/ itself unwritable: through its permissions for a normal user,
    // through the immutable attribute for root (permissions do not stop
    // root; the attribute needs a file system that has it).
    fs::remove_all(dvd / "Dicomdir");
    const bool root = ::geteuid() == 0;
    if (!root) fs::permissions(dvd, fs::perms::owner_read | fs::perms::owner_exec);
    const bool locked = !root || RunShell("chattr +i " + Quote(dvd), output) == 0;
    const std::shared_ptr<void> unlock(nullptr, [&](void*) {
        if (root) RunShell("chattr -i " + Quote(dvd), output);
        std::error_code ec;
        fs::permissions(dvd, fs::perms::owner_all, fs::perm_options::add, ec);
    });
    if (locked) {
        events.asked.clear();
        EXPECT_FALSE(Phase());
        EXPECT_EQ(events.asked.size(), 1u);
        EXPECT_EQ(Entries(dvd), (std::vector<std::string>{"1", "2"}));
    }
}

TEST(DicomDirBuilderChecks, WorkFoldersOfKilledProcessesAreRemovedAndThoseInUseKept) {
    // Earlier builders' work folders. A lock file nobody holds: its owner was
    // killed (also while setting it up, under the lock file's first name). A
    // held lock: in use. No lock file: being set up now, unless a minute old.
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
    EXPECT_EQ(during, 2u);  // the live one and the other one: the builder needs none
    EXPECT_EQ(Entries(tmp.path()), (std::vector<std::string>{"velunor-dicomdir-live01", "velunor-dicomdir-other1"}));
}

}  // namespace
