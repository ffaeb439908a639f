#include "tests/fuzz/fuzz_targets.hpp"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/dcmdata/dcdirrec.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <zip.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <vector>

#include "app/error.hpp"
#include "app/settings.hpp"
#include "dicom/toolkit.hpp"
#include "zip/unzip.hpp"

namespace velunor::fuzz {

namespace fs = std::filesystem;

namespace {

// Empties `folder` when it goes, whatever happened.
struct Emptied {
    fs::path folder;
    ~Emptied() {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code rec;
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow, rec);
            fs::remove_all(it->path(), rec);
        }
    }
};

void WriteBytes(const fs::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("the fuzz harness cannot write " + file.string());
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Names directly in `folder`, sorted, joined by ", ".
std::string Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

void Require(bool condition, const std::string& promise) {
    if (!condition) throw Broken(promise);
}

// ---- DICOM -------------------------------------------------------------

// Every Referenced File ID in the record tree below `record`, joined by ", ".
void CollectFileIds(DcmDirectoryRecord& record, std::string& ids) {
    for (unsigned long i = 0; i < record.cardSub(); ++i) {
        DcmDirectoryRecord* sub = record.getSub(i);
        OFString id;
        if (sub && sub->findAndGetOFStringArray(DCM_ReferencedFileID, id).good() && !id.empty())
            ids += (ids.empty() ? "" : ", ") + std::string(id.c_str());
        if (sub) CollectFileIds(*sub, ids);
    }
}

}  // namespace

DicomOutcome FuzzDicom(const std::uint8_t* data, std::size_t size, const fs::path& work) {
    Emptied emptied{work};
    DicomOutcome out;
    const std::vector<std::uint8_t> bytes(data, data + size);

    // From memory, as verification reads a disc.
    {
        DicomCollection collection;
        try {
            collection.ReadBuffer(bytes, "input");
            out.readBuffer = true;
            Require(collection.Count() == 1, "ReadBuffer appends exactly one dataset");
            for (auto get : {&DicomDataset::StudyUID, &DicomDataset::DirEntryKey}) {
                try {
                    Require(!(collection.Item(1).*get)().empty(), "a UID that is returned is not empty");
                } catch (const Error&) {
                }
            }
        } catch (const Error& e) {
            out.error = e.what();
            Require(collection.Count() == 0, "a failed ReadBuffer leaves the collection unchanged");
        }
    }

    // From a file, as the staging copy reads the archive, then written as
    // the staging copy writes it: over an existing file of that name.
    const fs::path input = work / "input.dcm", folder = work / "2", target = folder / "IM00001.dcm";
    WriteBytes(input, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    fs::create_directory(folder);
    const std::string previous = "the file that was here before";
    WriteBytes(target, previous);

    DicomCollection collection;
    try {
        collection.ReadFile(input);
        out.readFile = true;
    } catch (const Error& e) {
        out.error = e.what();
        Require(collection.Count() == 0, "a failed ReadFile leaves the collection unchanged");
        return out;
    }
    DicomDataset& dataset = collection.Item(1);
    std::string studyUid, instanceUid;
    try {
        studyUid = dataset.StudyUID();
        instanceUid = dataset.DirEntryKey();
    } catch (const Error&) {
    }
    try {
        dataset.WriteFile(target, true, kImplicitVRLittleEndian);
        out.written = true;
    } catch (const Error& e) {
        out.error = e.what();
        Require(ReadBytes(target) == previous, "a failed write leaves the target's previous content");
        Require(Listing(folder) == "IM00001.dcm", "a failed write leaves no file behind, found: " + Listing(folder));
        return out;
    }
    Require(Listing(folder) == "IM00001.dcm", "a write leaves no temporary file behind, found: " + Listing(folder));
    Require(!studyUid.empty() && !instanceUid.empty(), "only a dataset with its UIDs is written");
    DcmFileFormat format;
    OFString syntax;
    if (format.loadFile(OFFilename(target.c_str())).good())
        format.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, syntax);
    Require(syntax == kImplicitVRLittleEndian, "the file is written as Implicit VR Little Endian");

    // What was written reads back from memory with the same UIDs: the
    // study found on the disc is the study that was staged.
    // The DICOMDIR phase then reads the staged file and records it.
    DicomCollection staged;
    try {
        const std::string written = ReadBytes(target);
        DicomCollection back;
        back.ReadBuffer(std::vector<std::uint8_t>(written.begin(), written.end()), "written");
        Require(back.Item(1).StudyUID() == studyUid, "the written file carries the Study Instance UID it was read with");
        Require(back.Item(1).DirEntryKey() == instanceUid, "the written file carries its SOP Instance UID");
        staged.ReadFile(target);
    } catch (const Error& e) {
        throw Broken(std::string("a written file reads back from memory and from its file: ") + e.what());
    }
    const fs::path dicomdir = work / "Dicomdir";
    try {
        DicomDirBuilder builder;
        builder.AddFile(staged.Item(1), "2/IM00001.dcm", staged.Item(1).DirEntryKey(), 0);
        builder.WriteDicomDir(dicomdir);
        out.recorded = true;
    } catch (const Error& e) {
        out.error = e.what();
        Require(!fs::exists(dicomdir), "a failed DICOMDIR is not written");
    }
    Require(Listing(work) == (out.recorded ? "2, Dicomdir, input.dcm" : "2, input.dcm"),
            "the DICOMDIR leaves no temporary file behind, found: " + Listing(work));
    if (out.recorded) {
        DcmDicomDir dir(OFFilename(dicomdir.c_str()));
        Require(dir.error().good(), std::string("the DICOMDIR reads as DICOM: ") + dir.error().text());
        std::string ids;
        CollectFileIds(dir.getRootRecord(), ids);
        Require(ids == "2\\IM00001.dcm", "the DICOMDIR refers to the file once by its path, found: " + ids);
    }
    return out;
}

