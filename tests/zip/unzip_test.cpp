// ZIP extraction of archives assembled byte by byte, so that names, sizes,
// file types and flags are exactly as broken or hostile as an archive from
// outside may make them (zlib deflates the content).
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/support.hpp"
#include "zip/unzip.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using namespace test;
using Names = std::vector<std::string>;

// Names directly in a folder, sorted; folders get a trailing "/".
Names Listing(const fs::path& folder) {
    Names out;
    for (const auto& e : fs::directory_iterator(folder))
        out.push_back(e.path().filename().string() + (e.is_directory() && !e.is_symlink() ? "/" : ""));
    std::sort(out.begin(), out.end());
    return out;
}

struct RawEntry {
    std::string name = {}, plain = {};                       // plain: the content
    bool deflate = false;
    std::optional<std::uint32_t> declared = std::nullopt;    // uncompressed size in the headers
    std::uint32_t unixMode = 0100644;                        // type and rights, made on Unix
    bool encrypted = false;                                  // flagged as encrypted; no password is known
};

void Put(std::string& s, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}

// A raw deflate stream: zlib's, without its header and checksum.
std::string RawDeflate(const std::string& plain) {
    uLongf size = compressBound(plain.size());
    std::string out(size, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(plain.data()),
                        plain.size(), 9),
              Z_OK);
    return out.substr(2, size - 6);
}

// The archive's bytes: local headers and data, central directory, end
// record.
std::string RawZip(const std::vector<RawEntry>& entries) {
    std::string zip, central;
    for (const auto& e : entries) {
        const std::string data = e.deflate ? RawDeflate(e.plain) : e.plain;
        const std::uint64_t offset = zip.size();
        for (std::string* s : {&zip, &central}) {
            const bool isCentral = s == &central;
            Put(*s, isCentral ? 0x02014b50 : 0x04034b50, 4);
            if (isCentral) Put(*s, 0x0300 | 45, 2);  // made on Unix
            Put(*s, 45, 2);
            Put(*s, 0x0800 | (e.encrypted ? 1 : 0) | (e.deflate ? 8 : 0) << 16, 4);  // UTF-8 name; method
            Put(*s, 0x00210000, 4);  // 1980-01-01 00:00
            Put(*s, crc32(0, reinterpret_cast<const Bytef*>(e.plain.data()), static_cast<uInt>(e.plain.size())), 4);
            Put(*s, data.size(), 4);
            Put(*s, e.declared.value_or(e.plain.size()), 4);
            Put(*s, e.name.size(), 4);  // and no extra field
            if (isCentral) {
                Put(*s, 0, 6);  // comment length, disk, internal attributes
                Put(*s, std::uint64_t{e.unixMode} << 16, 4);
                Put(*s, offset, 4);
            }
            *s += e.name + (isCentral ? "" : data);
        }
    }
    const std::uint64_t centralOffset = zip.size();
    zip += central;
    Put(zip, 0x06054b50, 4);
    Put(zip, 0, 4);                         // disks
    Put(zip, entries.size() * 0x10001, 4);  // entries on this disk and in all
    Put(zip, central.size(), 4);
    Put(zip, centralOffset, 4);
    Put(zip, 0, 2);
    return zip;
}

TEST(Unzip, EntriesLandFlatReplacingFilesOfTheirNameAndTheLastOfTwoNamesWins) {
    TempDir tmp;
    const fs::path folder = tmp.path(), archive = folder / "Series.zip";
    WriteAll(folder / "IM2.dcm", "old content that is longer than the new one");
    fs::permissions(folder / "IM2.dcm", fs::perms::owner_read);
    const std::string large(300000, 'a');
    WriteAll(archive, RawZip({{.name = "study/", .unixMode = 040755},
                              {.name = "study/series/Series.dcm", .plain = "first", .deflate = true},
                              {.name = "other\\Series.dcm", .plain = "second"},
                              {.name = "IM1.dcm", .plain = large, .deflate = true},
                              {.name = "deep/a/b/c/IM2.dcm", .plain = "two"}}));
    for (int round = 0; round < 2; ++round) {
        int yields = 0;
        EXPECT_TRUE(UnzipArchive(archive, [&] { ++yields; }));
        EXPECT_EQ(Listing(folder), (Names{"IM1.dcm", "IM2.dcm", "Series.dcm", "Series.zip"}));
        EXPECT_EQ(ReadAll(folder / "Series.dcm"), "second");
        EXPECT_EQ(ReadAll(folder / "IM1.dcm"), large);
        EXPECT_EQ(ReadAll(folder / "IM2.dcm"), "two");
        EXPECT_GE(yields, 6);  // before, between the five entries, after
    }
    EXPECT_THROW(UnzipArchive("Series.zip"), Error);  // no folder to extract into
}

