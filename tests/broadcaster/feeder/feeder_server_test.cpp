// Whole broadcasts without the window: a real X display (Xvfb), the real-time test tone as the
// microphone, a test-pattern camera, and a real RTMP server whose recordings ffmpeg reads back;
// and a lesson whose server goes away for a while, with its local copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "../capture/audio_test_doubles.h"
#include "../capture/video_test_doubles.h"
#include "../capture/x_painter.h"
#include "../capture/xvfb_display.h"
#include "capture/broadcast_feeder.h"
#include "capture/pointer_arrow.h"
#include "capture/screen_grabber.h"
#include "support/alsa_tone_device.h"
#include "support/child_process.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"

namespace capture::test {
namespace {

using namespace std::chrono_literals;
using rtmp::test::NginxRtmpServer;
using rtmp::test::WaitUntil;
using Clock = std::chrono::steady_clock;

constexpr int kScreenW = 640, kScreenH = 480;
constexpr int kCameraW = 320, kCameraH = 240;
using Colour = std::array<uint8_t, 3>;     // RGB
constexpr Colour kScreenRgb{30, 60, 220};  // the screen's background (blue)
constexpr Colour kCameraRgb{40, 200, 60};  // the camera's picture (green)

class FeederServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tone_ = std::make_unique<rtmp::test::AlsaToneDevice>(440, 6000);
        display_ = std::make_unique<XvfbDisplay>();
        ASSERT_TRUE(display_->Start("640x480x24"));  // kScreenW x kScreenH
        ASSERT_TRUE(PaintScreen());
    }
    // The whole screen one colour, the pointer out of the way.
    static bool PaintScreen() {
        Painter painter(display_->Name());
        if (!painter.Ok())
            return false;
        painter.Fill(0, 0, kScreenW, kScreenH, {kScreenRgb[0], kScreenRgb[1], kScreenRgb[2]});
        painter.MovePointer(kScreenW - 2, kScreenH - 2);
        return true;
    }
    static void TearDownTestSuite() {
        display_.reset();
        tone_.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(tone_->Ok()) << tone_->Error();
        ASSERT_TRUE(server_.Start()) << server_.Error();
    }

    BroadcastSettings Settings(int style, const std::string& stream) {
        // clang-format off
        return {.VideoStyle = style, .VideoWidth = kCameraW, .VideoHeight = kCameraH,
                .VideoX = 16, .VideoY = 16, .ScreenWidth = kScreenW, .ScreenHeight = kScreenH,
                .ScreenRate = 4, .FrameRate = 15, .Interval = 15, .Bitrate = 600, .Address = {},
                .publishUrl = server_.Url("live", stream), .audioDevice = tone_->PcmName(),
                .HaveAudio = 1, .SamplesPerSec = 44100, .BitsPerSample = 16, .Chanels = 2,
                .LocalCopyFolder = {}, .localCopyPath = {}, .TlsCaFile = {}};
        // clang-format on
    }

    // The devices, with a new screen grabber in grabber_.
    FeederDevices Devices() {
        FeederDevices d;
        auto camera = std::make_shared<FakeVideoState>();
        camera->AddCamera("/dev/video0", "Test camera", {kPixelYuyv});
        camera->solidRgb = kCameraRgb;
        camera->solidFps = 30;  // its own clock, not the broadcast's
        d.camera =
            std::make_unique<CCaptureVideo>(std::make_unique<FakeVideoLayer>(camera), &messages_);
        d.audio = std::make_unique<CCaptureAudio>(MakeSystemCaptureDevice(), &messages_);
        ScreenGrabber::Options options;
        options.displayName = display_->Name();
        grabber_ = std::make_shared<ScreenGrabber>(options);
        d.grabScreen = [g = grabber_](uint8_t* dst, int w, int h) { return g->Grab(dst, w, h); };
        return d;
    }

    // RGB of pixel (x, y), counted from the top-left, in every frame of the recording in order.
    static std::vector<Colour> PixelSeries(const std::filesystem::path& file, int x, int y) {
        const auto r = rtmp::test::RunProcess(
            {"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-an", "-fps_mode",
             "passthrough", "-vf", "crop=2:2:" + std::to_string(x) + ":" + std::to_string(y), "-f",
             "rawvideo", "-pix_fmt", "rgb24", "-"},
            60s);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::vector<Colour> series(r.out.size() / 12);
        for (size_t i = 0; i < series.size(); ++i)
            std::memcpy(series[i].data(), &r.out[i * 12], 3);
        return series;
    }

