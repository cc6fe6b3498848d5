// The built programs as the teacher starts them: a launch URL whose address has no '&', a
// read-only program folder, closing during an outage, and an instance lock or launch socket that
// isn't safely the user's (a second instance is in window_broadcast_test.cpp). Each program runs
// from a folder of its own with its config.ini, skin and classroom page, with the test's own
// settings, state and runtime folders, messages logged and closed by themselves.

#include <gmock/gmock.h>

#include <algorithm>

#include "app/platform/file_lock.h"
#include "app/single_instance.h"
#include "support/media_tools.h"
#include "support/throttle_proxy.h"
#include "support/tls_front.h"
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
        const std::string dir = session_.Path().string();
        std::vector<std::string> argv = {"env", "XDG_RUNTIME_DIR=" + dir, "XDG_DATA_HOME=" + dir};
        argv.insert(argv.end(), {"XDG_CONFIG_HOME=" + dir + "/config",
                                 "XDG_STATE_HOME=" + dir + "/state", "HOME=" + dir + "/home"});
        argv.insert(argv.end(),
                    {"TUTORLANE_MESSAGE_LOG=" + log.string(), "TUTORLANE_MESSAGE_AUTOCLOSE_MS=300",
                     program.string(), launchUrl});
        return argv;
    }

    // The id of the program's visible window; "" when none shows within a minute.
    static std::string WindowOf(rtmp::test::ChildProcess& program) {
        const auto found = RunProcess({"xdotool", "search", "--sync", "--onlyvisible", "--pid",
                                       std::to_string(program.Pid()), "--name", "Tutorlane"},
                                      60s);
        return found.out.substr(0, found.out.find('\n'));
    }

    TempDir session_{"tutorlane_program_session"};
    TempDir logs_{"tutorlane_program_logs"};
};

// A launch URL whose address has no '&': the parameters are wrong, the instance lock is free again,
// and the user's settings file (made from the folder's) holds that address. Then a read-only
// program folder (a read-only bind mount where a mount namespace can be made): the console
// publishes, the user's file keeps the new address, the folder stays as it was, and the local copy
// asked for in it is not made (the console says why). Then a copy that is made.
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
    // Read-only where a mount namespace can be made, and the local copy asked for in it: the
    // broadcast goes on without one. Either way nothing is added to the folder.
    const bool readOnly = RunProcess({"unshare", "-m", "true"}, 10s).Succeeded();
    if (readOnly)
        argv.insert(argv.begin(), {"unshare", "-m", "sh", "-c", remount, folder.Path().string()});
    argv.insert(argv.end() - 1, {"--local-copy", folder.Path().string()});
    if (!readOnly)
        argv.insert(argv.end() - 1, "--no-local-copy");
    const std::string files = RunProcess({"ls", "-A", folder.Path().string()}, 10s).out;
    const auto result = RunProcess(argv, 60s);
    EXPECT_TRUE(result.Succeeded()) << result.out << result.err;
    EXPECT_EQ((result.out + result.err).find("设置无法"), std::string::npos)
        << result.out << result.err;
    EXPECT_GT(Recorded(server, "readonly"), 1000u);
    // 15 pictures a second, each on the frame grid, decoded without a complaint.
    EXPECT_EQ(rtmp::test::DecodeErrors(server.RecordingPath("readonly")), "");
    EXPECT_EQ(rtmp::test::FrameGridFaults(server.RecordingPath("readonly"), 15), "");
    user.replace(user.find("\nAddress="), 10 + Shifted(wrongUrl).size(),
                 "\nAddress=" + Shifted(plain) + "\n");
    EXPECT_EQ(ReadTextFile(userFile), user);
    EXPECT_EQ(folder.ConfigNow(), ConfigText({{"Bitrate", "500"}}));
    EXPECT_EQ(RunProcess({"ls", "-A", folder.Path().string()}, 10s).out, files);
    const std::string noCopy =
        readOnly ? "\n没有本地录像: 文件夹不可写入 (" + (folder.Path() / "4713-").string()
                 : "\n本地录像: 已关闭\n";
    // At the start and at the end.
    const size_t ended = result.out.find("直播结束!");
    EXPECT_LT(result.out.find(noCopy), ended) << result.out;
    EXPECT_NE(result.out.find(noCopy, ended), std::string::npos) << result.out;

    // The local copy in the user's videos folder, as the desktop names it: its file printed at
    // the start and, with its size, at the end; the server's recording and the copy both play.
    // This lesson goes over RTMPS, to a server whose authority the command line names.
    std::filesystem::create_directories(session_ / "config");
    std::ofstream(session_ / "config" / "user-dirs.dirs") << "XDG_VIDEOS_DIR=\"$HOME/Filme\"\n";
    rtmp::test::TlsFront front;
    ASSERT_TRUE(front.Start(server.Port())) << front.Error();
    // In English, as a user whose desktop is English reads it.
    std::vector<std::string> copied = Command(console, logs_ / "copied.txt", "--seconds");
    copied.insert(copied.begin() + 1, {"LANG=en_US.UTF-8", "LANGUAGE=en"});
    copied.insert(copied.end(),
                  {"2", "--ca-file", front.Certificates().caFile.string(),
                   LaunchUrl(front.Url(rtmp::test::CertKind::kGood, "localhost", "live", "copied") +
                             "&4714")});
    const auto run = RunProcess(copied, 60s);
    EXPECT_TRUE(run.Succeeded()) << run.out << run.err;
    const std::filesystem::path videos = session_.Path() / "home" / "Filme" / "Tutorlane";
    const std::vector<std::filesystem::path> made(std::filesystem::directory_iterator(videos), {});
    ASSERT_EQ(made.size(), 1u) << run.out;
    EXPECT_THAT(made[0].filename().string(),
                testing::MatchesRegex("4714-20[0-9]{6}-[0-9]{6}\\.mp4"));
    const std::string start = "\nLocal recording: " + made[0].string() + "\n";
    const std::string end = "Broadcast ended!\nLocal recording: " + made[0].string() + " (0.";
    EXPECT_NE(run.out.find(start), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(end), std::string::npos) << run.out;
    EXPECT_TRUE(run.out.ends_with(" MB, saved)\n")) << run.out;
    EXPECT_FALSE(QString::fromStdString(run.out).contains(kChinese)) << run.out;
    EXPECT_EQ(rtmp::test::DecodeErrors(made[0]), "");
    EXPECT_EQ(rtmp::test::FrameGridFaults(made[0], 15), "");
    EXPECT_GT(Recorded(server, "copied"), 1000u);
}

