// The encoder library end to end: synthetic pictures and tone in, a recording on a real RTMP
// server out, read back with ffprobe.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "ocelix/ocelix.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using rtmp::test::NginxRtmpServer;

EncoderConfig Config(const std::string& url) {
    EncoderConfig c{};
    c.width = 640;
    c.height = 360;
    c.inputFormat = OCELIX_FORMAT_BGR24_BOTTOM_UP;
    c.frameRate = 25;
    c.interval = 50;
    c.bitrate = 800;
    c.samplesPerSec = 44100;
    c.bitsPerSample = 16;
    c.channels = 2;
    c.record = 0;
    std::snprintf(c.url, sizeof c.url, "%s", url.c_str());
    return c;
}

// Feeds a moving bar picture at 25 fps and a 440 Hz tone in real time until stopped.
class SyntheticSource {
  public:
    SyntheticSource(void* encoder, int width, int height)
        : encoder_(encoder), width_(width), height_(height) {
        video_ = std::thread([this] { Video(); });
        audio_ = std::thread([this] { Audio(); });
    }
    ~SyntheticSource() {
        stop_ = true;
        video_.join();
        audio_.join();
    }

  private:
    void Video() {
        std::vector<uint8_t> frame(static_cast<size_t>(width_ * height_ * 3));
        auto next = Clock::now();
        for (int n = 0; !stop_; ++n) {
            for (int y = 0; y < height_; ++y) {
                for (int x = 0; x < width_; ++x) {
                    uint8_t* p = &frame[static_cast<size_t>((y * width_ + x) * 3)];
                    const bool bar = ((x + n * 8) / 40) % 2 == 0;
                    p[0] = bar ? 200 : 30;
                    p[1] = static_cast<uint8_t>(y);
                    p[2] = static_cast<uint8_t>(x + n);
                }
            }
            OCELIX_PutVideoData(encoder_, frame.data(), static_cast<int>(frame.size()));
            next += 40ms;
            std::this_thread::sleep_until(next);
        }
    }
    void Audio() {
        const int bytes = OCELIX_GetAudioNofifySize(encoder_);
        if (bytes <= 0)
            return;
        std::vector<int16_t> block(static_cast<size_t>(bytes / 2));
        const auto period = std::chrono::microseconds(1000000LL * (bytes / 4) / 44100);
        auto next = Clock::now();
        long sample = 0;
        while (!stop_) {
            for (size_t i = 0; i < block.size(); i += 2, ++sample) {
                const auto v =
                    static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * sample / 44100.0));
                block[i] = block[i + 1] = v;
            }
            OCELIX_PutAudioData(encoder_, block.data(), bytes);
            next += period;
            std::this_thread::sleep_until(next);
        }
    }
    void* encoder_;
    int width_, height_;
    std::atomic<bool> stop_{false};
    std::thread video_, audio_;
};

bool FirstVideoPacketIsKey(const std::filesystem::path& file) {
    const auto r = rtmp::test::RunProcess(
        {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=flags", "-of",
         "csv=p=0", "-read_intervals", "%+#1", file.string()},
        10s);
    return r.exitCode == 0 && !r.out.empty() && r.out[0] == 'K';
}

TEST(OcelixServer, TenSecondsOfPictureAndToneAreRecorded) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    EncoderConfig config = Config(server.Url("live", "lesson"));
    void* e = OCELIX_CreateEncoder(&config);
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(OCELIX_Start(e), 1);
    EXPECT_EQ(OCELIX_GetAudioNofifySize(e), 4096);
    {
        SyntheticSource source(e, 640, 360);
        std::this_thread::sleep_for(10s);
    }
    OcelixStats stats{};
    ASSERT_EQ(OCELIX_GetStats(e, &stats), 1);
    EXPECT_EQ(OCELIX_Stop(e), 1);
    EXPECT_EQ(OCELIX_ReleaseEncoder(e), 1);
    EXPECT_EQ(stats.connected, 1);
    EXPECT_EQ(stats.reconnects, 0);
    EXPECT_GT(stats.sendKbps, 0);

    const auto file = server.RecordingPath("lesson");
    const auto probe = rtmp::test::Probe(file);
    ASSERT_TRUE(probe.ok) << probe.error;
    ASSERT_NE(probe.Video(), nullptr);
    ASSERT_NE(probe.Audio(), nullptr);
    EXPECT_EQ(probe.Video()->codecName, "h264");
    EXPECT_EQ(probe.Video()->width, 640);
    EXPECT_EQ(probe.Video()->height, 360);
    EXPECT_NEAR(probe.Video()->frames, 250, 20);
    EXPECT_EQ(probe.Audio()->codecName, "aac");
    EXPECT_EQ(probe.Audio()->sampleRate, 44100);
    EXPECT_EQ(probe.Audio()->channels, 2);
    EXPECT_NEAR(probe.Audio()->frames, 10 * 44100 / 1024, 30);
    EXPECT_TRUE(FirstVideoPacketIsKey(file));
    EXPECT_EQ(rtmp::test::DecodeErrors(file), "");
    const auto times = rtmp::test::PacketTimes(file, 'v');
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_GT(times[i], times[i - 1]);
}

TEST(OcelixServer, PublishingResumesAfterTheServerComesBack) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    EncoderConfig config = Config(server.Url("live", "comeback"));
    void* e = OCELIX_CreateEncoder(&config);
    ASSERT_EQ(OCELIX_Start(e), 1);
    OcelixStats stats{};
    {
        SyntheticSource source(e, 640, 360);
        std::this_thread::sleep_for(3s);
        server.Stop();
        std::this_thread::sleep_for(3s);
        OCELIX_GetStats(e, &stats);
        EXPECT_EQ(stats.connected, 0);
        ASSERT_TRUE(server.Start()) << server.Error();
        const auto back = Clock::now();
        while (Clock::now() - back < 6s) {
            OCELIX_GetStats(e, &stats);
            if (stats.connected == 1)
                break;
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_EQ(stats.connected, 1);
        EXPECT_LT(Clock::now() - back, 4s);  // the watchdog looks every 2 s; allow a slow connect
        std::this_thread::sleep_for(3s);
    }
    OCELIX_GetStats(e, &stats);
    EXPECT_EQ(stats.reconnects, 1);
    OCELIX_Stop(e);
    OCELIX_ReleaseEncoder(e);
    // The recording of the new session starts with a picture viewers can decode.
    const auto file = server.RecordingPath("comeback");
    const auto probe = rtmp::test::Probe(file);
    ASSERT_TRUE(probe.ok) << probe.error;
    ASSERT_NE(probe.Video(), nullptr);
    EXPECT_GT(probe.Video()->frames, 40);
    EXPECT_TRUE(FirstVideoPacketIsKey(file));
    EXPECT_EQ(rtmp::test::DecodeErrors(file), "");
}

}  // namespace
