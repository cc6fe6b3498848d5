// The library's log: switches, record format with UTC+8 stamps, traffic dumps.
#include "log/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

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
        ::unsetenv("XDG_STATE_HOME");
        fs::remove_all(dir_);
    }
    // Writes every file of the library once: a log line, both dumps, the error file.
    static void WriteEachFile() {
        RTMP_SetDbgOut(nullptr, 0x101);
        ::testing::internal::CaptureStdout();
        ShowText("line");
        ::testing::internal::GetCapturedStdout();
        const uint8_t b = 1;
        DumpTcpSend(&b, 1);
        DumpTcpRecv(&b, 1);
        AppendErrorFile("error", &b, 1);
    }
    static constexpr const char* kFiles[] = {"Vistrel.log", "Vistrel.TcpSend", "Vistrel.TcpRecv",
                                             "Vistrel.err"};
    fs::path dir_;
};

unsigned ModeOf(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0xFFFF;
}

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

TEST_F(LogTest, FilesGoToTheUsersOwnStateFolderWithOwnerOnlyAccess) {
    ::unsetenv("VISTREL_LOG_DIR");
    ::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    const fs::path folder = dir_ / "state" / "tutorlane";
    EXPECT_EQ(LogDir(), folder.string());
    WriteEachFile();
    EXPECT_EQ(ModeOf(folder), 0700u);
    for (const char* name : kFiles)
        EXPECT_EQ(ModeOf(folder / name), 0600u) << name;
}

TEST_F(LogTest, NothingIsWrittenThroughALinkPlantedAtAFileName) {
    // Both in the default folder and in a shared folder named by VISTREL_LOG_DIR.
    const fs::path state = dir_ / "state";
    const fs::path shared = dir_ / "shared";
    fs::create_directories(state / "tutorlane");
    fs::create_directories(shared);
    for (const fs::path& folder : {state / "tutorlane", shared}) {
        for (const char* name : kFiles) {
            const fs::path target = dir_ / (std::string("target-") + name);
            std::ofstream(target) << "victim";
            fs::create_symlink(target, folder / name);
        }
    }
    ::unsetenv("VISTREL_LOG_DIR");
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    WriteEachFile();  // RTMP_SetDbgOut removes the links of the log and dumps; plant them again
    for (const char* name : {"Vistrel.log", "Vistrel.TcpSend", "Vistrel.TcpRecv"}) {
        fs::remove(state / "tutorlane" / name);
        fs::create_symlink(dir_ / (std::string("target-") + name), state / "tutorlane" / name);
    }
    ::testing::internal::CaptureStdout();
    ShowText("again");
    ::testing::internal::GetCapturedStdout();
    const uint8_t b = 2;
    DumpTcpSend(&b, 1);
    DumpTcpRecv(&b, 1);
    ::setenv("VISTREL_LOG_DIR", shared.c_str(), 1);
    RTMP_SetLog(nullptr, 0, 0x101);
    for (const char* name : {"Vistrel.log", "Vistrel.TcpSend", "Vistrel.TcpRecv"})
        fs::create_symlink(dir_ / (std::string("target-") + name), shared / name);
    ShowText("line");
    DumpTcpSend(&b, 1);
    DumpTcpRecv(&b, 1);
    AppendErrorFile("error", &b, 1);
    ForceText("forced");
    for (const char* name : kFiles)
        EXPECT_EQ(ReadAll(dir_ / (std::string("target-") + name)), "victim") << name;
}

TEST_F(LogTest, ErrorFileAndForcedLinesKeepTheNewestHalfPastTheLimit) {
    // A server that sends broken headers again and again: 16 MiB buffers, many times.
    const std::string big(16u << 20, 'b');
    for (int i = 0; i < 3; ++i)
        AppendErrorFile("head", big.data(), big.size());
    const fs::path err = dir_ / "Vistrel.err";
    EXPECT_LE(fs::file_size(err), kMaxLogFileBytes);
    EXPECT_EQ(ReadAll(err).substr(0, 4), "head");  // the newest record, cut to half the limit
    const std::string chunk(1000, 'c');
    for (int i = 0; i < 3000; ++i)
        ForceText((chunk + std::to_string(i)).c_str());
    const std::string log = ReadAll(dir_ / "Vistrel.log");
    EXPECT_LE(log.size(), kMaxLogFileBytes);
    EXPECT_GE(log.size(), kMaxLogFileBytes / 2 - 1100);
    EXPECT_NE(log.find(chunk + "2999\n"), std::string::npos);
    EXPECT_EQ(log.find(chunk + "1000\n"), std::string::npos);
}

TEST_F(LogTest, AForcedLineLeavesTheSwitchesAsTheCallerSetThem) {
    RTMP_SetLog(nullptr, 0, 0);
    EXPECT_EQ(ForceText("forced"), 1);
    EXPECT_EQ(GetSwitches().file.load(), 0);
    EXPECT_FALSE(LinesOn());
    EXPECT_EQ(ReadAll(dir_ / "Vistrel.log").rfind("forced\n[", 0), 0u);
    // A switch turned on while another thread forces lines stays on.
    std::atomic<bool> done{false};
    std::thread forcing([&] {
        while (!done.load())
            ForceFMT("%s", "x");
    });
    for (int i = 0; i < 200; ++i) {
        RTMP_SetLog(nullptr, 0, RTMP_LOG_FILE);
        EXPECT_EQ(GetSwitches().file.load(), 1);
        RTMP_SetLog(nullptr, 0, 0);
        EXPECT_EQ(GetSwitches().file.load(), 0);
    }
    done = true;
    forcing.join();
}

TEST_F(LogTest, ConsoleColourChangesOnlyWhenDifferent) {
    SetConsoleColor(3);
    EXPECT_EQ(SetConsoleColor(3), 0);
    EXPECT_EQ(SetConsoleColor(4), 1);
    EXPECT_EQ(SetConsoleColor(4), 0);
}

}  // namespace
}  // namespace rtmp::log
