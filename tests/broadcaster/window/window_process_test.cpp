// The built program as the teacher starts it: a launch URL whose address has no '&', and a
// second instance while the first runs. Each program runs from a folder of its own with its
// config.ini, skin and classroom page, messages logged and closed by themselves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "app/single_instance.h"
#include "support/child_process.h"
#include "support/nginx_rtmp_server.h"
#include "window/window_fixture.h"

namespace {

using rtmp::test::ChildProcess;
using rtmp::test::ReadTextFile;
using rtmp::test::RunProcess;
using rtmp::test::TempDir;
using window_test::ConfigText;
using window_test::LaunchUrl;
using window_test::ProgramFolder;

class ProgramRun : public ::testing::Test {
  protected:
    // A program folder with a copy of the built program.
    std::filesystem::path MakeFolder(std::unique_ptr<ProgramFolder>& folder) {
        folder = std::make_unique<ProgramFolder>(ConfigText({}), false);
        const auto program = folder->Path() / "broadcaster";
        std::filesystem::copy_file(TUTORLANE_BROADCASTER_PROGRAM, program);
        return program;
    }

    // The program's command through env: the session folders and message automation.
    std::vector<std::string> Command(const std::filesystem::path& program,
                                     const std::filesystem::path& log,
                                     const std::string& launchUrl) const {
        return {"env",
                "XDG_RUNTIME_DIR=" + session_.Path().string(),
                "XDG_DATA_HOME=" + session_.Path().string(),
                "TUTORLANE_MESSAGE_LOG=" + log.string(),
                "TUTORLANE_MESSAGE_AUTOCLOSE_MS=300",
                program.string(),
                launchUrl};
    }

    // True while some process holds the instance lock of the test session.
    bool InstanceLockHeld() const {
        const std::string path = session_.Path().string() + "/" + app::kInstanceMutexName + ".lock";
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
        close(fd);
        return held;
    }

    TempDir session_{"tutorlane_program_session"};
    TempDir logs_{"tutorlane_program_logs"};
};

TEST_F(ProgramRun, AddressWithoutAmpersandSaysTheParametersAreWrongAndEnds) {
    std::unique_ptr<ProgramFolder> folder;
    const auto program = MakeFolder(folder);
    const auto log = logs_ / "messages.txt";
    const auto result =
        RunProcess(Command(program, log, LaunchUrl("rtmp://127.0.0.1:1/live/lesson")),
                   std::chrono::seconds(60));
    ASSERT_TRUE(result.started) << result.err;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(ReadTextFile(log), "参数有误!\n");
    EXPECT_FALSE(InstanceLockHeld());
}

TEST_F(ProgramRun, SecondInstanceSaysSoAndEndsWhileTheFirstKeepsRunning) {
    std::unique_ptr<ProgramFolder> firstFolder;
    std::unique_ptr<ProgramFolder> secondFolder;
    const auto first = MakeFolder(firstFolder);
    const auto second = MakeFolder(secondFolder);
    const auto firstLog = logs_ / "first.txt";
    const auto secondLog = logs_ / "second.txt";

    ChildProcess running;
    ASSERT_TRUE(running.Start(Command(first, firstLog, LaunchUrl("rtmp://127.0.0.1:1/live/a&4711")),
                              logs_ / "first.out"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!InstanceLockHeld() && std::chrono::steady_clock::now() < deadline &&
           running.Running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(InstanceLockHeld()) << ReadTextFile(logs_ / "first.out");

    const auto result =
        RunProcess(Command(second, secondLog, LaunchUrl("rtmp://127.0.0.1:1/live/b&4712")),
                   std::chrono::seconds(60));
    ASSERT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(ReadTextFile(secondLog), "程序正在运行，不能运行多个副本\n");
    // The second launch stored its address before it found the first instance.
    EXPECT_NE(ReadTextFile(secondFolder->Config())
                  .find("Address=" + window_test::Shifted("rtmp://127.0.0.1:1/live/b")),
              std::string::npos);

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(running.Running());
    EXPECT_TRUE(InstanceLockHeld());
    EXPECT_EQ(ReadTextFile(firstLog), "");
    running.Stop(SIGTERM);
    EXPECT_FALSE(InstanceLockHeld());
}

}  // namespace
