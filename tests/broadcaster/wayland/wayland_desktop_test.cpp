// Tests on the headless Wayland desktop of wayland_desktop.sh: the shared screen's stream against
// a PipeWire producer of the test's own (both byte orders, the pointer with and without a picture,
// the producer's end), and the console broadcasting the desktop to a private nginx-rtmp (size,
// orientation, and one screen question thanks to the kept restore token).
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/ini_file.h"
#include "app/launch_kit.h"
#include "capture/shared_screen_frame.h"
#include "capture/shared_screen_stream.h"
#include "support/child_process.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"

namespace capture::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using rtmp::test::ReadTextFile;
using rtmp::test::RunProcess;
using rtmp::test::WaitUntil;

// The headless Wayland desktop of wayland_desktop.sh (1280 x 720, background #2080c0) as a
// fixture for a test suite: started in a temp folder before the suite's first test, ready when
// the script says so, and ended (with everything it started) after its last.
class WaylandDesktopTest : public testing::Test {
  protected:
    // Starts the desktop and points this process at it (its session bus, runtime folder and
    // Wayland display; no X display), so that what the test starts is a client of it.
    static void SetUpTestSuite() {
        dir_ = std::make_unique<rtmp::test::TempDir>("wayland-desktop");
        script_ = std::make_unique<rtmp::test::ChildProcess>();
        ASSERT_TRUE(script_->Start(
            {"bash", TUTORLANE_WAYLAND_DESKTOP, Dir().string(), "1280x720", "#2080c0"},
            Dir() / "desktop.log"));
        // The first start on a machine may also build the portal backend (seconds).
        const auto ready = Dir() / "ready";
        ASSERT_TRUE(WaitUntil([&] { return fs::exists(ready) || !script_->Running(); }, 300s));
        ASSERT_TRUE(fs::exists(ready)) << "the desktop did not come up:\n"
                                       << ReadTextFile(Dir() / "desktop.log");
        std::istringstream env(ReadTextFile(Dir() / "env"));
        for (std::string line; std::getline(env, line);) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos)
                setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
        }
        unsetenv("DISPLAY");
    }
    static void TearDownTestSuite() {
        script_->Stop(SIGTERM, 20s);
        dir_.reset();
    }
    static const fs::path& Dir() { return dir_->Path(); }

  private:
    static inline std::unique_ptr<rtmp::test::TempDir> dir_;
    static inline std::unique_ptr<rtmp::test::ChildProcess> script_;
};

// The test source's pictures.
constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kStride = kWidth * 4 + 16;  // padded rows

// A screen of one colour with a pointer, offered as a video source that sends a buffer each
// time Push is called (it drives its own graph). The buffers and their pointer metadata are the
// ones the stream under test asks for.
class TestScreenSource {
  public:
    explicit TestScreenSource(spa_video_format format) : format_(format) {}
    ~TestScreenSource() { Stop(); }
    TestScreenSource(const TestScreenSource&) = delete;
    TestScreenSource& operator=(const TestScreenSource&) = delete;

