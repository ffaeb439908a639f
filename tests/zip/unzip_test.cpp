// ZIP extraction of real archives: written with libzip, or byte by byte where
// an archive has to be broken or hostile in a way no archiver produces.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/error.hpp"
#include "tests/support/support.hpp"
#include "zip/unzip.hpp"

namespace velunor {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::TempDir;
using test::WriteAll;

// Names directly in a folder, sorted; folders get a trailing "/".
std::vector<std::string> Listing(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder))
        out.push_back(e.path().filename().string() + (e.is_directory() && !e.is_symlink() ? "/" : ""));
    std::sort(out.begin(), out.end());
    return out;
}

struct Entry {
    std::string name;
    std::string content;
    zip_uint16_t encryption = ZIP_EM_NONE;
    bool store = false;  // no compression, so the bytes can be found and damaged
};

// Writes an archive with libzip.
void WriteZip(const fs::path& file, const std::vector<Entry>& entries) {
    int err = 0;
    zip_t* za = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(za, nullptr);
    for (const auto& e : entries) {
        zip_source_t* src = zip_source_buffer(za, e.content.data(), e.content.size(), 0);
        ASSERT_NE(src, nullptr);
        zip_int64_t index = e.name.back() == '/' ? zip_dir_add(za, e.name.c_str(), ZIP_FL_ENC_UTF_8)
                                                 : zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_UTF_8);
        if (e.name.back() == '/') zip_source_free(src);
        ASSERT_GE(index, 0) << zip_strerror(za);
        zip_uint64_t i = static_cast<zip_uint64_t>(index);
        if (e.encryption != ZIP_EM_NONE) {
            ASSERT_EQ(zip_file_set_encryption(za, i, e.encryption, "secret"), 0);
        }
        if (e.store) {
            ASSERT_EQ(zip_set_file_compression(za, i, ZIP_CM_STORE, 0), 0);
        }
    }
    ASSERT_EQ(zip_close(za), 0);
}

// An archive assembled byte by byte: names, sizes and file types exactly as
// given, whatever they claim.
struct RawEntry {
    std::string name = {};
    std::string plain = {};                // the content
    bool deflate = false;
    std::optional<std::uint64_t> declared = std::nullopt;  // uncompressed size in the headers (default: the real one)
    std::uint32_t unixMode = 0100644;      // type and rights, made on Unix
    bool zip64 = false;                    // sizes in a Zip64 extra field
};

void Put16(std::string& s, std::uint16_t v) {
    s += static_cast<char>(v & 0xff);
    s += static_cast<char>(v >> 8);
}
void Put32(std::string& s, std::uint32_t v) {
    Put16(s, static_cast<std::uint16_t>(v & 0xffff));
    Put16(s, static_cast<std::uint16_t>(v >> 16));
}
void Put64(std::string& s, std::uint64_t v) {
    Put32(s, static_cast<std::uint32_t>(v & 0xffffffff));
    Put32(s, static_cast<std::uint32_t>(v >> 32));
}

