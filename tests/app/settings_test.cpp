#include <gtest/gtest.h>
#include <unistd.h>

#include "app/error.hpp"
#include "app/settings.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

using test::ReadAll;
using test::TempDir;
using test::WriteAll;

std::string Read(const std::filesystem::path& f, const std::string& key, const std::string& def = "") {
    return ReadIniValue("CONFIG", key, def, f, 256);
}

// Reading as the profile functions read: case-blind names, blanks dropped,
// the first section and key win, values cut to size - 1 characters without
// splitting one, odd bytes never stopping the reader.
TEST(IniRead, ReadsAsTheProfileFunctionsDo) {
    TempDir dir;
    auto f = dir / "velunor.ini";
    std::string binary = "[CONFIG]\nServer=ab";
    binary += '\0';
    binary += "cd\n\xff\xfe\x01garbage\nTempPath=/t\n";
    const struct {
        std::string content, key, expected;
    } cases[] = {
        {"[other]\nServer=wrong\n[config]\r\n  sErVeR  =  db1  \r\nTempPath=/srv/x\n", "Server", "db1"},
        {"[config]\nTempPath=/srv/x", "TEMPPATH", "/srv/x"},
        {"[CONFIG]\nServer=a\nServer=b\n[CONFIG]\nServer=c\n", "Server", "a"},
        {"[CONFIG]\nServer=a\n[CONFIG]\nTempPath=/late\n", "TempPath", "dflt"},
        {"[CONFIG]\nA=" + std::string(300, 'x'), "A", std::string(255, 'x')},
        {"[CONFIG]\nB=" + std::string(254, 'y') + "\xc3\xa4\xc3\xa4\n", "B", std::string(254, 'y') + "\xc3\xa4"},
        {binary, "Server", "ab"},
        {binary, "TempPath", "/t"},
        {"", "Missing", "dflt"},
    };
    for (const auto& c : cases) {
        WriteAll(f, c.content);
        EXPECT_EQ(Read(f, c.key, "dflt"), c.expected) << c.content.substr(0, 40);
    }
    EXPECT_EQ(Read(dir / "none.ini", "Server", "d"), "d");
}

TEST(IniWrite, KeepsOtherLinesReplacesAndAddsKeys) {
    TempDir dir;
    auto f = dir / "velunor.ini";
    EXPECT_THROW(WriteIniValue("CONFIG", "Server", "s", dir / "no" / "velunor.ini"), Error);
    WriteAll(f, "; comment\n[Other]\nServer=keep\n[CONFIG]\nServer=old\nX=1\n\n[Tail]\nY=2\n");
    WriteIniValue("CONFIG", "server", "new", f);
    WriteIniValue("CONFIG", "DVDSpeed", "4", f);
    std::string text = ReadAll(f);
    EXPECT_NE(text.find("; comment"), std::string::npos);
    EXPECT_NE(text.find("Server=keep"), std::string::npos);
    EXPECT_EQ(text.find("Server=old"), std::string::npos);
    EXPECT_EQ(Read(f, "Server"), "new");
    EXPECT_EQ(Read(f, "DVDSpeed"), "4");
    EXPECT_EQ(Read(f, "X"), "1");
    EXPECT_EQ(ReadIniValue("Tail", "Y", "", f, 256), "2");
    EXPECT_EQ(ReadIniValue("Other", "Server", "", f, 256), "keep");
}

TEST(IniWrite, RefusesWhatWouldSplitALineOrCutAValueAndLeavesTheFileAlone) {
    TempDir dir;
    auto f = dir / "velunor.ini";
    const std::string before = "[CONFIG]\r\nServer=db\r\nTempPath=/srv/velunor/\r\n";
    WriteAll(f, before);
    // A pasted line break would add a key of its own; a NUL byte would cut
    // the value short (found by the INI fuzzer).
    for (const std::string& value : {std::string("db2\nTempPath=/"), std::string("db2\r[Other]"),
                                     std::string("db2\0tail", 8)}) {
        EXPECT_THROW(WriteIniValue("CONFIG", "Server", value, f), Error) << value;
        EXPECT_EQ(ReadAll(f), before);
    }
    for (const std::string& key : {std::string("Ser\nver"), std::string("a=b"), std::string(" Server"), std::string()})
        EXPECT_THROW(WriteIniValue("CONFIG", key, "x", f), Error) << key;
    EXPECT_THROW(WriteIniValue("CON\r\nFIG", "Server", "x", f), Error);
    EXPECT_EQ(ReadAll(f), before);
    EXPECT_FALSE(std::filesystem::exists(dir / "velunor.ini.tmp"));
    // Everything else stays writable, ";" and "=" inside values included.
    WriteIniValue("CONFIG", "Server", "host;port=5432 \xC3\xBC", f);
    EXPECT_EQ(Read(f, "Server"), "host;port=5432 \xC3\xBC");
}