    // The node id once the source is ready; 0 when it did not start.
    uint32_t Start() {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("test-screen-source", nullptr);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        static const pw_stream_events events = {
            .version = PW_VERSION_STREAM_EVENTS,
            .state_changed =
                [](void* data, pw_stream_state, pw_stream_state, const char*) {
                    pw_thread_loop_signal(static_cast<TestScreenSource*>(data)->loop_, false);
                },
            .param_changed =
                [](void* data, uint32_t id, const spa_pod* param) {
                    static_cast<TestScreenSource*>(data)->OnParam(id, param);
                },
            .process = [](void* data) { static_cast<TestScreenSource*>(data)->OnProcess(); }};
        stream_ = pw_stream_new_simple(
            pw_thread_loop_get_loop(loop_), "test screen",
            pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr), &events, this);
        uint8_t buffer[512];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_rectangle size{kWidth, kHeight};
        const spa_fraction rate{30, 1};
        const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format_),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
            SPA_POD_Fraction(&rate)))};
        pw_stream_connect(
            stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (pw_stream_get_node_id(stream_) == PW_ID_ANY &&
               std::chrono::steady_clock::now() < deadline)
            pw_thread_loop_timed_wait(loop_, 1);
        const uint32_t node = pw_stream_get_node_id(stream_);
        pw_thread_loop_unlock(loop_);
        return node == PW_ID_ANY ? 0 : node;
    }

    // Sends one buffer: the picture and the pointer, or only the pointer.
    void Push(int pointerX, int pointerY, bool withPicture) {
        pointerX_ = pointerX;
        pointerY_ = pointerY;
        withPicture_ = withPicture;
        pw_thread_loop_lock(loop_);
        pw_stream_trigger_process(stream_);
        pw_thread_loop_unlock(loop_);
    }

    void Stop() {
        if (loop_ == nullptr)
            return;
        pw_thread_loop_stop(loop_);
        pw_stream_destroy(stream_);
        pw_thread_loop_destroy(loop_);
        loop_ = nullptr;
    }

    // Every pixel of the pictures sent from now on: these four bytes (as a little-endian word),
    // rows padded with 0x77.
    void SetPixel(uint32_t pixel) { pixel_ = pixel; }
    std::vector<uint8_t> Picture() const {
        std::vector<uint8_t> bytes(static_cast<size_t>(kStride * kHeight), 0x77);
        const uint32_t pixel = pixel_;
        for (int i = 0; i < kWidth * kHeight; ++i)
            std::memcpy(&bytes[static_cast<size_t>(i / kWidth * kStride + i % kWidth * 4)], &pixel,
                        4);
        return bytes;
    }

    // What the stream should make of the picture with the arrow at (x, y), or without it.
    std::vector<uint8_t> Expected(std::optional<SharedPointer> arrow) const {
        const std::vector<uint8_t> picture = Picture();
        const SharedPixelOrder order =
            format_ == SPA_VIDEO_FORMAT_RGBx ? SharedPixelOrder::kRgbx : SharedPixelOrder::kBgrx;
        std::vector<uint8_t> out(kWidth * kHeight * 3);
        EXPECT_TRUE(ConvertSharedScreenFrame(
            {picture.data(), picture.size(), kWidth, kHeight, kStride, order, arrow}, out.data(),
            kWidth, kHeight));
        return out;
    }

  private:
    void OnParam(uint32_t id, const spa_pod* param) {
        if (param == nullptr || id != SPA_PARAM_Format)
            return;
        uint8_t buffer[512];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const int cursorMeta =
            static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + 64 * 64 * 4);
        const spa_pod* params[] = {
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
                SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
                SPA_PARAM_BUFFERS_size, SPA_POD_Int(kStride * kHeight), SPA_PARAM_BUFFERS_stride,
                SPA_POD_Int(kStride), SPA_PARAM_BUFFERS_dataType,
                SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
                SPA_POD_CHOICE_RANGE_Int(cursorMeta, static_cast<int>(sizeof(spa_meta_cursor)),
                                         cursorMeta)))};
        pw_stream_update_params(stream_, params, 2);
    }

    void OnProcess() {
        pw_buffer* b = pw_stream_dequeue_buffer(stream_);
        if (b == nullptr)
            return;
        spa_data& d = b->buffer->datas[0];
        const std::vector<uint8_t> picture = Picture();
        if (withPicture_ && d.data != nullptr && d.maxsize >= picture.size()) {
            std::memcpy(d.data, picture.data(), picture.size());
            *d.chunk = spa_chunk{0, static_cast<uint32_t>(picture.size()), kStride, 0};
        } else {
            d.chunk->size = 0;  // only the pointer moved
        }
        if (auto* cursor = static_cast<spa_meta_cursor*>(
                spa_buffer_find_meta_data(b->buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)))) {
            *cursor = spa_meta_cursor{};  // no bitmap, the hot spot at the tip
            cursor->id = 1;
            cursor->position = spa_point{pointerX_, pointerY_};
        }
        pw_stream_queue_buffer(stream_, b);
    }

    spa_video_format format_;
    std::atomic<uint32_t> pixel_{0xFFE09030};
    std::atomic<int> pointerX_{0};
    std::atomic<int> pointerY_{0};
    std::atomic<bool> withPicture_{true};
    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
};

// A fresh connection to the desktop's PipeWire, as the portal hands one out (the stream takes
// the socket over, also when it failed to connect).
int ConnectToPipeWire() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/pipewire-0",
                  std::getenv("XDG_RUNTIME_DIR"));  // set by the desktop fixture
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    return fd;
}

// Sends until the stream's picture is `expected` (the link may take a moment to come up, and
// buffers sent before may still be on their way).
bool PushUntil(TestScreenSource& source, SharedScreenStream& stream, int x, int y, bool withPicture,
               const std::vector<uint8_t>& expected, std::vector<uint8_t>& frame) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        source.Push(x, y, withPicture);
        for (int i = 0; i < 10; ++i) {
            if (stream.TakeNewPicture(frame.data(), kWidth, kHeight) && frame == expected)
                return true;
            std::this_thread::sleep_for(10ms);
        }
    }
    return false;
}

