#include <gtest/gtest.h>

#include "app/logging.hpp"
#include "app/settings.hpp"
#include "app/window_system.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

using test::ReadAll;
using test::TempDir;

struct LogFixture : ::testing::Test {
    TempDir dir;
    test::ScriptedPrompter prompter;
    HeadlessWindow window{prompter, test::FakeSleep{}};
    Settings settings;
    LogSink sink;
    int tokens = 0;
    int stamps = 0;

    LogFixture() {
        sink.logsDir = dir / "Logs";
        sink.markerPath = dir / "Velunor.ready";
        sink.timestamp = [this] { return "05.12.2026 02:08:" + std::to_string(10 + stamps++); };
        sink.newToken = [this] { return "token" + std::to_string(++tokens); };
    }
    void Log(std::int32_t n, std::string msg, const std::string& label, std::int32_t image = 0, bool silent = false) {
        LogError(sink, settings, window, n, msg, label, image, silent);
    }
};

TEST_F(LogFixture, ErrorLineHasSignPlaceNumberBlankNoSeparatorsAndCrLf) {
    Log(0, "Verification failed!", "DVDVerify");
    Log(-1, "x", "L");
    EXPECT_EQ(ReadAll(dir / "Logs" / "Error.log"),
              "05.12.2026 02:08:10 0 Verification failed!DVDVerify\r\n05.12.2026 02:08:13-1 xL\r\n");
    EXPECT_EQ(prompter.texts(), (std::vector<std::string>{"[Error #0] Verification failed!", "[Error #-1] x"}));
    EXPECT_EQ(prompter.shown[0].icon, Icon::Critical);
}

TEST_F(LogFixture, ImageIdPrefixReachesLineBoxAndCaller) {
    std::string msg = "x";
    LogError(sink, settings, window, 5, msg, "P", 7, false);
    EXPECT_EQ(msg, "ImageID: 7 x");
    EXPECT_NE(ReadAll(dir / "Logs" / "Error.log").find(" 5 ImageID: 7 xP\r\n"), std::string::npos);
    EXPECT_EQ(prompter.texts().at(0), "[Error #5] ImageID: 7 x");
}

TEST_F(LogFixture, MarkerIsRewrittenTwiceWithBoxOnceWhenSilentAndBoxSuppressedByArchive) {
    Log(0, "", "L");
    EXPECT_EQ(prompter.texts().at(0), "[Error #0] ");
    EXPECT_EQ(ReadAll(dir / "Velunor.ready"), "05.12.2026 02:08:12\r\n");  // stamps: line, marker, marker

    stamps = 0;
    Log(0, "s", "L", 0, true);
    EXPECT_EQ(ReadAll(dir / "Velunor.ready"), "05.12.2026 02:08:11\r\n");
    EXPECT_EQ(prompter.shown.size(), 1u);

    settings.Archive = 1;
    stamps = 0;
    Log(0, "a", "L");
    EXPECT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(ReadAll(dir / "Velunor.ready"), "05.12.2026 02:08:12\r\n");
}

TEST_F(LogFixture, MarkerNeverFollowsASymbolicLink) {
    auto victim = dir / "victim";
    test::WriteAll(victim, "precious");
    std::filesystem::create_symlink(victim, dir / "Velunor.ready");
    Log(0, "x", "L", 0, true);
    EXPECT_EQ(ReadAll(victim), "precious");
}

TEST_F(LogFixture, FileLogRotatesOnlyAboveTheLimit) {
    sink.rotateAbove = 1000000;
    std::filesystem::create_directory(dir / "Logs");
    auto log = dir / "Logs" / "FileLog.log";
    test::WriteAll(log, std::string(1000000, 'a'));
    FileLog(sink, "1-1 x");
    EXPECT_EQ(tokens, 0);
    EXPECT_EQ(std::filesystem::file_size(log), 1000000u + 19 + 5 + 2);

    test::WriteAll(log, std::string(1000001, 'b'));
    FileLog(sink, "next");
    EXPECT_EQ(tokens, 1);
    EXPECT_EQ(std::filesystem::file_size(dir / "Logs" / "token1.log"), 1000001u);
    EXPECT_EQ(ReadAll(log), "05.12.2026 02:08:11next\r\n");
}

TEST_F(LogFixture, RotationNeverReplacesAnEarlierRotatedLog) {
    sink.rotateAbove = 10;
    sink.newToken = [] { return std::string(); };  // no token: target Logs/.log
    std::filesystem::create_directory(dir / "Logs");
    auto log = dir / "Logs" / "FileLog.log";
    test::WriteAll(log, std::string(20, 'a'));
    FileLog(sink, "one");
    EXPECT_EQ(ReadAll(dir / "Logs" / ".log"), std::string(20, 'a'));
    test::WriteAll(log, std::string(20, 'b'));
    FileLog(sink, "two");
    EXPECT_EQ(ReadAll(dir / "Logs" / ".log"), std::string(20, 'a'));
    EXPECT_EQ(ReadAll(log).substr(0, 20), std::string(20, 'b'));
}

TEST_F(LogFixture, LogsFolderIsCreatedByAnyLoggerAndDebugLineJoinsBothTexts) {
    DebugLog(sink, "Studie-Count: ", "12");
    EXPECT_EQ(ReadAll(dir / "Logs" / "Debug.log"), "05.12.2026 02:08:10Studie-Count: 12\r\n");
}

TEST_F(LogFixture, LogsPathThatIsAFileLosesLinesWithoutThrowing) {
    test::WriteAll(dir / "Logs", "not a folder");
    EXPECT_NO_THROW(Log(1, "x", "L"));
    EXPECT_NO_THROW(FileLog(sink, "x"));
    EXPECT_NO_THROW(DebugLog(sink, "a", "b"));
    EXPECT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(ReadAll(dir / "Logs"), "not a folder");
}

TEST(LogFormat, NumberRendering) {
    EXPECT_EQ(FormatLogNumber(0), " 0 ");
    EXPECT_EQ(FormatLogNumber(-1), "-1 ");
    EXPECT_EQ(FormatLogNumber(-2147483647 - 1), "-2147483648 ");
    EXPECT_EQ(FormatLogNumber(42), " 42 ");
}

TEST(LogFormat, TokensAreUniqueFileNames) {
    auto a = NewLogToken(), b = NewLogToken();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.find('/'), std::string::npos);
    EXPECT_FALSE(a.empty());
}

}  // namespace
}  // namespace velunor