// ---- ZIP ---------------------------------------------------------------

namespace {

// What a complete extraction must have written, read with libzip from the
// archive's bytes: flat name -> content, for file entries whose flat name
// occurs once.
std::map<std::string, std::string> ExpectedFiles(const std::uint8_t* data, std::size_t size) {
    std::map<std::string, std::string> files;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(data, size, 0, &error);
    std::unique_ptr<zip_t, decltype(&zip_discard)> za(
        source ? zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error) : nullptr, &zip_discard);
    zip_error_fini(&error);
    if (!za) {
        if (source) zip_source_free(source);   // still the caller's when the open failed
        return files;
    }
    std::map<std::string, int> seen;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za.get(), 0); ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        if (zip_stat_index(za.get(), index, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) continue;
        std::string name = st.name;
        std::replace(name.begin(), name.end(), '\\', '/');
        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        zip_file_get_external_attributes(za.get(), index, 0, &opsys, &attributes);
        if ((!name.empty() && name.back() == '/') ||
            (opsys == ZIP_OPSYS_UNIX && ((attributes >> 16) & 0170000) == 0040000))
            continue;   // a folder
        const std::string flat = name.substr(name.rfind('/') + 1);   // npos + 1 == 0
        if (++seen[flat] > 1) {
            files.erase(flat);
            continue;
        }
        std::string& content = files[flat];
        if (zip_file_t* f = zip_fopen_index(za.get(), index, 0)) {
            char buffer[4096];
            for (zip_int64_t n; (n = zip_fread(f, buffer, sizeof buffer)) > 0;)
                content.append(buffer, static_cast<std::size_t>(n));
            zip_fclose(f);
        }
    }
    return files;
}

}  // namespace

ZipOutcome FuzzZip(const std::uint8_t* data, std::size_t size, const fs::path& work) {
    Emptied emptied{work};
    ZipOutcome out;
    const fs::path folder = work / "Unzip", outside = work / "outside";
    fs::create_directory(folder);
    fs::create_directory(outside);
    WriteBytes(outside / "target", "outside the folder");
    WriteBytes(folder / "existing.dcm", "existing");
    fs::create_symlink(outside / "target", folder / "link.dcm");
    WriteBytes(folder / "study.zip", {reinterpret_cast<const char*>(data), size});

    int yields = 0;
    out.extracted = UnzipArchive(folder / "study.zip", [&yields] { ++yields; });
    Require(yields >= 2, "UnzipArchive yields before and after");

    Require(Listing(work) == "Unzip, outside", "nothing is written beside the folder, found: " + Listing(work));
    Require(Listing(outside) == "target" && ReadBytes(outside / "target") == "outside the folder",
            "nothing outside the folder changes");
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        ++out.files;
        if (e.is_symlink())
            Require(name == "link.dcm" && fs::read_symlink(e.path()) == outside / "target", "no link is created: " + name);
        else
            Require(e.is_regular_file() && name.rfind(".unzip-", 0) != 0,
                    "only plain files are created, no temporary file is left: " + name);
    }
    for (const auto& [name, content] : out.extracted ? ExpectedFiles(data, size) : std::map<std::string, std::string>{}) {
        Require(fs::is_regular_file(fs::symlink_status(folder / name)), "an extracted entry is a plain file: " + name);
        Require(ReadBytes(folder / name) == content, "an extracted entry holds its bytes: " + name);
    }
    return out;
}

// ---- INI ---------------------------------------------------------------