    static bool Near(const Colour& got, const Colour& want) {
        return std::ranges::equal(got, want, [](int a, int b) { return std::abs(a - b) <= 40; });
    }

    // Index of the first frame from which on the series shows `want`; -1 when it never settles.
    static long FirstFrameShowing(const std::vector<Colour>& series, const Colour& want) {
        const auto miss = std::find_if(series.rbegin(), series.rend(),
                                       [&](const Colour& c) { return !Near(c, want); });
        const long first = series.rend() - miss;
        return first == static_cast<long>(series.size()) ? -1 : first;
    }

    static uint64_t FramesEncoded(const CBroadcastFeeder& feeder) {
        OcelixStats stats{};
        OCELIX_GetStats(feeder.Encoder(), &stats);
        return stats.framesEncoded;
    }

    // Also: every picture on the broadcast's frame grid, and a clean decode at its own rate.
    void ExpectRecording(const std::filesystem::path& file, int width, int height, int frames,
                         int fps) {
        const auto probe = rtmp::test::Probe(file);
        ASSERT_NE(probe.Video(), nullptr) << probe.error;
        ASSERT_NE(probe.Audio(), nullptr);
        EXPECT_EQ(std::tuple(probe.Video()->width, probe.Video()->height, probe.Audio()->codecName,
                             probe.Audio()->sampleRate),
                  std::tuple(width, height, "aac", 44100));
        EXPECT_NEAR(probe.Video()->frames, frames, frames / 6 + 3);
        EXPECT_EQ(rtmp::test::DecodeErrors(file), "");
        EXPECT_EQ(rtmp::test::FrameGridFaults(file, fps), "");
    }

    static inline std::unique_ptr<rtmp::test::AlsaToneDevice> tone_;
    static inline std::unique_ptr<XvfbDisplay> display_;
    NginxRtmpServer server_;
    RecordingMessageSink messages_;
    std::shared_ptr<ScreenGrabber> grabber_;
};

