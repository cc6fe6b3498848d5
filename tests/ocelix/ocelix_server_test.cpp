// The encoder library end to end against nginx-rtmp: a picture that flashes white and a 1 kHz
// beep at the same instants once a second, made on one clock and handed in as the broadcaster
// does (pictures from their own frame timer, sound in blocks as a capture device delivers them),
// and the recording read back with ffmpeg/ffprobe.
#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

#include "basis/periodic_timer.h"
#include "ocelix/ocelix.h"
#include "support/child_process.h"
#include "support/encoder_config.h"
#include "support/lip_sync.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"
#include "support/throttle_proxy.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using basis::CMMTimer;
using namespace rtmp::test;
using ::testing::AllOf;
using ::testing::Each;
using ::testing::Ge;
using ::testing::Le;
using ::testing::Lt;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kSampleRate = 44100;
constexpr int kFlashMs = 100;  // flash and beep last this long, from every whole second

// The source's clock starts at `origin`; at every whole second of it the picture flashes white
// (fading, see FlashGray) and a beep starts, for kFlashMs. Between flashes the picture is dark
// blocks that change every frame, so the encoder needs its whole bit rate.
class FlashBeepSource final : public CMMTimer {
  public:
    FlashBeepSource(void* encoder, int fps)
        : encoder_(encoder), fps_(fps), frame_(static_cast<size_t>(kWidth * kHeight * 3)) {
        origin_ = Clock::now();
        StartTimerRate(static_cast<uint32_t>(fps));
        audio_ = std::thread([this] { Audio(); });
    }
    ~FlashBeepSource() override {
        stop_ = true;
        audio_.join();
        StopTimer();
    }

  protected:
    // Frame n of the source's own timer shows the source's time n x 1000 / fps.
    void OnTimer() override {
        const long n = ++frames_;
        const double ms = static_cast<double>(n) * 1000 / fps_;
        const double sinceFlash = std::fmod(ms, 1000.0);
        if (sinceFlash < kFlashMs) {
            std::fill(frame_.begin(), frame_.end(), FlashGray(sinceFlash));
        } else {
            // Dark blocks of 8 x 8 pixels, new every frame.
            for (int by = 0; by < kHeight; by += 8) {
                for (int bx = 0; bx < kWidth; bx += 8) {
                    seed_ = seed_ * 1664525u + 1013904223u;
                    const auto v = static_cast<uint8_t>((seed_ >> 24) % 48);
                    for (int y = by; y < by + 8; ++y) {
                        uint8_t* row = &frame_[static_cast<size_t>((y * kWidth + bx) * 3)];
                        std::fill(row, row + 24, v);
                    }
                }
            }
        }
        OCELIX_PutVideoData(encoder_, frame_.data(), static_cast<int>(frame_.size()));
    }

  private:
    // Block b holds the samples from b x 1024 on and is delivered once its last one was
    // recorded, as a capture device's notification does.
    void Audio() {
        const int bytes = OCELIX_GetAudioNofifySize(encoder_);
        ASSERT_EQ(bytes, 4096);
        std::vector<int16_t> block(static_cast<size_t>(bytes / 2));
        const long perBlock = bytes / 4;
        for (long b = 0; !stop_; ++b) {
            for (long i = 0; i < perBlock; ++i) {
                const long s = b * perBlock + i;
                const long inSecond = s % kSampleRate;
                const bool beep = inSecond < kSampleRate * kFlashMs / 1000;
                const auto v = beep ? static_cast<int16_t>(24000 * std::sin(2 * M_PI * 1000 *
                                                                            inSecond / kSampleRate))
                                    : int16_t{0};
                block[static_cast<size_t>(2 * i)] = block[static_cast<size_t>(2 * i + 1)] = v;
            }
            std::this_thread::sleep_until(
                origin_ + std::chrono::microseconds((b + 1) * perBlock * 1000000 / kSampleRate));
            OCELIX_PutAudioData(encoder_, block.data(), bytes);
        }
    }

    void* encoder_;
    int fps_;
    std::vector<uint8_t> frame_;
    Clock::time_point origin_;
    long frames_ = 0;
    uint32_t seed_ = 1;
    std::atomic<bool> stop_{false};
    std::thread audio_;
};

