// The console program broadcasting a headless Wayland desktop (wayland_desktop.sh: sway showing a
// known background colour and a running clock, PipeWire, the screen-cast portal) to a private
// nginx-rtmp: the recording has the desktop's size and shows its pictures the right way up, and
// the desktop asks which screen to share only once, because the second broadcast hands back the
// restore token the first one kept in the settings.

#include <algorithm>
#include <array>
#include <vector>

#include "app/ini_file.h"
#include "app/launch_kit.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"
#include "wayland/wayland_desktop.h"

namespace capture::test {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr std::array<int, 3> kBackground{0x20, 0x80, 0xc0};  // RGB of the desktop's colour
// The clock's window: floating at the top-left corner, 480 x 120.
constexpr int kClockWidth = 480;
constexpr int kClockHeight = 120;

// Share of background-coloured pixels in a rectangle of a picture (RGB, rows top-down), sampled
// every 8 pixels.
double BackgroundShare(const std::string& rgb, int x0, int y0, int x1, int y1) {
    int all = 0;
    int matching = 0;
    for (int y = y0; y < y1; y += 8) {
        for (int x = x0; x < x1; x += 8, ++all) {
            const auto pixel =
                std::string_view(rgb).substr((static_cast<size_t>(y) * kWidth + x) * 3, 3);
            matching += std::ranges::equal(pixel, kBackground, [](uint8_t got, int want) {
                return std::abs(got - want) <= 24;
            });
        }
    }
    return static_cast<double>(matching) / all;
}

void ExpectDesktopRecording(const fs::path& file, long minFrames = 15) {
    const auto probe = rtmp::test::Probe(file);
    ASSERT_NE(probe.Video(), nullptr) << probe.error;
    EXPECT_EQ(std::tuple(probe.Video()->codecName, probe.Video()->width, probe.Video()->height),
              std::tuple("h264", kWidth, kHeight));
    EXPECT_GT(probe.Video()->frames, minFrames);
    EXPECT_EQ(rtmp::test::DecodeErrors(file), "");
    // The last picture: the desktop's colour everywhere but under the clock, which sits at the
    // top-left; a picture upside down or mirrored puts the clock elsewhere.
    const auto last = RunProcess({"ffmpeg", "-v", "error", "-sseof", "-0.5", "-i", file.string(),
                                  "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"},
                                 60s);
    ASSERT_EQ(last.out.size(), static_cast<size_t>(kWidth * kHeight * 3)) << last.err;
    EXPECT_GT(BackgroundShare(last.out, kClockWidth, 0, kWidth, kHeight), 0.99);
    EXPECT_GT(BackgroundShare(last.out, 0, kClockHeight + 40, kClockWidth, kHeight), 0.99);
    EXPECT_LT(BackgroundShare(last.out, 0, 0, kClockWidth, kClockHeight), 0.5);
}

using WaylandBroadcastTest = WaylandDesktopTest;

// Without a portal to ask, a broadcast that shows the screen does not start: the console says
// why and fails, and nothing is published. With it, the second broadcast hands back the token
// the first kept: nobody is asked again. Then the desktop stops sharing mid-lesson (its PipeWire
// node goes away, as when the teacher presses "stop sharing"): the console says so, and the
// broadcast goes on with the last picture.
TEST_F(WaylandBroadcastTest, BroadcastsTheDesktopAsksOnceAndKeepsTheLastPictureWhenSharingEnds) {
    rtmp::test::NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    rtmp::test::TempDir dir("wayland-broadcast");
    const fs::path config = dir / "config.ini";
    fs::copy_file(TUTORLANE_APP_SOURCE_DIR "/config.ini", config);
    const app::IniFile ini(config.string());
    const auto publishTo = [&](const char* stream) {
        ini.WriteString("Device", "Address",
                        app::test::Shifted(server.Url("encoder/qkz", stream) + "&4242"));
    };
    ini.WriteString("Device", "HaveAudio", "0");
    ini.WriteString("Device", "VideoStyle", "0");
    ini.WriteString("Device", "ScreenCapture", "portal");
    publishTo("refused");
    const auto refused =
        RunProcess({"env", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus",
                    TUTORLANE_CONSOLE_PROGRAM, "--config", config.string(), "--seconds", "3"},
                   120s);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.out.find("Cannot share the screen"), std::string::npos)
        << refused.out << refused.err;
    EXPECT_EQ(refused.err.find("cannot connect and publish"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(server.RecordingPath("refused")));

    const auto asked = [&] {
        return std::ranges::count(ReadTextFile(Dir() / "chooser.log"), '\n');
    };
    const auto askedBefore = asked();
    ini.WriteString("Device", "ScreenCapture", "auto");
    publishTo("first");
    const auto first = RunProcess(
        {TUTORLANE_CONSOLE_PROGRAM, "--config", config.string(), "--seconds", "3"}, 120s);
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    EXPECT_EQ(asked(), askedBefore + 1);
    EXPECT_FALSE(ini.GetString("Device", "ScreenCaptureToken", "", 255).empty())
        << ReadTextFile(config);
    ExpectDesktopRecording(server.RecordingPath("first"));

    publishTo("second");
    rtmp::test::ChildProcess console;
    const fs::path log = dir / "console.log";
    ASSERT_TRUE(console.Start(
        {TUTORLANE_CONSOLE_PROGRAM, "--config", config.string(), "--seconds", "5"}, log));
    const auto waitForLog = [&](const std::string& text) {
        const auto logged = [&] { return ReadTextFile(log).find(text) != std::string::npos; };
        return WaitUntil([&] { return logged() || !console.Running(); }, 60s) && logged();
    };
    ASSERT_TRUE(waitForLog("frames ")) << ReadTextFile(log);
    // The shared node of the portal backend: the id listed last before its name.
    const std::string nodes = RunProcess({"pw-cli", "ls", "Node"}, 30s).out;
    const size_t name = nodes.find("node.name = \"xdg-desktop-portal-wlr\"");
    ASSERT_NE(name, std::string::npos) << nodes;
    const long shared = std::stol(nodes.substr(nodes.rfind("\tid ", name) + 4));
    ASSERT_TRUE(RunProcess({"pw-cli", "destroy", std::to_string(shared)}, 30s).Succeeded());
    ASSERT_TRUE(waitForLog("Screen sharing ended")) << ReadTextFile(log);
    // The frame count of the last status line in `text`.
    const auto framesIn = [](const std::string& text) {
        const size_t at = text.rfind("frames ");
        return at == std::string::npos ? 0L : std::stol(text.substr(at + 7));
    };
    const std::string untilEnd = ReadTextFile(log);
    const long endedAt = framesIn(untilEnd.substr(0, untilEnd.find("Screen sharing")));
    ASSERT_EQ(console.Wait(60s), 0) << ReadTextFile(log);
    EXPECT_EQ(asked(), askedBefore + 1);
    EXPECT_FALSE(ini.GetString("Device", "ScreenCaptureToken", "", 255).empty());
    // Frames went on after the end, and reached the recording.
    EXPECT_GT(framesIn(ReadTextFile(log)), endedAt) << ReadTextFile(log);
    ExpectDesktopRecording(server.RecordingPath("second"), std::max(endedAt, 15L));
}

}  // namespace
}  // namespace capture::test