// The screen is read once while it does not change, yet the stream holds 25 frames a second; a
// small rectangle drawn later is read alone and shows in the next frame, and so does the arrow
// when only the pointer moves.
TEST_F(FeederServerTest, ScreenStyleStreamsSteadilyAndShowsEachChangeInTheNextFrame) {
    BroadcastSettings s = Settings(STYLE_SCREEN, "style0");
    s.FrameRate = 25;
    s.Interval = 50;
    constexpr Colour kRectRgb{250, 20, 20};
    constexpr Colour kArrowFillRgb{kPointerFill.red, kPointerFill.green, kPointerFill.blue};
    CBroadcastFeeder feeder(&s, Devices());
    ASSERT_EQ(feeder.Start(nullptr), 1);
    ASSERT_TRUE(WaitUntil([&] { return FramesEncoded(feeder) >= 50; }, 20s));
    const ScreenGrabber::Work still = grabber_->Done();
    EXPECT_EQ(std::tuple(still.screenReads, still.rowsRead, still.rowsWritten),
              (std::tuple<uint64_t, uint64_t, uint64_t>(1, kScreenH, kScreenH)));

    const uint64_t beforeRect = FramesEncoded(feeder);
    Painter(display_->Name()).Fill(400, 100, 24, 16, {kRectRgb[0], kRectRgb[1], kRectRgb[2]});
    ASSERT_TRUE(WaitUntil([&] { return grabber_->Done().screenReads == 2; }, 20s));
    const uint64_t rectRead = FramesEncoded(feeder);
    EXPECT_EQ(grabber_->Done().rowsRead, still.rowsRead + 16);

    ASSERT_TRUE(WaitUntil([&] { return FramesEncoded(feeder) >= rectRead + 25; }, 20s));
    const uint64_t rowsBefore = grabber_->Done().rowsWritten;
    const uint64_t beforePointer = FramesEncoded(feeder);
    Painter(display_->Name()).MovePointer(300, 200);
    ASSERT_TRUE(WaitUntil([&] { return grabber_->Done().rowsWritten > rowsBefore; }, 20s));
    const uint64_t pointerDrawn = FramesEncoded(feeder);
    EXPECT_EQ(grabber_->Done().screenReads, 2u) << "a pointer move reads nothing";

    ASSERT_TRUE(WaitUntil([&] { return FramesEncoded(feeder) >= pointerDrawn + 25; }, 20s));
    OcelixStats stats{};
    OCELIX_GetStats(feeder.Encoder(), &stats);
    ASSERT_EQ(stats.packetsDropped, 0u) << "frame numbers below count every frame";
    feeder.Stop();
    ASSERT_TRUE(PaintScreen());
    OCELIX_GetStatsEx(feeder.Encoder(), &stats, sizeof stats);
    const uint64_t skipped = stats.framesSkipped;
    const auto file = server_.RecordingPath("style0");

    ExpectRecording(file, kScreenW, kScreenH, static_cast<int>(stats.framesEncoded), 25);
    // 25 frames a second of stream time from the first to the last: every picture on the grid
    // (above); ticks the encoder skipped on a busy machine are counted and leave their gap.
    const std::vector<double> times = rtmp::test::PacketTimes(file, 'v');
    ASSERT_GE(times.size(), 90u);  // the waits above take 100 frames at least
    EXPECT_NEAR(times.back() - times.front(),
                40.0 * static_cast<double>(times.size() - 1 + skipped), 45.0);

    // Frame i of the recording is the i-th frame encoded (none was dropped). A change is in the
    // frame the encoder took after the grab that read it, or in the one after, when the encoder
    // took its frame while the grabbed one was being handed over.
    const long rectFrame = FirstFrameShowing(PixelSeries(file, 410, 106), kRectRgb);
    EXPECT_GE(rectFrame, static_cast<long>(beforeRect));
    EXPECT_LE(rectFrame, static_cast<long>(rectRead) + 1);
    const long arrowFrame = FirstFrameShowing(PixelSeries(file, 304, 212), kArrowFillRgb);
    EXPECT_GE(arrowFrame, static_cast<long>(beforePointer));
    EXPECT_LE(arrowFrame, static_cast<long>(pointerDrawn) + 1);
}

// Each style against sharing that is granted or refused: the screen is prepared when a broadcast
// that shows it starts and ended once when it stops; a screen that cannot be shared stops the
// start before anything connects; the camera style shows no screen; an unreachable server (the
// last row) fails the start and gives the screen back at once, leaving the feeder idle so that a
// picture-type change needs no restart. The broadcasts that start record their pictures: the
// size, and colours sampled inside the inset (16 pixels from the left, 16 rows above the
// bottom) and around it.
TEST_F(FeederServerTest, EachStyleSharesTheScreenItShowsAndRecordsItsPictures) {
    // The recorded pictures' size (none: the start fails) with samples (x, y, colour) of them.
    // Every style but the camera's asks for the screen once at the start.
    struct Row {
        int style;
        bool grant;
        std::pair<int, int> size{};
        std::vector<std::tuple<int, int, Colour>> samples{};
    };
    const Colour cam = kCameraRgb;
    const Colour scr = kScreenRgb;
    const std::pair screen(kScreenW, kScreenH), camera(kCameraW, kCameraH);
    const Row rows[] = {
        {STYLE_SCREEN, false},
        {STYLE_SCREEN_WITH_CAMERA, false},
        {STYLE_CAMERA_WITH_SCREEN, false},
        {STYLE_CAMERA, true, camera, {{160, 120, cam}}},
        // Inset 159 x 120: rows 344..463 from the top.
        {STYLE_SCREEN_WITH_CAMERA, true, screen, {{96, 404, cam}, {216, 404, scr}, {96, 300, scr}}},
        // Inset 80 x 60: rows 164..223 from the top.
        {STYLE_CAMERA_WITH_SCREEN, true, camera, {{56, 194, scr}, {200, 100, cam}}},
        {STYLE_SCREEN, true, screen, {{300, 300, scr}}},
        {STYLE_SCREEN, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.style << " granted " << row.grant);
        const std::string stream = "row" + std::to_string(&row - rows);
        if (&row == &rows[std::size(rows) - 1])
            server_.Stop();
        const BroadcastSettings s = Settings(row.style, stream);
        int opened = 0, closed = 0;
        FeederDevices devices = Devices();
        devices.openScreen = [&] {
            ++opened;
            return row.grant;
        };
        devices.closeScreen = [&] { ++closed; };
        CBroadcastFeeder feeder(&s, std::move(devices));
        const bool started = row.size.first != 0;
        const int asks = row.style == STYLE_CAMERA ? 0 : 1;
        EXPECT_EQ(feeder.Start(nullptr), started ? 1 : 0);
        EXPECT_EQ(feeder.ScreenRefused(), !row.grant);
        EXPECT_EQ(feeder.Running(), started);
        // A screen granted to a start that fails is given back at once.
        EXPECT_EQ(std::pair(opened, closed), std::pair(asks, row.grant && !started ? 1 : 0));
        if (!row.grant) {
            EXPECT_EQ(feeder.Encoder(), nullptr);  // no encoder made, nothing published
        }
        if (started) {
            EXPECT_TRUE(WaitUntil([&] { return FramesEncoded(feeder) >= 40; }, 20s));
        }
        feeder.Stop();
        feeder.Stop();
        EXPECT_EQ(closed, row.grant ? asks : 0);
        const auto file = server_.RecordingPath(stream);
        if (!started) {
            EXPECT_FALSE(std::filesystem::exists(file));
            continue;
        }
        OcelixStats stats{};
        OCELIX_GetStatsEx(feeder.Encoder(), &stats, sizeof stats);
        ExpectRecording(file, row.size.first, row.size.second,
                        static_cast<int>(stats.framesEncoded), s.FrameRate);
        for (const auto& [x, y, rgb] : row.samples)  // the 21st frame
            EXPECT_TRUE(Near(PixelSeries(file, x, y).at(20), rgb)) << x << "," << y;
    }
}