TEST(LoadConfiguration, ReadsEveryKeyAndBuildsTheConnectionString) {
    TempDir dir;
    auto staging = dir / "stage";
    WriteAll(dir / "velunor.ini",
             "[CONFIG]\nServer=(local)\nServerType=SQL Server\nTempPath=" + staging.string() +
                 "\nMSGDVDInsert=Insert;a disc\nMSGDVDName=Remove the disc;Label it DVD {NAME}\nDVDSpeed=8\n"
                 "Archive=1\nASAPI=1\nAuthBurn=2\nImageFolder=/srv/iso\n");
    Settings s;
    LoadConfiguration(s, dir.path());
    EXPECT_EQ(s.IniFilePath, dir / "velunor.ini");
    EXPECT_EQ(s.Server, "(local)");
    EXPECT_EQ(s.TempPath, staging.string() + "/");
    EXPECT_EQ(s.MSGDVDInsert, "Insert\r\na disc");
    EXPECT_EQ(s.MSGDVDName, "Remove the disc\r\nLabel it DVD {NAME}");
    EXPECT_EQ(s.DVDSpeed, 8);
    EXPECT_EQ(s.Archive, 1);
    EXPECT_EQ(s.ASAPI, 1);
    EXPECT_EQ(s.AuthBurn, 2);
    EXPECT_EQ(s.ImageFolder, "/srv/iso");
    EXPECT_EQ(s.ConnectionString, "driver={SQL Server};server=(local);uid=F257;pwd=MoNpLq482;database=ARCDB2");
    for (const char* sub : kStagingFolders) EXPECT_TRUE(std::filesystem::is_directory(staging / sub)) << sub;
}

TEST(LoadConfiguration, BadNumbersKeepTheLastGoodValue) {
    TempDir dir;
    WriteAll(dir / "velunor.ini", "[CONFIG]\nTempPath=" + (dir / "t/").string() + "\nDVDSpeed=4\nArchive=1\n");
    Settings s;
    LoadConfiguration(s, dir.path());
    EXPECT_EQ(s.DVDSpeed, 4);
    EXPECT_EQ(s.TempPath, (dir / "t/").string());  // already ends in "/": unchanged
    WriteAll(dir / "velunor.ini", "[CONFIG]\nTempPath=" + (dir / "t").string() + "\nDVDSpeed=abc\nArchive=40000\n");
    LoadConfiguration(s, dir.path());
    EXPECT_EQ(s.DVDSpeed, 4);
    EXPECT_EQ(s.Archive, 1);
    std::filesystem::remove(dir / "velunor.ini");
    LoadConfiguration(s, dir.path());
    EXPECT_EQ(s.DVDSpeed, 4);   // an empty speed is no number either
    EXPECT_EQ(s.Archive, 0);    // default "0"
    EXPECT_EQ(s.ConnectionString, "driver={};server=;uid=F257;pwd=MoNpLq482;database=ARCDB2");

    // The staging tree: one missing level is created, never more; deleted
    // folders come back, and nothing in them is touched.
    WriteAll(dir / "velunor.ini", "[CONFIG]\nTempPath=" + (dir / "a" / "b").string() + "/\n");
    LoadConfiguration(s, dir.path());
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
    WriteAll(dir / "velunor.ini", "[CONFIG]\nTempPath=" + (dir / "s").string() + "\n");
    LoadConfiguration(s, dir.path());
    std::filesystem::remove_all(dir / "s" / "DVD");
    WriteAll(dir / "s" / "Unzip" / "keep.txt", "x");
    LoadConfiguration(s, dir.path());
    EXPECT_TRUE(std::filesystem::is_directory(dir / "s" / "DVD" / "2"));
    EXPECT_TRUE(std::filesystem::exists(dir / "s" / "Unzip" / "keep.txt"));
}

// velunor.credentials replaces the built-in account, and only when no one
// but its owner can read it; a refused file leaves no connection string to
// connect as anyone, and no message quotes its content.
TEST(Credentials, ReplaceTheBuiltInAccountOnlyFromAPrivateFile) {
    TempDir dir;
    WriteAll(dir / "velunor.ini", "[CONFIG]\nServerType=PostgreSQL\nServer=db\n");
    Settings s;
    LoadConfiguration(s, dir.path());
    EXPECT_EQ(s.ConnectionString, "driver={PostgreSQL};server=db;uid=F257;pwd=MoNpLq482;database=ARCDB2");
    EXPECT_EQ(s.CredentialsProblem, "");

    const auto file = dir / "velunor.credentials";
    const std::string secret = "s3;cr}t ";
    WriteAll(file, "database=ARCHIVE\r\nuid=velunor\r\n\npwd=" + secret + "\r\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    LoadConfiguration(s, dir.path());
    EXPECT_EQ(s.ConnectionString, "driver={PostgreSQL};server=db;uid=velunor;pwd={s3;cr}}t };database=ARCHIVE");
    EXPECT_EQ(s.CredentialsProblem, "");

    const auto refused = [&](const std::string& why) {
        LoadConfiguration(s, dir.path());
        EXPECT_EQ(s.ConnectionString, "") << why;
        EXPECT_NE(s.CredentialsProblem.find(file.string()), std::string::npos) << why << ": " << s.CredentialsProblem;
        EXPECT_EQ(s.CredentialsProblem.find("s3;cr"), std::string::npos) << why << ": " << s.CredentialsProblem;
    };
    std::filesystem::permissions(file, std::filesystem::perms::group_read, std::filesystem::perm_options::add);
    refused("readable by the group");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ASSERT_EQ(::chown(file.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)), 0);
    refused("another owner");
    ASSERT_EQ(::chown(file.c_str(), ::geteuid(), static_cast<gid_t>(-1)), 0);
    WriteAll(file, "uid=velunor\npwd=" + secret + "\npwd=" + secret + "\n");
    refused("a line twice, and no database");
    std::filesystem::remove(file);
    LoadConfiguration(s, dir.path());
    EXPECT_EQ(s.CredentialsProblem, "");
    EXPECT_NE(s.ConnectionString.find("uid=F257"), std::string::npos);
}

}  // namespace
}  // namespace velunor
