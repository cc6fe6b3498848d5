// The built programs as the teacher starts them: a launch URL whose address has no '&', a
// read-only program folder, and closing during an outage (a second instance is in
// window_broadcast_test.cpp). Each program runs from a folder of its own with its config.ini, skin
// and classroom page, with the test's own settings, state and runtime folders, messages logged
// and closed by themselves.

#include "app/single_instance.h"
#include "support/throttle_proxy.h"
#include "window/window_fixture.h"

// Last: Xlib's macros (None, Status, True, ...) must not reach the headers above.
#include <X11/Xlib.h>

namespace window_test {
namespace {

// Asks an X window to close as a window manager does for its close box (WM_DELETE_WINDOW);
// false when the display can't be reached.
bool AskWindowToClose(unsigned long window) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const bool sent = XSendEvent(display, window, False, NoEventMask, &event) != 0;
    XSync(display, False);
    XCloseDisplay(display);
    return sent;
}

class ProgramRun : public ::testing::Test {
  protected:
    // The program's command through env: the session folders and message automation.
    std::vector<std::string> Command(const std::filesystem::path& program,
                                     const std::filesystem::path& log,
                                     const std::string& launchUrl) const {
        return {"env",
                "XDG_RUNTIME_DIR=" + session_.Path().string(),
                "XDG_DATA_HOME=" + session_.Path().string(),
                "XDG_CONFIG_HOME=" + (session_.Path() / "config").string(),
                "XDG_STATE_HOME=" + (session_.Path() / "state").string(),
                "TUTORLANE_MESSAGE_LOG=" + log.string(),
                "TUTORLANE_MESSAGE_AUTOCLOSE_MS=300",
                program.string(),
                launchUrl};
    }

