// The library's log: switches, record format with UTC+8 stamps, traffic dumps.
#include "log/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "stream/rtmp.h"

namespace rtmp::log {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tutorlane-log-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        ::setenv("VISTREL_LOG_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        RTMP_SetLog(nullptr, 0, 0);
        ::unsetenv("VISTREL_LOG_DIR");
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

TEST(LogTime, StampIsUtcPlusEightWhateverTheZone) {
    char buf[64];
    // 2014-01-07 04:00:00 UTC is 12:00:00 in UTC+8.
    EXPECT_STREQ(FormatLogTimeAt(buf, 1389067200), "2014-01-07 12:00:00");
    // Midnight of the new year in UTC+8 is 16:00 UTC the day before.
    EXPECT_STREQ(FormatLogTimeAt(buf, 1388505600 - 1), "2013-12-31 23:59:59");
    EXPECT_STREQ(FormatLogTimeAt(buf, 1388505600), "2014-01-01 00:00:00");
    EXPECT_STREQ(FormatLogTime(nullptr), "");
}

TEST_F(LogTest, DumpsOnlyWritesNoLines) {
    EXPECT_EQ(RTMP_SetLog(nullptr, 0, RTMP_LOG_TRAFFIC), 1);
    EXPECT_EQ(ShowText("hello"), 0);
    const uint8_t bytes[] = {1, 2, 3};
    DumpTcpSend(bytes, 3);
    DumpTcpRecv(bytes, 2);
    EXPECT_FALSE(fs::exists(dir_ / "Vistrel.log"));
    EXPECT_EQ(ReadAll(dir_ / "Vistrel.TcpSend"), std::string("----------------\x01\x02\x03", 19));
    EXPECT_EQ(ReadAll(dir_ / "Vistrel.TcpRecv"), std::string("----------------\x01\x02", 18));
}

TEST_F(LogTest, SettingTheLogStartsFreshFiles) {
    RTMP_SetDbgOut(nullptr, 0x101);
    ShowText("old");
    const uint8_t b = 7;
    DumpTcpSend(&b, 1);
    ASSERT_TRUE(fs::exists(dir_ / "Vistrel.log"));
    ASSERT_TRUE(fs::exists(dir_ / "Vistrel.TcpSend"));
    AppendErrorFile("kept", &b, 1);
    // Console only: the old files are deleted and the log file is not written again.
    testing::internal::CaptureStdout();
    RTMP_SetLog(nullptr, 1, 0);
    EXPECT_EQ(ShowText("to the console"), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("to the console\n[", 0), 0u);
    EXPECT_FALSE(fs::exists(dir_ / "Vistrel.log"));
    EXPECT_FALSE(fs::exists(dir_ / "Vistrel.TcpSend"));
    EXPECT_TRUE(fs::exists(dir_ / "Vistrel.err"));  // never deleted
}

TEST_F(LogTest, EachRecordEndsWithTheStampThatOpensTheNextLine) {
    RTMP_SetLog(nullptr, 0, RTMP_LOG_FILE);
    ShowText("A");
    ShowFMT("B=%d", 5);
    const std::string text = ReadAll(dir_ / "Vistrel.log");
    // "A\n[YYYY-MM-DD hh:mm:ss] B=5\n[YYYY-MM-DD hh:mm:ss] "
    ASSERT_EQ(text.size(), 2 + 22 + 4 + 22u);
    EXPECT_EQ(text.substr(0, 3), "A\n[");
    EXPECT_EQ(text.substr(22, 6), "] B=5\n");
    EXPECT_EQ(text.substr(text.size() - 2), "] ");
    EXPECT_EQ(text[7], '-');
    EXPECT_EQ(text[16], ':');
}

TEST_F(LogTest, OverlongMessagesAreDroppedAndOffCostsNothing) {
    RTMP_SetLog(nullptr, 0, RTMP_LOG_FILE);
    const std::string limit(8192, 'x');
    EXPECT_EQ(ShowText(limit.c_str()), 0);  // accepted, but the stamped record is too long
    EXPECT_EQ(ShowText((limit + "y").c_str()), 0);
    EXPECT_EQ(WriteLog(limit.c_str()), 1);
    EXPECT_EQ(ReadAll(dir_ / "Vistrel.log"), limit);
    RTMP_SetLog(nullptr, 0, 0);
    EXPECT_FALSE(LinesOn());
    EXPECT_EQ(ShowFMT("%s", "nothing"), 1);
    EXPECT_FALSE(fs::exists(dir_ / "Vistrel.log"));
}

TEST_F(LogTest, ConsoleColourChangesOnlyWhenDifferent) {
    SetConsoleColor(3);
    EXPECT_EQ(SetConsoleColor(3), 0);
    EXPECT_EQ(SetConsoleColor(4), 1);
    EXPECT_EQ(SetConsoleColor(4), 0);
}

}  // namespace
}  // namespace rtmp::log