// An instance lock that isn't safely the user's (a link, a folder, another user's file, also in
// /tmp without a runtime folder) is told before any setting is read. With the lock held, a launch
// socket that is a plain file, another user's or stale: the URL did not reach the window. At last a
// window takes over its own stale socket and the URL of a second start.
TEST_F(ProgramRun, AnUnsafeLockOrSocketIsToldAndNeverMakesASecondWindow) {
    namespace fs = std::filesystem;
    const bool root = geteuid() == 0;
    const fs::path lock = session_ / (std::string(app::kInstanceMutexName) + ".lock");
    const fs::path socket = session_ / (std::string(app::kInstanceMutexName) + ".sock");
    const fs::path userFile = session_.Path() / "config" / "tutorlane" / "config.ini";
    const auto plant = [root](const fs::path& path, const std::string& kind) {
        if (kind == "link") {
            fs::create_symlink(path.string() + ".target", path);
        } else if (kind == "folder") {
            fs::create_directory(path);
        } else if (kind == "file" || kind == "foreign") {
            std::ofstream(path) << "planted";
        } else {  // a socket nobody listens on
            ASSERT_TRUE(
                RunProcess({"python3", "-c",
                            "import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])",
                            path.string()})
                    .Succeeded());
        }
        if (kind.starts_with("foreign")) {
            ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        }
    };
    // The program with a launch URL whose address is wrong: had it run as a window, it would have
    // said so and stored the address.
    // With ownTmp, in a mount namespace whose /tmp is tmp and without a runtime folder; the log is
    // in tmp then.
    const fs::path tmp = session_ / "tmp";
    const auto second = [&](const fs::path& log, bool ownTmp = false) {
        std::vector<std::string> argv =
            Command(TUTORLANE_BROADCASTER_PROGRAM, ownTmp ? "/tmp" / log.filename() : log,
                    LaunchUrl("rtmp://127.0.0.1:1/live/lesson"));
        if (ownTmp) {
            std::erase_if(argv, [](const std::string& a) { return a.starts_with("XDG_RUNTIME"); });
            argv.insert(argv.begin() + 1, {"-u", "XDG_RUNTIME_DIR"});  // after "env"
            // A build tree under /tmp itself (a checkout there) stays in sight of the program.
            const std::string program = TUTORLANE_BROADCASTER_PROGRAM;
            const std::string top =
                program.starts_with("/tmp/") ? program.substr(0, program.find('/', 5)) : "";
            argv.insert(argv.begin(),
                        {"unshare", "-m", "sh", "-c",
                         "t=$1; shift; if [ -n \"$t\" ]; then mkdir -p \"$0${t#/tmp}\" && "
                         "mount --bind \"$t\" \"$0${t#/tmp}\"; fi; "
                         "mount --rbind \"$0\" /tmp && exec \"$@\"",
                         tmp.string(), top});
        }
        const auto result = RunProcess(argv, 60s);
        EXPECT_TRUE(result.Succeeded()) << result.err;
        EXPECT_FALSE(fs::exists(userFile));
        return ReadTextFile(log);
    };
    // A message as the log has it: on one line.
    const auto logged = [](std::string text) {
        std::replace(text.begin(), text.end(), '\n', ' ');
        return text + "\n";
    };
    for (const std::string kind : {"link", "folder", "foreign"}) {
        SCOPED_TRACE(kind);
        if (kind == "foreign" && !root)
            continue;  // only root gives a file away
        plant(lock, kind);
        const std::string why = kind == "link"     ? "a link, not a file"
                                : kind == "folder" ? "Is a directory"
                                                   : "not a file of this user";
        EXPECT_EQ(second(logs_ / kind),
                  logged(app::UnknownInstanceMessage(lock.string() + ": " + why)));
        EXPECT_FALSE(fs::exists(lock.string() + ".target"));
        fs::remove(lock);
    }
    // No runtime folder: the lock in /tmp, named with the user id.
    fs::create_directory(tmp);
    const std::string tmpLock =
        std::string(app::kInstanceMutexName) + "-" + std::to_string(geteuid()) + ".lock";
    if (root && RunProcess({"unshare", "-m", "true"}, 10s).Succeeded()) {
        plant(tmp / tmpLock, "foreign");
        EXPECT_EQ(
            second(tmp / "said.txt", true),
            logged(app::UnknownInstanceMessage("/tmp/" + tmpLock + ": not a file of this user")));
    }

    auto held = std::make_unique<app::platform::FileLock>(lock.string());
    ASSERT_TRUE(held->Held()) << held->Error();
    for (const std::string kind : {"file", "foreign-socket", "socket"}) {
        SCOPED_TRACE(kind);
        if (kind == "foreign-socket" && !root)
            continue;
        plant(socket, kind);
        const std::string why = kind == "file"             ? ": not a socket"
                                : kind == "foreign-socket" ? ": another user's socket"
                                                           : ": ";
        std::string start = logged(app::NotForwardedMessage(socket.string() + why));
        start.pop_back();  // for a socket nobody listens on, the system's reason follows
        const std::string said = second(logs_ / kind);
        EXPECT_EQ(said.rfind(start, 0), 0u) << said;
        if (kind != "socket")
            fs::remove(socket);
    }

    // The stale socket is this user's: a window takes its name, and a later start's URL.
    held.reset();
    const ProgramFolder folder(ConfigText({}), false);
    const auto program = folder.Copy(TUTORLANE_BROADCASTER_PROGRAM);
    const auto firstLog = logs_ / "first.txt";
    rtmp::test::ChildProcess first;
    ASSERT_TRUE(first.Start(Command(program, firstLog, LaunchUrl("rtmp://127.0.0.1:1/live/a&4715")),
                            logs_ / "first.out"));
    const std::string window = WindowOf(first);
    ASSERT_FALSE(window.empty()) << ReadTextFile(logs_ / "first.out");
    const auto log = logs_ / "forwarded.txt";
    EXPECT_TRUE(
        RunProcess(Command(program, log, LaunchUrl("rtmp://127.0.0.1:1/live/b&4716"))).Succeeded());
    EXPECT_EQ(ReadTextFile(log), logged(app::RunningMessage()));
    // The window asks whether to switch to the other classroom (and the box closes as "no").
    EXPECT_TRUE(
        WaitUntil([&] { return ReadTextFile(firstLog).find("4716") != std::string::npos; }, 30s))
        << ReadTextFile(firstLog);
    // Qt drops a close asked for while a modal box is up (the question closes 300 ms after it
    // was logged, later on a busy machine): asked again every two seconds.
    std::optional<int> ended;
    for (int i = 0; i < 5 && !ended; ++i) {
        ASSERT_TRUE(AskWindowToClose(std::stoul(window)));
        ended = first.Wait(2s);
    }
    EXPECT_EQ(ended, std::optional<int>(0)) << ReadTextFile(logs_ / "first.out");
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
        const std::string window = WindowOf(running);
        ASSERT_FALSE(window.empty()) << ReadTextFile(out);
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