// An encoder instance publishing 640 x 360 at `fps` to `url`, started.
struct Encoder {
    Encoder(const std::string& url, int fps) {
        const EncoderConfig c = MakeEncoderConfig(url, kWidth, kHeight, fps);
        handle = OCELIX_CreateEncoder(&c);
        EXPECT_NE(handle, nullptr);
        EXPECT_EQ(OCELIX_Start(handle), 1);
    }
    ~Encoder() {
        EXPECT_EQ(OCELIX_Stop(handle), 1);
        EXPECT_EQ(OCELIX_ReleaseEncoder(handle), 1);
    }
    OcelixStats Stats() const {
        OcelixStats s{};
        OCELIX_GetStatsEx(handle, &s, sizeof s);
        return s;
    }
    void* handle = nullptr;
};

// The recording decodes without an error and starts with a key frame.
void ExpectCleanStart(const std::filesystem::path& file) {
    EXPECT_EQ(DecodeErrors(file), "");
    const auto r =
        RunProcess({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                    "packet=flags", "-of", "csv=p=0", "-read_intervals", "%+#1", file.string()});
    EXPECT_EQ(r.out.substr(0, 1), "K") << "first video packet: " << r.out << r.err;
}

// Every flash/beep pair of the recording within `limitMs`; at least `minPairs` of them.
void ExpectLipSync(const std::filesystem::path& file, double limitMs, size_t minPairs) {
    const auto events = FindFlashesAndBeeps(file);
    ASSERT_EQ(events.error, "");
    const auto offsets = PairOffsets(events);
    EXPECT_GE(offsets.size(), minPairs)
        << events.flashesMs.size() << " flashes, " << events.beepsMs.size() << " beeps";
    EXPECT_THAT(offsets, Each(AllOf(Ge(-limitMs), Le(limitMs)))) << "beep minus flash, ms";
}

class OcelixLipSync : public ::testing::TestWithParam<int> {};

TEST_P(OcelixLipSync, FlashesAndBeepsArriveTogether) {
    const int fps = GetParam();
    const std::string name = "fps" + std::to_string(fps);
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    OcelixStats stats{};
    {
        Encoder e(server.Url("live", name), fps);
        {
            FlashBeepSource source(e.handle, fps);
            std::this_thread::sleep_for(8500ms);
        }
        stats = e.Stats();
    }
    EXPECT_EQ(stats.connected, 1);
    EXPECT_EQ(stats.reconnects, 0);
    EXPECT_GT(stats.sendKbps, 0);
    EXPECT_EQ(stats.targetKbps, 800);

    const auto file = server.RecordingPath(name);
    const auto probe = Probe(file);
    ASSERT_TRUE(probe.ok && probe.Video() != nullptr && probe.Audio() != nullptr) << probe.error;
    EXPECT_EQ(probe.Video()->codecName, "h264");
    EXPECT_EQ(probe.Video()->width, kWidth);
    EXPECT_EQ(probe.Video()->height, kHeight);
    EXPECT_NEAR(probe.Video()->frames, 8.5 * fps, 2 * fps);
    EXPECT_EQ(probe.Audio()->codecName, "aac");
    EXPECT_EQ(probe.Audio()->sampleRate, kSampleRate);
    EXPECT_EQ(probe.Audio()->channels, 2);
    ExpectCleanStart(file);
    const auto times = PacketTimes(file, 'v');
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end(), std::greater_equal<>()), times.end())
        << "video times rise strictly";
    ExpectLipSync(file, 20, 7);
}

INSTANTIATE_TEST_SUITE_P(Rates, OcelixLipSync, ::testing::Values(15, 25),
                         [](const auto& p) { return "fps" + std::to_string(p.param); });