    TempDir session_{"tutorlane_program_session"};
    TempDir logs_{"tutorlane_program_logs"};
};

// One session's settings. A launch URL whose address has no '&': the program says the parameters
// are wrong and ends, nobody holds the instance lock of the session any more, and the user's own
// settings file, made from the program folder's, holds that address. Then a program folder as an
// installation leaves it: read-only, here through a read-only bind mount in a mount namespace of
// the test's own (a plain chmod does not stop root; where no such namespace can be made the folder
// stays writable, which the program treats the same). The console started from it publishes to
// its launch URL's server, and its address lands in the user's file, which is kept (not made
// again from this folder's, whose bit rate differs); the folder's file stays as it was.
TEST_F(ProgramRun, AWrongAddressEndsTheProgramAndAReadOnlyFolderKeepsSettingsPerUser) {
    const std::string wrongUrl = "rtmp://127.0.0.1:1/live/lesson";
    const ProgramFolder wrongFolder(ConfigText({}), false);
    const auto wrong = RunProcess(Command(wrongFolder.Copy(TUTORLANE_BROADCASTER_PROGRAM),
                                          logs_ / "wrong.txt", LaunchUrl(wrongUrl)));
    EXPECT_TRUE(wrong.Succeeded()) << wrong.err;
    EXPECT_EQ(ReadTextFile(logs_ / "wrong.txt"), "参数有误!\n");
    EXPECT_TRUE(RunProcess({"flock", "-n",
                            session_ / (std::string(app::kInstanceMutexName) + ".lock"), "true"})
                    .Succeeded());
    const auto userFile = session_.Path() / "config" / "tutorlane" / "config.ini";
    std::string user = wrongFolder.ConfigNow();
    user.replace(user.find("\nAddress=\n"), 10, "\nAddress=" + Shifted(wrongUrl) + "\n");
    EXPECT_EQ(ReadTextFile(userFile), user);

    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    const ProgramFolder folder(ConfigText({{"Bitrate", "500"}}), false);
    const auto console = folder.Copy(TUTORLANE_CONSOLE_PROGRAM);
    const std::string plain = server.Url("live", "readonly") + "&4713";
    const auto log = logs_ / "console.txt";

    const std::string remount =
        "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" \"$0\" && "
        "! touch \"$0/probe\" 2>/dev/null && exec \"$@\"";
    std::vector<std::string> argv = Command(console, log, "--seconds");
    argv.insert(argv.end(), {"3", LaunchUrl(plain)});
    // Read-only where a mount namespace can be made; either way nothing is added to the folder.
    if (RunProcess({"unshare", "-m", "true"}, 10s).Succeeded())
        argv.insert(argv.begin(), {"unshare", "-m", "sh", "-c", remount, folder.Path().string()});
    const std::string files = RunProcess({"ls", "-A", folder.Path().string()}, 10s).out;
    const auto result = RunProcess(argv, 60s);
    EXPECT_TRUE(result.Succeeded()) << result.out << result.err;
    EXPECT_EQ((result.out + result.err).find("设置无法"), std::string::npos)
        << result.out << result.err;
    EXPECT_GT(Recorded(server, "readonly"), 1000u);
    user.replace(user.find("\nAddress="), 10 + Shifted(wrongUrl).size(),
                 "\nAddress=" + Shifted(plain) + "\n");
    EXPECT_EQ(ReadTextFile(userFile), user);
    EXPECT_EQ(folder.ConfigNow(), ConfigText({{"Bitrate", "500"}}));
    EXPECT_EQ(RunProcess({"ls", "-A", folder.Path().string()}, 10s).out, files);
}

// Closing the window during an outage ends the program within seconds.
TEST_F(ProgramRun, ClosingDuringAnOutageEndsTheProgramWithinSeconds) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    const std::string config = ConfigText(
        {{"VideoStyle", "0"}, {"ScreenWidth", "320"}, {"ScreenHeight", "240"}, {"HaveAudio", "0"}});
    // The line goes silent while broadcasting (the watchdog reconnects into the silence), or
    // before the start (which waits for a handshake that never comes).
    for (const bool broadcasting : {true, false}) {
        SCOPED_TRACE(broadcasting ? "broadcasting" : "starting");
        const std::string stream = broadcasting ? "outage" : "silent";
        rtmp::test::ThrottleProxy line(server.Port());
        ASSERT_TRUE(line.Start());
        const ProgramFolder folder(config, false);
        const auto program = folder.Copy(TUTORLANE_BROADCASTER_PROGRAM);
        const auto log = logs_ / (stream + ".txt");
        const auto out = logs_ / (stream + ".out");
        const std::string url =
            "rtmp://127.0.0.1:" + std::to_string(line.Port()) + "/live/" + stream + "&4714";
        rtmp::test::ChildProcess running;
        ASSERT_TRUE(running.Start(Command(program, log, LaunchUrl(url)), out));
        const auto found = RunProcess({"xdotool", "search", "--sync", "--onlyvisible", "--pid",
                                       std::to_string(running.Pid()), "--name", "Tutorlane"},
                                      60s);
        const std::string window = found.out.substr(0, found.out.find('\n'));
        ASSERT_FALSE(window.empty()) << found.err << ReadTextFile(out);
        if (!broadcasting)
            line.GoSilent();
        // "开始直播".
        ASSERT_TRUE(
            RunProcess({"xdotool", "mousemove", "--window", window, "118", "264", "click", "1"})
                .Succeeded());
        ASSERT_TRUE(WaitUntil([&] { return line.Accepted() >= 1; }, 30s));
        if (broadcasting) {
            // Pictures keep arriving at the server, then the line goes silent.
            const auto size = [&] { return Recorded(server, stream.c_str()); };
            ASSERT_TRUE(WaitUntil([&] { return size() > 1000; }, 30s));
            const auto first = size();
            ASSERT_TRUE(WaitUntil([&] { return size() > first; }, 30s));
            const int before = line.Accepted();
            line.GoSilent();
            ASSERT_TRUE(WaitUntil([&] { return line.Accepted() > before; }, 30s));
        }
        ASSERT_TRUE(AskWindowToClose(std::stoul(window)));
        EXPECT_EQ(running.Wait(3s), std::optional<int>(0)) << ReadTextFile(out);
        EXPECT_EQ(ReadTextFile(log), "直播结束!\n");
    }
}

}  // namespace
}  // namespace window_test
