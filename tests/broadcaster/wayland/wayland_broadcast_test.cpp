// The console program broadcasting a headless Wayland desktop (wayland_desktop.sh: sway showing a
// known background colour and a running clock, PipeWire, the screen-cast portal) to a private
// nginx-rtmp: the recording has the desktop's size and shows its pictures the right way up, and
// the desktop asks which screen to share only once, because the second broadcast hands back the
// restore token the first one kept in the settings.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/ini_file.h"
#include "app/launch_kit.h"
#include "support/child_process.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"
#include "wayland/wayland_desktop.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using rtmp::test::ChildProcess;
using rtmp::test::ReadTextFile;
using rtmp::test::RunProcess;
using rtmp::test::TempDir;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr std::array<int, 3> kBackground{0x20, 0x80, 0xc0};  // RGB of the desktop's colour
// The clock's window: floating at the top-left corner, 480 x 120.
constexpr int kClockWidth = 480;
constexpr int kClockHeight = 120;

size_t LineCount(const fs::path& path) {
    std::ifstream in(path);
    size_t n = 0;
    for (std::string line; std::getline(in, line);)
        ++n;
    return n;
}

class WaylandBroadcastTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        desktop_ = std::make_unique<capture::test::WaylandDesktop>();
        ASSERT_TRUE(desktop_->Start("1280x720", "#2080c0")) << desktop_->Error();
    }

    static void TearDownTestSuite() { desktop_.reset(); }

    void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.Error(); }

    // The shipped settings, publishing `stream` to the test server without sound.
    fs::path WriteConfig(const std::string& stream, const std::string& screenCapture) {
        const fs::path config = dir_ / "config.ini";
        fs::copy_file(TUTORLANE_APP_SOURCE_DIR "/config.ini", config,
                      fs::copy_options::overwrite_existing);
        const app::IniFile ini(config.string());
        ini.WriteString("Device", "Address",
                        app::test::Shifted(server_.Url("encoder/qkz", stream) + "&4242"));
        ini.WriteString("Device", "HaveAudio", "0");
        ini.WriteString("Device", "VideoStyle", "0");
        ini.WriteString("Device", "ScreenCapture", screenCapture);
        return config;
    }

    static rtmp::test::ProcessResult Broadcast(const fs::path& config, int seconds,
                                               std::vector<std::string> envPrefix = {}) {
        std::vector<std::string> argv = std::move(envPrefix);
        for (const std::string& a :
             {std::string(TUTORLANE_CONSOLE_PROGRAM), std::string("--config"), config.string(),
              std::string("--seconds"), std::to_string(seconds)})
            argv.push_back(a);
        return RunProcess(argv, 120s);
    }

    // The last picture of a recording, RGB, rows top-down.
    std::vector<uint8_t> LastPicture(const fs::path& file) {
        const fs::path raw = dir_ / "last.rgb";
        const auto r =
            RunProcess({"ffmpeg", "-v", "error", "-y", "-sseof", "-0.5", "-i", file.string(),
                        "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", raw.string()},
                       60s);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::ifstream in(raw, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Share of background-coloured pixels in a rectangle (sampled every 8 pixels).
    static double BackgroundShare(const std::vector<uint8_t>& rgb, int x0, int y0, int x1, int y1) {
        int all = 0;
        int matching = 0;
        for (int y = y0; y < y1; y += 8) {
            for (int x = x0; x < x1; x += 8) {
                const size_t at = (static_cast<size_t>(y) * kWidth + static_cast<size_t>(x)) * 3;
                bool near = true;
                for (size_t i = 0; i < 3; ++i)
                    near &= std::abs(static_cast<int>(rgb[at + i]) - kBackground[i]) <= 24;
                ++all;
                matching += near ? 1 : 0;
            }
        }
        return all > 0 ? static_cast<double>(matching) / all : 0.0;
    }

    void ExpectDesktopRecording(const fs::path& file) {
        const auto probe = rtmp::test::Probe(file);
        ASSERT_TRUE(probe.ok) << probe.error;
        ASSERT_NE(probe.Video(), nullptr);
        EXPECT_EQ(probe.Video()->codecName, "h264");
        EXPECT_EQ(probe.Video()->width, kWidth);
        EXPECT_EQ(probe.Video()->height, kHeight);
        EXPECT_GT(probe.Video()->frames, 15);
        EXPECT_EQ(rtmp::test::DecodeErrors(file), "");
        const std::vector<uint8_t> rgb = LastPicture(file);
        ASSERT_EQ(rgb.size(), static_cast<size_t>(kWidth * kHeight * 3));
        // The desktop's colour everywhere but under the clock, which sits at the top-left: a
        // picture upside down or mirrored puts the clock elsewhere.
        EXPECT_GT(BackgroundShare(rgb, kClockWidth, 0, kWidth, kHeight), 0.99);
        EXPECT_GT(BackgroundShare(rgb, 0, kClockHeight + 40, kClockWidth, kHeight), 0.99);
        EXPECT_LT(BackgroundShare(rgb, 0, 0, kClockWidth, kClockHeight), 0.5);
    }

    static std::unique_ptr<capture::test::WaylandDesktop> desktop_;
    TempDir dir_{"wayland-broadcast"};
    rtmp::test::NginxRtmpServer server_;
};

std::unique_ptr<capture::test::WaylandDesktop> WaylandBroadcastTest::desktop_;

// The second broadcast hands back the token the first kept: nobody is asked again. Then the
// desktop stops sharing mid-lesson (its PipeWire node goes away, as when the teacher presses
// "stop sharing"): the console says so, and the broadcast goes on with the last picture.
TEST_F(WaylandBroadcastTest, BroadcastsTheDesktopAsksOnceAndKeepsTheLastPictureWhenSharingEnds) {
    const fs::path chooserLog = desktop_->Dir() / "chooser.log";
    const size_t askedBefore = LineCount(chooserLog);
    const fs::path config = WriteConfig("first", "auto");

    const auto first = Broadcast(config, 3);
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    EXPECT_EQ(LineCount(chooserLog), askedBefore + 1);
    const app::IniFile ini(config.string());
    EXPECT_FALSE(ini.GetString("Device", "ScreenCaptureToken", "", 255).empty())
        << ReadTextFile(config);
    ExpectDesktopRecording(server_.RecordingPath("first"));

    ini.WriteString("Device", "Address",
                    app::test::Shifted(server_.Url("encoder/qkz", "second") + "&4242"));
    ChildProcess console;
    const fs::path log = dir_ / "console.log";
    ASSERT_TRUE(console.Start(
        {TUTORLANE_CONSOLE_PROGRAM, "--config", config.string(), "--seconds", "5"}, log));
    const auto waitForLog = [&](const std::string& text) {
        const auto logged = [&] { return ReadTextFile(log).find(text) != std::string::npos; };
        return rtmp::test::WaitUntil([&] { return logged() || !console.Running(); }, 60s) &&
               logged();
    };
    ASSERT_TRUE(waitForLog("frames ")) << ReadTextFile(log);
    // The shared node of the portal backend.
    const auto nodes = RunProcess({"pw-cli", "ls", "Node"}, 30s);
    std::istringstream in(nodes.out);
    std::string id;
    std::string shared;
    for (std::string line; std::getline(in, line);) {
        if (line.find("\tid ") == 0)
            id = line.substr(4, line.find(',') - 4);
        if (line.find("node.name = \"xdg-desktop-portal-wlr\"") != std::string::npos)
            shared = id;
    }
    ASSERT_FALSE(shared.empty()) << nodes.out;
    ASSERT_TRUE(RunProcess({"pw-cli", "destroy", shared}, 30s).Succeeded());
    ASSERT_TRUE(waitForLog("Screen sharing ended")) << ReadTextFile(log);
    // The frame count of the last status line in `text`.
    const auto framesIn = [](const std::string& text) {
        const size_t at = text.rfind("frames ");
        return at == std::string::npos ? 0UL : std::stoul(text.substr(at + 7));
    };
    const std::string untilEnd = ReadTextFile(log);
    const unsigned long endedAt = framesIn(untilEnd.substr(0, untilEnd.find("Screen sharing")));
    ASSERT_EQ(console.Wait(60s), 0) << ReadTextFile(log);
    EXPECT_EQ(LineCount(chooserLog), askedBefore + 1);
    EXPECT_FALSE(ini.GetString("Device", "ScreenCaptureToken", "", 255).empty());
    // Frames went on after the end, and reached the recording.
    EXPECT_GT(framesIn(ReadTextFile(log)), endedAt) << ReadTextFile(log);
    const auto probe = rtmp::test::Probe(server_.RecordingPath("second"));
    ASSERT_TRUE(probe.ok) << probe.error;
    ASSERT_NE(probe.Video(), nullptr);
    EXPECT_GT(static_cast<unsigned long>(probe.Video()->frames), endedAt);
    ExpectDesktopRecording(server_.RecordingPath("second"));
}

// Without a portal to ask, a broadcast that shows the screen does not start: the console says
// why and fails, and nothing is published.
TEST_F(WaylandBroadcastTest, NoPortalMeansNoBroadcast) {
    const fs::path config = WriteConfig("refused", "portal");
    const auto r =
        Broadcast(config, 3, {"env", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.out.find("Cannot share the screen"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.err.find("cannot connect and publish"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(server_.RecordingPath("refused")));
}

}  // namespace
