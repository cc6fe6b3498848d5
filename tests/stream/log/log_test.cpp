// The library's log: switches, record format with UTC+8 stamps, traffic dumps, file safety.
#include "log/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "stream/rtmp.h"
#include "stream_kit.h"

namespace rtmp::log {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFiles[] = {"Vistrel.log", "Vistrel.TcpSend", "Vistrel.TcpRecv",
                                  "Vistrel.err"};

void WriteEachFile(bool reopen = true) {
    if (reopen)
        RTMP_SetDbgOut(nullptr, 0x101);
    ::testing::internal::CaptureStdout();
    ShowText("line");
    ::testing::internal::GetCapturedStdout();
    const uint8_t b = 1;
    DumpTcpSend(&b, 1);
    DumpTcpRecv(&b, 1);
    AppendErrorFile("error", &b, 1);
    ForceText("forced");
}

TEST(Log, UtcPlusEightStampsSwitchesDumpsAndTheRecordFormat) {
    char buf[64];
    EXPECT_STREQ(FormatLogTimeAt(buf, 1388505600 - 1), "2013-12-31 23:59:59");
    EXPECT_STREQ(FormatLogTimeAt(buf, 1388505600), "2014-01-01 00:00:00");
    EXPECT_STREQ(FormatLogTime(nullptr), "");

    kit::LogFolder logs;
    EXPECT_EQ(RTMP_SetLog(nullptr, 0, RTMP_LOG_TRAFFIC), 1);  // dumps only
    EXPECT_EQ(ShowText("hello"), 0);
    const uint8_t bytes[] = {1, 2, 3};
    DumpTcpSend(bytes, 3);
    DumpTcpRecv(bytes, 2);
    EXPECT_FALSE(fs::exists(logs.Dir() / "Vistrel.log"));
    EXPECT_EQ(logs.File("Vistrel.TcpSend"), std::string("----------------\x01\x02\x03", 19));
    EXPECT_EQ(logs.File("Vistrel.TcpRecv"), std::string("----------------\x01\x02", 18));
    RTMP_SetLog(nullptr, 0, RTMP_LOG_FILE);
    ShowText("A");
    ShowFMT("B=%d", 5);
    const std::string stamp = "\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\] ";
    // std::regex: GoogleTest's own on Windows knows no brackets.
    const std::string records = logs.File();
    EXPECT_TRUE(std::regex_match(records, std::regex("A\n" + stamp + "B=5\n" + stamp))) << records;
    // Setting the log again starts fresh files; overlong records are dropped.
    RTMP_SetLog(nullptr, 0, RTMP_LOG_FILE);
    const std::string limit(8192, 'x');
    EXPECT_EQ(ShowText(limit.c_str()), 0);  // accepted, but the stamped record is too long
    EXPECT_EQ(ShowText((limit + "y").c_str()), 0);
    EXPECT_EQ(WriteLog(limit.c_str()), 1);
    EXPECT_EQ(logs.File(), limit);
    AppendErrorFile("kept", bytes, 1);
    // Console only: the old files are deleted (not the error file) and the log is not written.
    testing::internal::CaptureStdout();
    RTMP_SetLog(nullptr, 1, 0);
    EXPECT_EQ(ShowText("to the console"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("to the console\n[", 0), 0u);
    EXPECT_FALSE(fs::exists(logs.Dir() / "Vistrel.log"));
    EXPECT_FALSE(fs::exists(logs.Dir() / "Vistrel.TcpSend"));
    EXPECT_TRUE(fs::exists(logs.Dir() / "Vistrel.err"));
    RTMP_SetLog(nullptr, 0, 0);
    EXPECT_FALSE(LinesOn());
    EXPECT_EQ(ShowFMT("%s", "nothing"), 1);
    EXPECT_FALSE(fs::exists(logs.Dir() / "Vistrel.log"));
    SetConsoleColor(3);
    EXPECT_EQ(SetConsoleColor(3), 0);  // changes only when different
    EXPECT_EQ(SetConsoleColor(4), 1);
}

// The default folder is the user's own, owner-only; nothing is written through a planted link
// (symbolic or hard), there or in a shared VISTREL_LOG_DIR.
TEST(Log, FilesGoToTheUsersOwnFolderAndNeverThroughALink) {
    kit::LogFolder logs;
    const fs::path dir = logs.Dir(), state = dir / "state", shared = dir / "shared";
    const fs::path folder = state / "tutorlane";
    rtmp::test::UnsetEnvironment("VISTREL_LOG_DIR");
    rtmp::test::SetEnvironment("XDG_STATE_HOME", state.string());
    EXPECT_EQ(LogDir(), folder.string());
    WriteEachFile();
    EXPECT_EQ(fs::symlink_status(folder).permissions(), fs::perms::owner_all);
    for (const char* name : kFiles)
        EXPECT_EQ(fs::symlink_status(folder / name).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write)
            << name;
    const auto plant = [&](const fs::path& at, bool all, bool hard = false) {
        for (const char* name : kFiles) {
            if (!all && std::string(name) == "Vistrel.err")
                continue;
            fs::remove(at / name);
            const fs::path target = dir / (std::string("target-") + name);
            if (hard)
                fs::create_hard_link(target, at / name);
            else
                fs::create_symlink(target, at / name);
        }
    };
    for (const char* name : kFiles)
        std::ofstream(dir / (std::string("target-") + name)) << "victim";
    fs::create_directories(shared);
    plant(folder, true);
    WriteEachFile();  // RTMP_SetDbgOut removes the links of the log and dumps; plant them again
    plant(folder, false);
    WriteEachFile(false);
    rtmp::test::SetEnvironment("VISTREL_LOG_DIR", shared.string());
    RTMP_SetLog(nullptr, 0, 0x101);
    plant(shared, true);
    WriteEachFile(false);
    plant(shared, true, true);
    WriteEachFile(false);
    for (const char* name : kFiles)
        EXPECT_EQ(kit::LogFolder::Read(dir / (std::string("target-") + name)), "victim") << name;
}

TEST(Log, ErrorFileAndForcedLinesKeepTheNewestHalfAndLeaveTheSwitchesAlone) {
    kit::LogFolder logs;
    const std::string big(16u << 20, 'b');
    for (int i = 0; i < 3; ++i)
        AppendErrorFile("head", big.data(), big.size());
    EXPECT_LE(fs::file_size(logs.Dir() / "Vistrel.err"), kMaxLogFileBytes);
    EXPECT_EQ(logs.File("Vistrel.err").substr(0, 4), "head");  // the newest, cut to half
    // Forced lines are written with the switches off, and leave them off.
    RTMP_SetLog(nullptr, 0, 0);
    const std::string chunk(1000, 'c');
    for (int i = 0; i < 3000; ++i)
        EXPECT_EQ(ForceText((chunk + std::to_string(i)).c_str()), 1);
    EXPECT_EQ(GetSwitches().file.load(), 0);
    EXPECT_FALSE(LinesOn());
    const std::string log = logs.File();
    EXPECT_LE(log.size(), kMaxLogFileBytes);
    EXPECT_GE(log.size(), kMaxLogFileBytes / 2 - 1100);
    EXPECT_NE(log.find(chunk + "2999\n["), std::string::npos);  // text, then the next stamp
    EXPECT_EQ(log.find(chunk + "1000\n"), std::string::npos);
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

}  // namespace
}  // namespace rtmp::log