std::string RawDeflate(const std::string& plain) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, plain.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string RawZip(const std::vector<RawEntry>& entries) {
    std::string zip, central;
    for (const auto& e : entries) {
        const std::string data = e.deflate ? RawDeflate(e.plain) : e.plain;
        const std::uint32_t crc =
            static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(e.plain.data()),
                                             static_cast<uInt>(e.plain.size())));
        const std::uint64_t size = e.declared.value_or(e.plain.size());
        const std::uint32_t offset = static_cast<std::uint32_t>(zip.size());
        std::string extra;
        if (e.zip64) {
            Put16(extra, 1);
            Put16(extra, 16);
            Put64(extra, size);
            Put64(extra, data.size());
        }
        auto header = [&](std::string& s, bool isCentral) {
            Put32(s, isCentral ? 0x02014b50 : 0x04034b50);
            if (isCentral) Put16(s, (3 << 8) | 45);  // made on Unix
            Put16(s, 45);
            Put16(s, 0x0800);  // UTF-8 name
            Put16(s, e.deflate ? 8 : 0);
            Put16(s, 0);       // time
            Put16(s, 0x21);    // 1980-01-01
            Put32(s, crc);
            Put32(s, e.zip64 ? 0xffffffff : static_cast<std::uint32_t>(data.size()));
            Put32(s, e.zip64 ? 0xffffffff : static_cast<std::uint32_t>(size));
            Put16(s, static_cast<std::uint16_t>(e.name.size()));
            Put16(s, static_cast<std::uint16_t>(extra.size()));
            if (isCentral) {
                Put16(s, 0);  // comment
                Put16(s, 0);  // disk
                Put16(s, 0);  // internal attributes
                Put32(s, e.unixMode << 16);
                Put32(s, offset);
            }
            s += e.name;
            s += extra;
        };
        header(zip, false);
        zip += data;
        header(central, true);
    }
    const std::uint32_t centralOffset = static_cast<std::uint32_t>(zip.size());
    zip += central;
    Put32(zip, 0x06054b50);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, static_cast<std::uint16_t>(entries.size()));
    Put16(zip, static_cast<std::uint16_t>(entries.size()));
    Put32(zip, static_cast<std::uint32_t>(central.size()));
    Put32(zip, centralOffset);
    Put16(zip, 0);
    return zip;
}

class Unzip : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(folder); }
    TempDir tmp;
    fs::path folder = tmp / "Unzip";
    fs::path archive = folder / "Series.zip";
};

TEST_F(Unzip, EntriesInFoldersLandFlatAndTheLastOfTwoNamesWins) {
    WriteZip(archive, {{"study/", ""},
                       {"study/series/Series.dcm", "first"},
                       {"other/Series.dcm", "second"},
                       {"IM1.dcm", std::string(300000, 'a')},
                       {"deep/a/b/c/IM2.dcm", "two"}});
    int yields = 0;
    EXPECT_TRUE(UnzipArchive(archive, [&] { ++yields; }));
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"IM1.dcm", "IM2.dcm", "Series.dcm", "Series.zip"}));
    EXPECT_EQ(ReadAll(folder / "Series.dcm"), "second");
    EXPECT_EQ(ReadAll(folder / "IM1.dcm"), std::string(300000, 'a'));
    EXPECT_EQ(ReadAll(folder / "IM2.dcm"), "two");
    EXPECT_GE(yields, 6);  // before, between the five entries, after
}

TEST_F(Unzip, ExistingFilesAreReplacedEvenReadOnlyOnes) {
    WriteAll(folder / "Series.dcm", "old content that is longer than the new one");
    fs::permissions(folder / "Series.dcm", fs::perms::owner_read);
    WriteZip(archive, {{"Series.dcm", "new"}});
    EXPECT_TRUE(UnzipArchive(archive));
    EXPECT_EQ(ReadAll(folder / "Series.dcm"), "new");
    // A second extraction over the first gives the same.
    EXPECT_TRUE(UnzipArchive(archive));
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"Series.dcm", "Series.zip"}));
}

TEST_F(Unzip, EncryptedEntriesAreNotExtracted) {
    WriteZip(archive, {{"plain.dcm", "plain"},
                       {"aes.dcm", "hidden", ZIP_EM_AES_256},
                       {"pkware.dcm", "hidden too", ZIP_EM_TRAD_PKWARE}});
    EXPECT_FALSE(UnzipArchive(archive));
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"Series.zip", "plain.dcm"}));
}

