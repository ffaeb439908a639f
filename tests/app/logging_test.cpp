#include <gtest/gtest.h>

#include "app/logging.hpp"
#include "app/settings.hpp"
#include "tests/support/recorded_events.hpp"
#include "tests/support/support.hpp"

namespace velunor {
namespace {

using test::ReadAll;
using test::TempDir;

struct LogFixture : ::testing::Test {
    TempDir dir;
    test::RecordedEvents events;
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
        LogError(sink, settings, events, n, msg, label, image, silent);
    }
};

// The error line's layout, the message asked (not when silent, not with
// Archive set), the image id prefix, and the marker rewritten after each.
TEST_F(LogFixture, ErrorLinesMessagesAndTheMarker) {
    Log(0, "Verification failed!", "DVDVerify");
    std::string msg = "x";
    LogError(sink, settings, events, -1, msg, "P", 7, false);
    EXPECT_EQ(msg, "ImageID: 7 x");
    EXPECT_EQ(ReadAll(dir / "Logs" / "Error.log"),
              "05.12.2026 02:08:10 0 Verification failed!DVDVerify\r\n05.12.2026 02:08:13-1 ImageID: 7 xP\r\n");
    EXPECT_EQ(events.Texts(), (std::vector<std::string>{"[Error #0] Verification failed!", "[Error #-1] ImageID: 7 x"}));
    EXPECT_EQ(events.asked[0].icon, Icon::Critical);
    EXPECT_EQ(ReadAll(dir / "Velunor.ready"), "05.12.2026 02:08:15\r\n");

    Log(0, "s", "L", 0, true);
    settings.Archive = 1;
    Log(0, "a", "L");
    EXPECT_EQ(events.asked.size(), 2u);
    EXPECT_EQ(ReadAll(dir / "Velunor.ready"), "05.12.2026 02:08:20\r\n");
}

// A marker that is a symbolic link is never followed; a Logs path that is
// a file loses lines but never fails the caller.
TEST_F(LogFixture, HostilePathsNeitherFollowedNorFatal) {
    test::WriteAll(dir / "victim", "precious");
    std::filesystem::create_symlink(dir / "victim", dir / "Velunor.ready");
    test::WriteAll(dir / "Logs", "not a folder");
    EXPECT_NO_THROW(Log(1, "x", "L"));
    EXPECT_NO_THROW(FileLog(sink, "x"));
    EXPECT_NO_THROW(DebugLog(sink, "a", "b"));
    EXPECT_EQ(ReadAll(dir / "victim"), "precious");
    EXPECT_EQ(ReadAll(dir / "Logs"), "not a folder");
    EXPECT_EQ(events.asked.size(), 1u);
}

// FileLog.log moves aside only above the limit, and never over an earlier
// rotated log.
TEST_F(LogFixture, FileLogRotatesAboveTheLimitWithoutReplacingEarlierLogs) {
    std::filesystem::create_directory(dir / "Logs");
    auto log = dir / "Logs" / "FileLog.log";
    test::WriteAll(log, std::string(1000000, 'a'));
    FileLog(sink, "1-1 x");
    EXPECT_EQ(tokens, 0);
    test::WriteAll(log, std::string(1000001, 'b'));
    FileLog(sink, "next");
    EXPECT_EQ(std::filesystem::file_size(dir / "Logs" / "token1.log"), 1000001u);
    EXPECT_EQ(ReadAll(log), "05.12.2026 02:08:11next\r\n");

    sink.rotateAbove = 10;
    sink.newToken = [] { return std::string("token1"); };  // the same name again
    test::WriteAll(log, std::string(20, 'c'));
    FileLog(sink, "two");
    EXPECT_EQ(std::filesystem::file_size(dir / "Logs" / "token1.log"), 1000001u);
    EXPECT_EQ(ReadAll(log).substr(0, 20), std::string(20, 'c'));
}

TEST_F(LogFixture, EveryLoggerWritesOneLineWhateverItsTextsHoldAndTheBoxKeepsTheText) {
    // A file name with a line break, a message text with CR LF (MSGDVDInsert
    // as DVDCreate logs it), a label and debug texts with control characters.
    const std::string name = "/archive/evil\r\n05.12.2026 02:08:11 0 forged line\x1b[2J\x7f.dcm";
    Log(0, "Insert a disc\r\nplease", "DVDCreate");
    Log(-1, "x", "Label\n");
    FileLog(sink, "2-1 " + name + " Cannot read DICOM file");
    DebugLog(sink, "0\t", "Reading: " + name);

    EXPECT_EQ(ReadAll(dir / "Logs" / "Error.log"),
              "05.12.2026 02:08:10 0 Insert a disc\\r\\npleaseDVDCreate\r\n"
              "05.12.2026 02:08:13-1 xLabel\\n\r\n");
    const std::string escaped = "/archive/evil\\r\\n05.12.2026 02:08:11 0 forged line\\x1b[2J\\x7f.dcm";
    EXPECT_EQ(ReadAll(dir / "Logs" / "FileLog.log"),
              "05.12.2026 02:08:162-1 " + escaped + " Cannot read DICOM file\r\n");
    EXPECT_EQ(ReadAll(dir / "Logs" / "Debug.log"), "05.12.2026 02:08:170\\tReading: " + escaped + "\r\n");
    EXPECT_EQ(events.Texts(), (std::vector<std::string>{"[Error #0] Insert a disc\r\nplease", "[Error #-1] x"}));
}

TEST(LogLine, ControlCharactersAndInvalidUtf8AreEscapedValidTextStays) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text, 'quotes'; -- and \\ stay", "plain text, 'quotes'; -- and \\ stay"},
        {"a\r\nb\tc", "a\\r\\nb\\tc"},
        {std::string("nul\0bell\a esc\x1b del\x7f", 19), "nul\\x00bell\\x07 esc\\x1b del\\x7f"},
        {"M\xC3\xBCller \xE2\x82\xAC \xF0\x9F\x93\x80", "M\xC3\xBCller \xE2\x82\xAC \xF0\x9F\x93\x80"},
        // Latin-1 bytes, a stray continuation byte, an overlong slash, a
        // surrogate, a value above U+10FFFF, a sequence cut off at the end.
        {"M\xFCller", "M\\xfcller"},
        {"\x80x", "\\x80x"},
        {"\xC0\xAF", "\\xc0\\xaf"},
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},
        {"\xF4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"end\xE2\x82", "end\\xe2\\x82"},
        // C1 controls (NEL) and the Unicode line and paragraph separators
        // break lines in some viewers.
        {"a\xC2\x85" "b", "a\\xc2\\x85b"},
        {"a\xE2\x80\xA8" "b\xE2\x80\xA9", "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9"},
        {"\xC2\xA0nbsp", "\xC2\xA0nbsp"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(OneLogLine(in), out) << ::testing::PrintToString(in);

    // Whatever the bytes, the result is printable ASCII or valid UTF-8 with
    // no line break in it.
    std::string every;
    for (int c = 0; c < 256; ++c) every += static_cast<char>(c);
    const std::string line = OneLogLine(every + every);
    EXPECT_EQ(line.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
    EXPECT_EQ(OneLogLine(line), line);
}

}  // namespace
}  // namespace velunor