TEST(Unzip, HostileEntriesAreRefusedAndNothingOutsideTheFolderChanges) {
    // Each case is one entry of an archive that also holds sound ones: it is
    // refused, nothing of it written, the sound ones extracted.
    TempDir tmp;
    const fs::path folder = tmp / "Unzip", archive = folder / "Series.zip", secret = tmp / "secret.dcm";
    const RawEntry cases[] = {
        {.name = "../escaped.dcm", .plain = "x"},
        {.name = "a/../../escaped.dcm", .plain = "x"},
        {.name = "..\\escaped.dcm", .plain = "x"},
        {.name = secret.string(), .plain = "overwritten"},
        {.name = "C:\\escaped.dcm", .plain = "x"},
        {.name = "a/..", .plain = "x"},
        {.name = "link.dcm", .plain = secret.string(), .unixMode = 0120777},
        {.name = "fifo.dcm", .plain = "", .unixMode = 010644},
        {.name = "encrypted.dcm", .plain = "hidden", .encrypted = true},
        // 64 MiB inflating from an entry that declares 1000 bytes.
        {.name = "inflating.dcm", .plain = std::string(64 << 20, '\0'), .deflate = true, .declared = 1000},
    };
    for (const RawEntry& hostile : cases) {
        SCOPED_TRACE(hostile.name);
        fs::remove_all(folder);
        fs::create_directories(folder);
        WriteAll(secret, "secret");
        // A link planted in the folder is replaced by the entry of its name,
        // never followed.
        fs::create_symlink(secret, folder / "planted.dcm");
        WriteAll(archive, RawZip({hostile, {.name = "Series.dcm", .plain = "good"},
                                  {.name = "planted.dcm", .plain = "replaced"}}));
        EXPECT_FALSE(UnzipArchive(archive));
        EXPECT_EQ(Listing(folder), (Names{"Series.dcm", "Series.zip", "planted.dcm"}));
        EXPECT_EQ(ReadAll(folder / "Series.dcm"), "good");
        EXPECT_EQ(ReadAll(folder / "planted.dcm"), "replaced");
        EXPECT_EQ(ReadAll(secret), "secret");
        EXPECT_EQ(Listing(tmp.path()), (Names{"Unzip/", "secret.dcm"}));
    }
}

TEST(Unzip, DamagedOrMissingArchivesGiveFalseAndLeaveFilesAlone) {
    TempDir tmp;
    const fs::path folder = tmp.path(), archive = folder / "Series.zip";
    EXPECT_FALSE(UnzipArchive(folder / "missing.zip"));
    const std::string whole = RawZip({{.name = "a.dcm", .plain = std::string(100000, 'q'), .deflate = true}});
    WriteAll(folder / "half.zip", whole.substr(0, whole.size() / 2));
    EXPECT_FALSE(UnzipArchive(folder / "half.zip"));

    // Data that no longer matches its checksum: the file it would replace stays.
    std::string damaged = RawZip({{.name = "Series.dcm", .plain = std::string(50000, 'c')}});
    damaged[damaged.find(std::string(50000, 'c')) + 20000] = 'X';
    WriteAll(archive, damaged);
    WriteAll(folder / "Series.dcm", "earlier");
    EXPECT_FALSE(UnzipArchive(archive));
    EXPECT_EQ(ReadAll(folder / "Series.dcm"), "earlier");
    EXPECT_EQ(Listing(folder), (Names{"Series.dcm", "Series.zip", "half.zip"}));
}

}  // namespace
}  // namespace velunor