// A slow line for 20 s, then a fast one: the delay stays bounded and the bit rate follows. Then
// the server goes away and comes back: the watchdog publishes again, and the new session's
// recording starts with a picture viewers can decode. Last the line goes silent (the connection
// drops, the watchdog's new one is accepted but never shaken hands with): Stop is prompt still.
TEST(OcelixServer, ASlowLineThenALostServerAndASilentLine) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    ThrottleProxy line(server.Port());
    ASSERT_TRUE(line.Start());
    line.SetRate(400 * 1000 / 8);
    const TempDir dir("ocelix_slow");
    const auto file = server.RecordingPath("slow"), slow = dir / "slow.flv";
    // The server's delay behind the stream: how much later than its media time the newest
    // message was written to the recording, sampled as (ms since start, delay).
    std::vector<std::pair<double, double>> samples;
    const auto start = Clock::now();
    int lowest = 800, maxQueueDelay = 0;
    OcelixStats stats{};
    Clock::time_point stopping;
    {
        Encoder e("rtmp://127.0.0.1:" + std::to_string(line.Port()) + "/live/slow", 25);
        {
            FlashBeepSource source(e.handle, 25);
            while (Clock::now() - start < 20s) {
                std::this_thread::sleep_for(200ms);
                const double now =
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                if (const auto t = LastFlvTagTime(file))
                    samples.push_back({now, now - static_cast<double>(*t)});
                lowest = std::min(lowest, e.Stats().targetKbps);
                maxQueueDelay = std::max(maxQueueDelay, e.Stats().queueDelayMs);
            }
            line.SetRate(0);  // the line recovers
            std::this_thread::sleep_for(10s);
            stats = e.Stats();
            server.Stop();  // closes the recording, which the next session starts over
            std::filesystem::copy_file(file, slow);
            EXPECT_TRUE(WaitUntil([&] { return e.Stats().connected == 0; }, 5s));
            ASSERT_TRUE(server.Start()) << server.Error();
            const auto back = Clock::now();
            EXPECT_TRUE(WaitUntil([&] { return e.Stats().connected == 1; }, 6s));
            EXPECT_LT(Clock::now() - back, 4s);  // the watchdog looks every 2 s
            std::this_thread::sleep_for(3s);
            EXPECT_EQ(e.Stats().reconnects, 1);
            const int accepted = line.Accepted();
            line.GoSilent();
            ASSERT_TRUE(WaitUntil([&] { return line.Accepted() > accepted; }, 10s));
        }
        stopping = Clock::now();
    }  // stopped and released
    EXPECT_LT(Clock::now() - stopping, 1s);

    ASSERT_FALSE(samples.empty());
    // Delays after the least seen in the first three seconds, between from and to.
    double base = 1e18;
    for (const auto& [at, d] : samples)
        base = at < samples.front().first + 3000 ? std::min(base, d) : base;
    const auto delays = [&](double from, double to) {
        std::vector<double> d;
        for (const auto& [at, delay] : samples)
            if (at >= from && at < to)
                d.push_back(delay - base);
        return d;
    };
    const auto mean = [](const std::vector<double>& v) {
        return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    };
    const auto early = delays(3000, 10000), late = delays(13000, 20000);
    ASSERT_FALSE(early.empty() || late.empty());
    std::printf("server delay mean %.0f then %.0f ms; target %d..%d kbit/s; dropped %llu\n",
                mean(early), mean(late), lowest, stats.targetKbps,
                static_cast<unsigned long long>(stats.packetsDropped));
    EXPECT_THAT(early, Each(Lt(1500)));
    EXPECT_THAT(late, Each(Lt(1500)));
    EXPECT_LT(mean(late) - mean(early), 500) << "the delay at the server grows";
    EXPECT_LE(maxQueueDelay, 1500);
    EXPECT_LT(lowest, 800);
    EXPECT_GE(lowest, 200);
    EXPECT_GT(stats.targetKbps, lowest) << "the bit rate comes back up after the line recovers";
    EXPECT_GT(stats.packetsDropped, 0u);
    EXPECT_EQ(DecodeErrors(slow), "");
    ExpectLipSync(slow, 45, 15);

    const auto probe = Probe(file);
    ASSERT_TRUE(probe.ok && probe.Video() != nullptr) << probe.error;
    EXPECT_GT(probe.Video()->frames, 40);
    ExpectCleanStart(file);
}

}  // namespace