// BGRx and BGRA with the pointer's position beside the pictures, RGBx with the pointer drawn
// into them.
TEST_F(WaylandDesktopTest, SharedScreenStreamPicturesPointerAndEnd) {
    for (const spa_video_format format :
         {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_BGRA}) {
        SCOPED_TRACE(format);
        const bool pointerAsMetadata = format != SPA_VIDEO_FORMAT_RGBx;
        TestScreenSource source(format);
        const uint32_t node = source.Start();
        ASSERT_NE(node, 0U);
        SharedScreenStream stream;
        ASSERT_TRUE(stream.Start(ConnectToPipeWire(), node, pointerAsMetadata)) << stream.Detail();

        // The arrow where the stream should draw it.
        const auto arrow = [&](int x, int y) {
            return pointerAsMetadata ? std::optional(SharedPointer{x, y}) : std::nullopt;
        };
        std::vector<uint8_t> frame(kWidth * kHeight * 3, 0);
        ASSERT_TRUE(PushUntil(source, stream, 10, 5, true, source.Expected(arrow(10, 5)), frame));
        // A new picture replaces the last.
        source.SetPixel(0xFF302010);
        ASSERT_TRUE(PushUntil(source, stream, 10, 5, true, source.Expected(arrow(10, 5)), frame));
        if (pointerAsMetadata) {
            // The pointer moves over a screen that stands still: buffers without a picture.
            ASSERT_TRUE(
                PushUntil(source, stream, 30, 20, false, source.Expected(arrow(30, 20)), frame));
            // Every buffer sent has arrived (they arrive in order); the repeats of the last one
            // changed nothing, so there is nothing new and the frame stays.
            const std::vector<uint8_t> kept = frame;
            EXPECT_FALSE(stream.TakeNewPicture(frame.data(), kWidth, kHeight));
            EXPECT_EQ(frame, kept);
        }
        EXPECT_FALSE(stream.Ended());

        source.Stop();  // the desktop stops sharing
        EXPECT_TRUE(WaitUntil([&] { return stream.Ended(); }, 20s));
        const std::vector<uint8_t> last = frame;
        EXPECT_FALSE(stream.TakeNewPicture(frame.data(), kWidth, kHeight));
        EXPECT_EQ(frame, last);
        stream.Stop();
    }
}

constexpr int kDesktopWidth = 1280;
constexpr int kDesktopHeight = 720;
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
                std::string_view(rgb).substr((static_cast<size_t>(y) * kDesktopWidth + x) * 3, 3);
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
              std::tuple("h264", kDesktopWidth, kDesktopHeight));
    EXPECT_GT(probe.Video()->frames, minFrames);
    EXPECT_EQ(rtmp::test::DecodeErrors(file), "");
    EXPECT_EQ(rtmp::test::FrameGridFaults(file, 15), "");  // the settings' 15 a second
    // The last picture: the desktop's colour everywhere but under the clock, which sits at the
    // top-left; a picture upside down or mirrored puts the clock elsewhere.
    const auto last = RunProcess({"ffmpeg", "-v", "error", "-sseof", "-0.5", "-i", file.string(),
                                  "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"},
                                 60s);
    ASSERT_EQ(last.out.size(), static_cast<size_t>(kDesktopWidth * kDesktopHeight * 3)) << last.err;
    EXPECT_GT(BackgroundShare(last.out, kClockWidth, 0, kDesktopWidth, kDesktopHeight), 0.99);
    EXPECT_GT(BackgroundShare(last.out, 0, kClockHeight + 40, kClockWidth, kDesktopHeight), 0.99);
    EXPECT_LT(BackgroundShare(last.out, 0, 0, kClockWidth, kClockHeight), 0.5);
}

// Without a portal to ask, a broadcast that shows the screen does not start: the console says
// why and fails, and nothing is published. With it, the second broadcast hands back the token
// the first kept: nobody is asked again. Then the desktop stops sharing mid-lesson (its PipeWire
// node goes away, as when the teacher presses "stop sharing"): the console says so, and the
// broadcast goes on with the last picture.
TEST_F(WaylandDesktopTest, BroadcastsTheDesktopAsksOnceAndKeepsTheLastPictureWhenSharingEnds) {
    rtmp::test::NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    rtmp::test::TempDir dir("wayland-broadcast");
    const fs::path config = dir / "config.ini";
    fs::copy_file(TUTORLANE_APP_SOURCE_DIR "/config.ini", config);
    const app::IniFile ini(config.string());
    // The local copies stay in the test's own folder.
    ini.WriteString("Device", "LocalCopyFolder", (dir / "copies").string());
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
    const size_t id = nodes.rfind("\tid ", name);
    ASSERT_NE(id, std::string::npos) << nodes;
    const long shared = std::stol(nodes.substr(id + 4));
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