TEST_F(Unzip, DamagedOrMissingArchivesGiveFalseAndLeaveFilesAlone) {
    EXPECT_FALSE(UnzipArchive(folder / "missing.zip"));

    WriteAll(folder / "noise.zip", std::string(5000, '\x5a'));
    EXPECT_FALSE(UnzipArchive(folder / "noise.zip"));

    WriteZip(archive, {{"a.dcm", std::string(100000, 'q')}, {"b.dcm", "bbbb"}});
    std::string whole = ReadAll(archive);
    WriteAll(folder / "half.zip", whole.substr(0, whole.size() / 2));
    EXPECT_FALSE(UnzipArchive(folder / "half.zip"));

    // Data that no longer matches its checksum: the file it would replace
    // stays as it was.
    const std::string content(50000, 'c');
    WriteZip(archive, {{"Series.dcm", content, ZIP_EM_NONE, true}});
    whole = ReadAll(archive);
    whole[whole.find(content) + 20000] = 'X';
    WriteAll(archive, whole);
    WriteAll(folder / "Series.dcm", "earlier");
    EXPECT_FALSE(UnzipArchive(archive));
    EXPECT_EQ(ReadAll(folder / "Series.dcm"), "earlier");

    EXPECT_EQ(Listing(folder),
              (std::vector<std::string>{"Series.dcm", "Series.zip", "half.zip", "noise.zip"}));
}

TEST_F(Unzip, NamesLeadingOutOfTheFolderAreRefused) {
    const fs::path outside = tmp / "outside";
    fs::create_directories(outside);
    std::vector<RawEntry> entries;
    for (std::string name : {std::string("../escaped.dcm"), std::string("a/../../escaped2.dcm"),
                             (outside / "absolute.dcm").string(), std::string("..\\windows.dcm"),
                             std::string("C:\\drive.dcm"), std::string("C:drive2.dcm"), std::string("a/.."),
                             std::string("a/.")})
        entries.push_back({.name = name, .plain = "x"});
    entries.push_back({.name = "good/Series.dcm", .plain = "good"});
    WriteAll(archive, RawZip(entries));
    EXPECT_FALSE(UnzipArchive(archive));
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"Series.dcm", "Series.zip"}));
    EXPECT_EQ(ReadAll(folder / "Series.dcm"), "good");
    EXPECT_EQ(Listing(outside), std::vector<std::string>{});
    EXPECT_EQ(Listing(tmp.path()), (std::vector<std::string>{"Unzip/", "outside/"}));
}

TEST_F(Unzip, LinksAreNeverCreatedNorFollowed) {
    const fs::path outside = tmp / "secret.txt";
    WriteAll(outside, "secret");
    // A planted link in the folder: extracting onto its name replaces the
    // link, never the file it points to.
    fs::create_symlink(outside, folder / "planted.dcm");
    WriteAll(archive, RawZip({{.name = "link.dcm", .plain = outside.string(), .unixMode = 0120777},
                              {.name = "fifo", .plain = "", .unixMode = 010644},
                              {.name = "planted.dcm", .plain = "replaced"},
                              {.name = "Series.dcm", .plain = "good"}}));
    EXPECT_FALSE(UnzipArchive(archive));
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"Series.dcm", "Series.zip", "planted.dcm"}));
    EXPECT_FALSE(fs::is_symlink(folder / "planted.dcm"));
    EXPECT_EQ(ReadAll(folder / "planted.dcm"), "replaced");
    EXPECT_EQ(ReadAll(outside), "secret");
}

TEST_F(Unzip, EntriesLargerThanTheSpaceLeftAreRefusedWithoutFillingIt) {
    // One entry declares far more than any volume holds; another declares
    // 1000 bytes but inflates to 64 MiB.
    const std::string zeros(64 << 20, '\0');
    WriteAll(archive,
             RawZip({{.name = "declared.dcm", .plain = "tiny", .deflate = true, .declared = std::uint64_t{1} << 60,
                      .zip64 = true},
                     {.name = "inflating.dcm", .plain = zeros, .deflate = true, .declared = 1000},
                     {.name = "Series.dcm", .plain = "good", .deflate = true}}));
    ASSERT_LT(fs::file_size(archive), 1u << 20);
    EXPECT_FALSE(UnzipArchive(archive));
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"Series.dcm", "Series.zip"}));
    EXPECT_EQ(ReadAll(folder / "Series.dcm"), "good");
}

TEST_F(Unzip, AnArchivePathWithoutAFolderIsAnError) {
    EXPECT_THROW(UnzipArchive("Series.zip"), Error);
}

}  // namespace
}  // namespace velunor
