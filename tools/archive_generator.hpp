// A generated DICOM archive for tests, the demo and the benchmarks.
//
// GenerateArchive writes one or two archive roots holding study folders
// ("2019/04/17/ACC0001234", "2021/11/02/O'Brien Sean 1007", ...) with the
// DICOM files of each study as real archives have them: patients, studies,
// series and instances with valid UIDs, dates and geometry; CT, MR, CR and
// US images, Basic Text SR reports and encapsulated PDF documents; a mix of
// transfer syntaxes (uncompressed little and big endian, explicit and
// implicit, deflated, JPEG baseline, extended and lossless, JPEG-LS, RLE,
// JPEG 2000); file names after the SOP Instance UID, "IM00001.dcm" in every
// series (so names collide across studies) or descriptive names with
// umlauts, apostrophes and blanks; extensions in upper, lower and mixed
// case. Some studies are stored as ZIP archives holding one DICOM file each,
// named after the archive. A few unreadable files are planted on request,
// and folders carry files that are not DICOM and subfolders, which the
// staging copy must pass over.
//
// Everything follows from the seed: the same options give the same bytes.
// The archive database rows (tblArchives, tblStudies) can be written into a
// new SQLite database or as INSERT statements for PostgreSQL.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velunor::archive {

// Transfer syntaxes the generator writes.
enum class Syntax {
    ExplicitLittle,      // 1.2.840.10008.1.2.1
    ImplicitLittle,      // 1.2.840.10008.1.2
    ExplicitBig,         // 1.2.840.10008.1.2.2
    Deflated,            // 1.2.840.10008.1.2.1.99
    JpegBaseline,        // 1.2.840.10008.1.2.4.50 (8-bit images; others get JpegExtended)
    JpegExtended,        // 1.2.840.10008.1.2.4.51
    JpegLossless,        // 1.2.840.10008.1.2.4.70
    JpegLsLossless,      // 1.2.840.10008.1.2.4.80
    JpegLsNearLossless,  // 1.2.840.10008.1.2.4.81
    Rle,                 // 1.2.840.10008.1.2.5
    Jpeg2000Lossless,    // 1.2.840.10008.1.2.4.90 (through GDCM)
    Jpeg2000,            // 1.2.840.10008.1.2.4.91 (through GDCM, lossy)
};

struct SyntaxInfo {
    Syntax syntax;
    const char* name;   // for the command line: "explicit-le", "jpeg-ls", ...
    const char* uid;
    bool lossless;
    bool compressed;
};

// Every syntax the generator knows, in the order of the enum.
const std::vector<SyntaxInfo>& AllSyntaxes();
const SyntaxInfo& Info(Syntax syntax);
// The syntax named `name` (as in SyntaxInfo::name); nullopt when unknown.
std::optional<Syntax> SyntaxByName(const std::string& name);

enum class Modality { CT, MR, CR, US, SR, PDF };
const char* ModalityName(Modality m);   // "CT", "MR", "CR", "US", "SR", "DOC"
std::optional<Modality> ModalityByName(const std::string& name);   // accepts "PDF" and "DOC"

struct Options {
    std::filesystem::path out;      // created when missing; the roots go below it
    std::uint64_t seed = 1;
    int studies = 12;
    int filesPerStudy = 6;          // DICOM objects per study, spread over 1..3 series
    // Nominal size of an image file (its pixel data) in bytes; 0 gives the
    // sizes typical of each modality, from about 100 KB (MR) to 50 MB (US
    // cine loops). At least 4096.
    std::uint64_t fileBytes = 0;
    int roots = 2;                  // 1 or 2 archive roots
    int zipPercent = 15;            // share of studies stored as ZIP archives
    int unreadable = 2;             // unreadable files, each in another study
    bool extras = true;             // non-DICOM files and subfolders in some study folders
    bool reports = true;            // add SR reports and PDF documents to some studies
    std::vector<Syntax> syntaxes;   // empty: all of them
    std::vector<Modality> modalities;   // image modalities of the studies; empty: CT, MR, CR, US
    bool offlineUnc = false;        // root 2 gets an ArchiveUNC that does not exist
    // Database state: the first `carryOver` studies are on disc `lastDisc`
    // only ("DVD n"); `migrated` further studies have a StudyDirectory1
    // beginning with "migrated".
    int carryOver = 0;
    int lastDisc = 0;
    int migrated = 0;
};

struct File {
    std::filesystem::path path;     // absolute
    enum class Kind { Dicom, Zip, Unreadable, Other } kind;
    std::string syntax;             // syntax name for DICOM files and the file inside a ZIP
    std::string modality;
    std::string sopInstanceUid;     // DICOM and ZIP
    std::string problem;            // what makes an unreadable file unreadable
    std::uint64_t bytes = 0;        // size on disk
};

struct Study {
    int studyId = 0;
    int archiveId = 0;
    std::string studyUid;
    std::string directory1;         // relative to the root, "/"-separated
    std::optional<std::string> directory2;   // NULL unless a database state option set it
    std::string patientName;        // UTF-8
    std::string patientId;
    std::string modality;
    bool zipped = false;
    bool readable = true;           // false when an unreadable file was planted
    std::vector<File> files;        // directly in the study folder
    std::vector<File> ignored;      // in subfolders: the staging copy passes over them
    std::filesystem::path folder;   // absolute: root folder + directory1
};

struct Root {
    int archiveId = 0;
    std::optional<std::string> unc;
    std::optional<std::string> path;
    std::filesystem::path folder;   // where the study folders lie
};

struct Archive {
    Options options;
    std::vector<Root> roots;
    std::vector<Study> studies;

    std::uint64_t TotalBytes() const;
    int DicomFiles() const;         // DICOM files, including those inside ZIPs
};

// Writes the archive below options.out. Throws std::runtime_error (with the
// path concerned) when a file cannot be written or an option is out of
// range. A study folder that exists already is an error: nothing is
// overwritten.
Archive GenerateArchive(const Options& options);

// A description of what was made: the roots, one line per study and the
// totals.
std::string Describe(const Archive& archive);

// Creates a new SQLite database at `file` with the archive schema and the
// rows of `archive`. Throws std::runtime_error when `file` exists or the
// database cannot be written (a half-written file is removed).
void WriteSqliteDatabase(const Archive& archive, const std::filesystem::path& file);

// Writes INSERT statements for tblArchives and tblStudies (PostgreSQL
// syntax, values as literals) to `file`, replacing it. Throws
// std::runtime_error when it cannot be written.
void WritePostgresInserts(const Archive& archive, const std::filesystem::path& file);

// One image written alone, for tests and benchmarks: a `modality` image
// (CT, MR, CR or US) with `pixelBytes` bytes of pixel data (0: typical size)
// in `syntax`, its pixels drawn from `seed`. The same seed, modality and
// size give the same pixels in every syntax (up to the loss of a lossy
// one). Returns the SOP Instance UID. Throws std::runtime_error.
std::string WriteImage(const std::filesystem::path& path, Modality modality, Syntax syntax,
                       std::uint64_t pixelBytes, std::uint64_t seed);

}  // namespace velunor::archive
