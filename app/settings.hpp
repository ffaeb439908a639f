// The configuration file velunor.ini and the process-wide settings it fills.
//
// velunor.ini lives in the program's directory and has one section, CONFIG.
// It is read by LoadConfiguration at start-up and again every 30 seconds,
// and written key by key by the configuration dialog.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace velunor {

// What the discs hold (key MediaProfile).
//   Archive         the staged files keep their source names and are written
//                   in Implicit VR Little Endian; the DICOMDIR refers to the
//                   source names, which DICOM does not allow as file IDs.
//   GeneralPurpose  file IDs "IM000001" ... under 1/ and 2/, Explicit VR
//                   Little Endian, JPEG baseline, extended and lossless
//                   (SV1) kept compressed; the DICOMDIR is named DICOMDIR
//                   and follows the general-purpose DVD profile with JPEG.
enum class MediaProfile { Archive, GeneralPurpose };

// The profile named by a MediaProfile value: "archive" or "general-purpose"
// in any case, blanks around allowed; an empty value is "archive" (as a
// missing key). nullopt for anything else.
std::optional<MediaProfile> ParseMediaProfile(const std::string& value);

// "archive" or "general-purpose", as velunor.ini writes it.
const char* MediaProfileName(MediaProfile profile);

// Settings shared by every part of a run. Filled by LoadConfiguration; live
// as long as the process.
struct Settings {
    std::filesystem::path IniFilePath;   // program directory + "/velunor.ini"
    std::string Server;                  // database server (SQLite3: database file)
    std::string ServerType;              // ODBC driver name, or "SQLite3"
    std::string TempPath;                // staging root, always ends in "/"
    std::string MSGDVDInsert;            // CR LF line breaks
    std::string MSGDVDName;              // CR LF line breaks; "{NAME}" = disc number
    std::string ImageFolder;             // folder of the image pseudo-drive, empty = none
    std::string LabelFolder;             // every recorded disc's label PDF goes there, empty = none
    std::int16_t DVDSpeed = 0;           // speed factor, 0 = the drive's maximum
    std::int16_t Archive = 0;            // non-zero: errors are logged without a box
    std::int16_t ASAPI = 0;              // drive detection mode
    std::int16_t AuthBurn = 0;           // exactly 1: ask before burning
    MediaProfile Profile = MediaProfile::Archive;
    std::string ProfileText;             // MediaProfile as velunor.ini has it ("" when missing)
    // Why ProfileText was refused ("" when it names a profile): no run
    // starts, rather than write discs in a profile nobody chose.
    std::string ProfileProblem;
    std::string ConnectionString;
    // Why velunor.credentials was refused ("" when it is absent or was
    // taken): a run must not start, rather than connect as another account.
    std::string CredentialsProblem;
    bool DebugMode = false;              // write Logs/Debug.log
};

// The folders of the staging tree under TempPath, in the order they are created.
inline constexpr const char* kStagingFolders[] = {"Unzip", "DVD", "DVD/1", "DVD/2", "DVDTemp"};

// The staging tree of one TempPath: the one place its folders are named.
//   DVD/      root of the disc image (1/, 2/ and the DICOMDIR)
//   DVD/1/    the carry-over studies, DVD/2/ the new ones
//   DVDTemp/  the one new study being staged
//   Unzip/    one study archive at a time and what it extracts to
struct StagingTree {
    std::string root;   // TempPath, ending in "/" (an empty one is "/")
    std::filesystem::path dvd, dvd1, dvd2, dvdTemp, unzip;
    std::filesystem::path dicomdir;   // DVD/Dicomdir
    // The DICOMDIR of a disc in `profile`: DVD/Dicomdir for the archive
    // profile, DVD/DICOMDIR (the file ID DICOM gives it) otherwise.
    std::filesystem::path Dicomdir(MediaProfile profile) const {
        return profile == MediaProfile::Archive ? dicomdir : dvd / "DICOMDIR";
    }
    // The pattern of what goes onto the disc: everything in DVD/.
    std::string DiscPattern() const { return dvd.string() + "*"; }

    explicit StagingTree(std::string tempPath);
};

// Empties DVD/, DVD/1/, DVD/2/, Unzip/ and DVDTemp/ of `tree`. A file that
// cannot be deleted stays (the next run's preparation empties the folders
// again). Never throws.
void EmptyStaging(const StagingTree& tree) noexcept;

// Reads one value the way the platform's profile functions do: section and
// key matched without regard to case, the first matching section and key
// win, blanks around key and value dropped, a missing file, section or key
// gives `defaultValue`. The result is cut to at most size - 1 characters
// (UTF-8 characters; an invalid byte counts as one). Never throws.
std::string ReadIniValue(const std::string& section, const std::string& key,
                         const std::string& defaultValue, const std::filesystem::path& file,
                         std::int16_t size);

// Writes one key into `section` of `file`, keeping every other line as it
// is: replaces the key's first line in the section's first occurrence, or
// adds it at the end of the section, or adds the section at the end of the
// file; creates the file when missing. The file is replaced atomically.
// Throws velunor::Error when the file cannot be read or written, and
// (number 0, the file untouched) when section, key or value holds a line
// break (CR or LF) or a NUL byte, which would split the line or cut the
// value short, or when the key is empty, holds "=" or has blanks around
// it: callers encode line breaks (EncodeLineBreaks).
void WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                   const std::filesystem::path& file);

// Converts a text to a 16-bit whole number: optional blanks, an optional
// sign and decimal digits within -32768..32767. Anything else is no number.
std::optional<std::int16_t> ParseInt16(const std::string& text);

// Re-reads velunor.ini from `programDir` into `s`, creates the staging tree
// (one level per folder, missing parents are not created) and rebuilds the
// connection string, with the account of velunor.credentials when that file
// is there (see ReadCredentials). Never throws: a numeric key that is not a
// 16-bit whole number keeps its previous value, a folder that cannot be
// created is skipped, a refused credentials file is said in
// s.CredentialsProblem, a MediaProfile that names no profile in
// s.ProfileProblem (Profile is then Archive, but no run starts).
void LoadConfiguration(Settings& s, const std::filesystem::path& programDir);

// The database account of the connection string.
struct Credentials {
    std::string uid = "F257";
    std::string pwd = "MoNpLq482";
    std::string database = "ARCDB2";
};

// Reads `file` (velunor.credentials beside velunor.ini): three lines
// "uid=...", "pwd=...", "database=..." in any order (CR LF or LF; blank
// lines ignored), each exactly once. A missing file gives the built-in
// account. Throws velunor::Error naming the file, and never its content,
// when it is not a regular file, does not belong to the user running the
// program, can be read or written by anyone else (mode wider than 0600), or
// is not of that form.
Credentials ReadCredentials(const std::filesystem::path& file);

// "driver={" ServerType "};server=" Server ";uid=" ... ";pwd=" ... ";database=" ...
// A value holding ";", "{", "}" or blanks at either end is written in braces
// (a "}" doubled), as ODBC reads it.
std::string BuildConnectionString(const std::string& serverType, const std::string& server,
                                  const Credentials& account = {});

// Line-break encoding of the message keys: CR LF (or a lone LF or CR) to
// ";" for writing, ";" to CR LF for reading.
std::string EncodeLineBreaks(const std::string& text);
std::string DecodeLineBreaks(const std::string& text);

}  // namespace velunor