// A picture that flashes white and a 1 kHz beep at every whole second of one clock, as the
// screen and a microphone deliver them: the picture of the feeder's n-th frame tick shows the
// clock's time n x 1000 / fps (fading, see FlashGray), the sound comes in blocks of 1024 stereo
// samples, each once its last sample is due. The clock starts at the first tick.
class FlashBeepSource {
  public:
    static constexpr int kFlashMs = 100;
    static constexpr int kRate = 44100;

    FlashBeepSource(int fps, int width, int height) : fps_(fps), width_(width), height_(height) {}
    ~FlashBeepSource() {
        stop_ = true;
        if (audio_.joinable())
            audio_.join();
    }

    void AddTo(FeederDevices& d, MessageSink* messages) {
        d.audio =
            std::make_unique<CCaptureAudio>(std::make_unique<FakeAudioDevice>(sound_), messages);
        d.grabScreen = [this](uint8_t* dst, int w, int h) {
            if (w != width_ || h != height_)
                return false;
            if (frames_ == 0) {
                origin_ = Clock::now();
                audio_ = std::thread([this] { Sound(); });
            }
            const double since = std::fmod(static_cast<double>(frames_++) * 1000 / fps_, 1000.0);
            const uint8_t grey = since < kFlashMs ? rtmp::test::FlashGray(since) : 0;
            std::memset(dst, grey, static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
            return true;
        };
    }

  private:
    void Sound() {
        for (long b = 0; !stop_; ++b) {
            const std::vector<int16_t> block = rtmp::test::BeepBlock(b, kRate, kFlashMs);
            std::this_thread::sleep_until(
                origin_ + std::chrono::microseconds((b + 1) * 1024 * 1000000 / kRate));
            const auto* bytes = reinterpret_cast<const uint8_t*>(block.data());
            sound_->Push(std::vector<uint8_t>(bytes, bytes + block.size() * 2));
        }
    }

    const int fps_, width_, height_;
    std::shared_ptr<FakeAudioState> sound_ = std::make_shared<FakeAudioState>();
    long frames_ = 0;  // the frame timer's thread only
    Clock::time_point origin_;
    std::atomic<bool> stop_{false};
    std::thread audio_;
};

// A lesson of about 16 s whose server is gone for 5 s in the middle. The server's recordings
// (one before, one after the outage) miss those seconds; the local copy holds the whole lesson:
// as long as the broadcast within a second, no hole between its pictures, decoded without a
// complaint, its pictures on the frame grid, and each beep within 20 ms of its flash.
TEST_F(FeederServerTest, TheLocalCopyHoldsTheWholeLessonThroughAServerOutage) {
    constexpr int kW = 320, kH = 240, kFps = 25;
    BroadcastSettings s = Settings(STYLE_SCREEN, "outage");
    s.ScreenWidth = kW;
    s.ScreenHeight = kH;
    s.FrameRate = kFps;
    s.Interval = 50;
    s.audioDevice = "flash-beep";
    const rtmp::test::TempDir dir("feeder_copy");
    s.localCopyPath = (dir / "4711-lesson.mp4").string();
    FlashBeepSource source(kFps, kW, kH);
    FeederDevices devices;
    source.AddTo(devices, &messages_);
    CBroadcastFeeder feeder(&s, std::move(devices));
    EXPECT_EQ(feeder.LocalCopy().state, OCELIX_COPY_OFF);  // before the start
    ASSERT_EQ(feeder.Start(nullptr), 1);
    const auto stats = [&] {
        OcelixStats st{};
        OCELIX_GetStatsEx(feeder.Encoder(), &st, sizeof st);
        return st;
    };
    std::this_thread::sleep_for(5s);
    const OcelixLocalCopy early = feeder.LocalCopy();
    EXPECT_EQ(std::tuple(early.state, std::string(early.path)),
              std::tuple(OCELIX_COPY_RECORDING, s.localCopyPath));
    EXPECT_GT(early.bytesWritten, 0u);
    server_.Stop();
    const auto before = dir / "before.flv";
    std::filesystem::copy_file(server_.RecordingPath("outage"), before);
    EXPECT_TRUE(WaitUntil([&] { return stats().connected == 0; }, 5s));
    std::this_thread::sleep_for(5s);
    ASSERT_TRUE(server_.Start()) << server_.Error();
    EXPECT_TRUE(WaitUntil([&] { return stats().connected == 1; }, 10s));
    std::this_thread::sleep_for(4s);
    EXPECT_GT(feeder.LocalCopy().bytesWritten, early.bytesWritten);
    feeder.Stop();
    const OcelixStats end = stats();
    EXPECT_GT(end.packetsDropped, 0u) << "the outage cost the server packets";
    const OcelixLocalCopy copy = feeder.LocalCopy();
    EXPECT_EQ(std::tuple(copy.state, copy.systemError, std::string(copy.path)),
              std::tuple(OCELIX_COPY_ENDED, 0, s.localCopyPath));
    EXPECT_EQ(copy.bytesWritten, std::filesystem::file_size(s.localCopyPath));

    // Media time each file covers, from its first picture to its last.
    const auto span = [](const std::filesystem::path& file) {
        const std::vector<double> t = rtmp::test::PacketTimes(file, 'v');
        return t.size() < 2 ? 0.0 : t.back() - t.front();
    };
    const double lesson = end.elapsedMs;
    EXPECT_LT(span(before) + span(server_.RecordingPath("outage")), lesson - 4000)
        << "the server's recordings have the gap";
    const std::filesystem::path file = s.localCopyPath;
    EXPECT_NEAR(span(file), lesson, 1000);
    const std::vector<double> times = rtmp::test::PacketTimes(file, 'v');
    double widest = 0;
    for (size_t i = 1; i < times.size(); ++i)
        widest = std::max(widest, times[i] - times[i - 1]);
    EXPECT_LT(widest, 200) << "no hole in the copy's pictures";
    ExpectRecording(file, kW, kH, static_cast<int>(end.framesEncoded), kFps);
    const rtmp::test::FlashesAndBeeps events = rtmp::test::FindFlashesAndBeeps(file);
    ASSERT_EQ(events.error, "");
    const std::vector<double> offsets = rtmp::test::PairOffsets(events);
    EXPECT_GE(offsets.size(), static_cast<size_t>(lesson / 1000) - 2)
        << events.flashesMs.size() << " flashes, " << events.beepsMs.size() << " beeps";
    for (const double offset : offsets)
        EXPECT_LE(std::abs(offset), 20) << "beep minus flash, ms";
}

}  // namespace
}  // namespace capture::test