namespace {

const char* const kKeys[] = {"Server",     "ServerType", "TempPath", "MSGDVDInsert", "MSGDVDName",
                             "DVDSpeed",   "Archive",    "ASAPI",    "AuthBurn",     "ImageFolder"};
constexpr const char* kDefault = "\x01" "default";

// True when `temp`, as LoadConfiguration completes it, names a folder
// inside `work`: only there may the harness let it create the staging tree.
bool InsideWork(const std::string& temp, const fs::path& work) {
    if (temp.empty() || temp[0] != '/') return false;
    const fs::path relative = fs::path(temp).lexically_normal().lexically_relative(work);
    return !relative.empty() && *relative.begin() != ".." && *relative.begin() != ".";
}

}  // namespace

IniOutcome FuzzIni(const std::uint8_t* data, std::size_t size, const fs::path& work) {
    Emptied emptied{work};
    IniOutcome out;
    // "@WORK@" in the input stands for the work folder, so that an input can
    // name a staging root where LoadConfiguration may create folders.
    std::string text(reinterpret_cast<const char*>(data), size);
    for (auto at = text.find("@WORK@"); at != std::string::npos; at = text.find("@WORK@", at + work.string().size()))
        text.replace(at, 6, work.string());
    const fs::path ini = work / "velunor.ini";
    WriteBytes(ini, text);

    std::map<std::string, std::string> values;
    for (const char* key : kKeys) {
        const std::string value = ReadIniValue("CONFIG", key, kDefault, ini, 256);
        Require(value.size() <= 255 * 4, std::string("a value is at most 255 characters: ") + key);
        Require(value.find('\n') == std::string::npos && value.find('\0') == std::string::npos,
                std::string("a value holds no line break and no NUL: ") + key);
        std::string lower = key;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        Require(ReadIniValue("config", lower, kDefault, ini, 256) == value,
                std::string("names are matched without regard to case: ") + key);
        for (const int small : {-5, 0, 1, 2, 17}) {
            const std::string cut = ReadIniValue("CONFIG", key, kDefault, ini, static_cast<std::int16_t>(small));
            Require(value.compare(0, cut.size(), cut) == 0, std::string("a shorter buffer gives a prefix: ") + key);
            Require(cut.size() <= static_cast<std::size_t>(std::max(small - 1, 0)) * 4, "a value fits its buffer");
        }
        values[key] = value;
    }

    const std::string temp = ReadIniValue("CONFIG", "TempPath", "", ini, 256);
    if (InsideWork(temp, work)) {
        Settings settings;
        LoadConfiguration(settings, work);
        out.loaded = true;
        Require(settings.IniFilePath == ini, "IniFilePath is the program directory's velunor.ini");
        Require(!settings.TempPath.empty() && settings.TempPath.back() == '/', "TempPath ends in /");
        Require(settings.MSGDVDInsert.find(';') == std::string::npos && settings.MSGDVDName.find(';') == std::string::npos,
                "the message texts hold line breaks, not ;");
        Require(settings.ConnectionString == BuildConnectionString(settings.ServerType, settings.Server),
                "the connection string is built from ServerType and Server");
        Require(settings.Server == values["Server"] || values["Server"] == kDefault, "Server is read as it stands");
    }

    // One key written: the first byte picks the key and whether the value
    // is the input's last line or its beginning (line breaks included).
    if (size == 0) return out;
    const std::string key = kKeys[(data[0] & 0x7F) % std::size(kKeys)];
    const std::size_t lastLine = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
    const std::string value = text.substr(data[0] & 0x80 ? 0 : lastLine, 300);
    const std::string before = ReadBytes(ini);
    try {
        WriteIniValue("CONFIG", key, value, ini);
        out.written = true;
    } catch (const Error&) {
        Require(ReadBytes(ini) == before, "a refused value leaves the file as it was");
        return out;
    }
    std::string expected = value.substr(std::min(value.find_first_not_of(" \t\r\v\f"), value.size()));
    expected.erase(expected.find_last_not_of(" \t\r\v\f") + 1);
    if (expected.size() >= 2 && (expected.front() == '"' || expected.front() == '\'') && expected.back() == expected.front())
        expected = expected.substr(1, expected.size() - 2);
    const std::string read = ReadIniValue("CONFIG", key, kDefault, ini, 256);
    if (expected.size() <= 255)
        Require(read == expected, "a written value reads back as written: " + key);
    else
        Require(read.size() >= 255 && expected.compare(0, read.size(), read) == 0,
                "a long written value reads back cut: " + key);
    for (const char* other : kKeys)
        if (other != key)
            Require(ReadIniValue("CONFIG", other, kDefault, ini, 256) == values[other],
                    std::string("writing ") + key + " keeps the value of " + other);
    return out;
}

}  // namespace velunor::fuzz
