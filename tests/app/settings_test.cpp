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

TEST(IniRead, MatchesSectionAndKeyWithoutCaseAndTrimsBlanks) {
    TempDir dir;
    auto f = dir / "velunor.ini";
    WriteAll(f, "[other]\nServer=wrong\n[config]\r\n  sErVeR  =  db1  \r\nTempPath=/srv/x\n");
    EXPECT_EQ(Read(f, "Server"), "db1");
    EXPECT_EQ(Read(f, "TEMPPATH"), "/srv/x");
    EXPECT_EQ(Read(f, "Missing", "dflt"), "dflt");
    EXPECT_EQ(Read(dir / "none.ini", "Server", "d"), "d");
}

TEST(IniRead, FirstSectionAndFirstKeyWinAndLastLineNeedsNoNewline) {
    TempDir dir;
    auto f = dir / "velunor.ini";
    WriteAll(f, "[CONFIG]\nServer=a\nServer=b\n[CONFIG]\nServer=c\nTempPath=/late\n[CONFIG]\nArchive=1");
    EXPECT_EQ(Read(f, "Server"), "a");
    // Keys of a repeated section are not seen, as with the profile functions.
    EXPECT_EQ(Read(f, "TempPath", "none"), "none");
    WriteAll(f, "[CONFIG]\nArchive=1");
    EXPECT_EQ(Read(f, "Archive"), "1");
}

TEST(IniRead, CutsLongValuesToSizeMinusOneCharactersWithoutSplittingUtf8) {
    TempDir dir;
    auto f = dir / "velunor.ini";
    WriteAll(f, "[CONFIG]\nA=" + std::string(300, 'x') + "\nB=" + std::string(254, 'y') + "\xc3\xa4\xc3\xa4\n" +
                    "C=" + std::string(100000, 'z') + "\n");
    EXPECT_EQ(Read(f, "A"), std::string(255, 'x'));
    EXPECT_EQ(Read(f, "B"), std::string(254, 'y') + "\xc3\xa4");
    EXPECT_EQ(ReadIniValue("CONFIG", "A", "", f, 5), "xxxx");
    EXPECT_EQ(Read(f, "C").size(), 255u);
}

TEST(IniRead, BinaryBytesDoNotBreakReading) {
    TempDir dir;
    auto f = dir / "velunor.ini";
    std::string content = "[CONFIG]\nServer=ab";
    content += '\0';
    content += "cd\n\xff\xfe\x01garbage\nTempPath=/t\n";
    WriteAll(f, content);
    EXPECT_EQ(Read(f, "Server"), "ab");
    EXPECT_EQ(Read(f, "TempPath"), "/t");
}

TEST(IniWrite, KeepsOtherLinesReplacesAndAddsKeys) {
    TempDir dir;
    auto f = dir / "velunor.ini";
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

TEST(IniWrite, CreatesMissingFileAndFailsClearlyInMissingFolder) {
    TempDir dir;
    auto f = dir / "velunor.ini";
    WriteIniValue("CONFIG", "Server", "s", f);
    EXPECT_EQ(Read(f, "Server"), "s");
    EXPECT_THROW(WriteIniValue("CONFIG", "Server", "s", dir / "no" / "velunor.ini"), Error);
    EXPECT_FALSE(std::filesystem::exists(dir / "velunor.ini.tmp"));
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

TEST(LineBreaks, RoundTripAndSemicolonBecomesABreak) {
    EXPECT_EQ(EncodeLineBreaks("Remove the disc\r\nLabel it"), "Remove the disc;Label it");
    EXPECT_EQ(EncodeLineBreaks("a\nb\rc"), "a;b;c");
    EXPECT_EQ(DecodeLineBreaks("a;b"), "a\r\nb");
    EXPECT_EQ(DecodeLineBreaks(EncodeLineBreaks("x;y")), "x\r\ny");
}

TEST(ParseInt16, AcceptsOnlySixteenBitWholeNumbers) {
    EXPECT_EQ(ParseInt16(" 12 "), 12);
    EXPECT_EQ(ParseInt16("-32768"), -32768);
    EXPECT_EQ(ParseInt16("+7"), 7);
    EXPECT_FALSE(ParseInt16("32768"));
    EXPECT_FALSE(ParseInt16("abc"));
    EXPECT_FALSE(ParseInt16(""));
    EXPECT_FALSE(ParseInt16("1.5"));
    EXPECT_FALSE(ParseInt16("99999999999999999999"));
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
}

TEST(LoadConfiguration, CreatesOneLevelOnlyAndRecreatesDeletedFolders) {
    TempDir dir;
    auto deep = dir / "a" / "b";
    WriteAll(dir / "velunor.ini", "[CONFIG]\nTempPath=" + deep.string() + "/\n");
    Settings s;
    LoadConfiguration(s, dir.path());
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));

    WriteAll(dir / "velunor.ini", "[CONFIG]\nTempPath=" + (dir / "s").string() + "\n");
    LoadConfiguration(s, dir.path());
    std::filesystem::remove_all(dir / "s" / "DVD");
    test::WriteAll(dir / "s" / "Unzip" / "keep.txt", "x");
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
