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
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

#include "basis/periodic_timer.h"
#include "ocelix/ocelix.h"
#include "support/child_process.h"
#include "support/encoder_config.h"
#include "support/media_tools.h"
#include "support/nginx_rtmp_server.h"
#include "support/throttle_proxy.h"
#include "support/tls_front.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace rtmp::test;
using namespace ::testing;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kSampleRate = 44100;
constexpr int kFlashMs = 100;  // flash and beep last this long, from every whole second

// An encoder instance publishing 640 x 360 at `fps` to `url`, started, and its source. The
// source's clock starts once the encoder runs; at every whole second of it the picture flashes
// white (fading, see FlashGray) and a beep starts, for kFlashMs. Between flashes the picture is
// dark blocks that change every frame, so the encoder needs its whole bit rate.
struct FlashBeepPublisher final : basis::CMMTimer {
    FlashBeepPublisher(const std::string& url, int fps, const std::string& caFile = {})
        : fps_(fps) {
        const EncoderConfig c = MakeEncoderConfig(url, kWidth, kHeight, fps);
        encoder_ = OCELIX_CreateEncoder(&c);
        EXPECT_NE(encoder_, nullptr);
        EXPECT_EQ(OCELIX_SetTlsCaFile(encoder_, caFile.c_str()), 1);
        EXPECT_EQ(OCELIX_Start(encoder_), 1);
        origin_ = Clock::now();
        StartTimerRate(static_cast<uint32_t>(fps));
        audio_ = std::thread([this] { Audio(); });
    }
    ~FlashBeepPublisher() override {
        stop_ = true;
        audio_.join();
        StopTimer();
        EXPECT_EQ(OCELIX_Stop(encoder_), 1);
        EXPECT_EQ(OCELIX_ReleaseEncoder(encoder_), 1);
    }
    OcelixStats Stats() const {
        OcelixStats s{};
        OCELIX_GetStatsEx(encoder_, &s, sizeof s);
        return s;
    }

    // Frame n of the source's own timer shows the source's time n x 1000 / fps.
    void OnTimer() override {
        int32_t taken = 0;  // the grid point of this tick, before the picture is made
        OCELIX_GetMediaTime(encoder_, &taken);
        const double sinceFlash = std::fmod(static_cast<double>(++frames_) * 1000 / fps_, 1000.0);
        if (sinceFlash < kFlashMs) {
            std::fill(frame_.begin(), frame_.end(), FlashGray(sinceFlash));
        } else {
            // Dark blocks of 8 x 8 pixels, new every frame: each row of a block (24 bytes) gets
            // a grey hashed from the block's and the frame's numbers.
            for (size_t at = 0; at < frame_.size(); at += 24) {
                const size_t y = at / 3 / kWidth, x = at / 3 % kWidth;
                const auto h = static_cast<uint32_t>(
                    ((y / 8 * kWidth + x / 8) ^ (frames_ * 0x9E3779B9u)) * 2654435761u);
                std::fill_n(&frame_[at], 24, static_cast<uint8_t>((h >> 24) % 48));
            }
        }
        // Handed in a while after its tick, as after a screen grab, with the time it was taken.
        std::this_thread::sleep_for(12ms);
        OCELIX_PutVideoDataAt(encoder_, frame_.data(), static_cast<int>(frame_.size()), taken);
    }

    // Block b holds the stereo samples from b x 1024 on and is delivered once its last one was
    // recorded, as a capture device's notification does.
    void Audio() {
        ASSERT_EQ(OCELIX_GetAudioNofifySize(encoder_), 4096);
        for (long b = 0; !stop_; ++b) {
            const std::vector<int16_t> block = BeepBlock(b, kSampleRate, kFlashMs);
            std::this_thread::sleep_until(
                origin_ +
                std::chrono::microseconds((b + 1) * 1024 * int64_t{1000000} / kSampleRate));
            OCELIX_PutAudioData(encoder_, block.data(), 4096);
        }
    }

    void* encoder_ = nullptr;
    int fps_;
    std::vector<uint8_t> frame_ = std::vector<uint8_t>(size_t{kWidth} * kHeight * 3);
    Clock::time_point origin_;
    long frames_ = 0;
    std::atomic<bool> stop_{false};
    std::thread audio_;
};

// The recording decodes without an error, starts with a key frame and holds more than
// `minPictures` pictures.
void ExpectCleanStart(const std::filesystem::path& file, long minPictures) {
    EXPECT_EQ(DecodeErrors(file), "");
    const auto r = RunTool(
        "ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 {}", {file});
    EXPECT_EQ(r.out.substr(0, 1), "K") << "first video packets: " << r.out.substr(0, 30) << r.err;
    EXPECT_GT(std::count(r.out.begin(), r.out.end(), '\n'), minPictures) << file;
}

// Every flash/beep pair with the beep before `untilMs` within `limitMs`; at least `minPairs`.
void ExpectLipSync(FlashesAndBeeps events, double untilMs, double limitMs, size_t minPairs) {
    ASSERT_EQ(events.error, "");
    std::erase_if(events.beepsMs, [&](double beep) { return beep >= untilMs; });
    const auto offsets = PairOffsets(events);
    EXPECT_GE(offsets.size(), minPairs)
        << events.flashesMs.size() << " flashes, " << events.beepsMs.size() << " beeps";
    EXPECT_THAT(offsets, Each(AllOf(Ge(-limitMs), Le(limitMs)))) << "beep minus flash, ms";
}

// 8.5 s on a fast line: flashes and beeps arrive together. Then 20 s on a slow line: the delay
// stays bounded, the bit rate follows the line and comes back up in 10 s on a fast line again.
// Then the server goes away and comes back: the watchdog publishes again, and the new session's
// recording starts with a picture viewers can decode. Then the line goes silent (the connection
// drops, the watchdog's new one is accepted but never shaken hands with): Stop is prompt still.
// Last 8.5 s at 15 fps, where a frame lasts 66.67 ms, no whole number of milliseconds: the
// pictures' times must not drift away from the sound's.
TEST(OcelixServer, LipSyncAtTwentyFiveAndFifteenFpsASlowLineALostServerAndASilentLine) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    ThrottleProxy line(server.Port());
    ASSERT_TRUE(line.Start());
    const rtmp::test::TempDir dir("ocelix_e2e");
    const auto file = server.RecordingPath("e2e"), first = dir / "first.flv";
    // The server's delay behind the stream: how much later than its media time the newest
    // message was written to the recording, less the least delay of the first three seconds on
    // the slow line; sampled early (3 to 10 s) and late (13 to 20 s) on it.
    double base = INFINITY;
    std::vector<double> early, late;
    int lowest = 800, maxQueueDelay = 0;
    OcelixStats fast{}, recovered{};
    Clock::time_point stopping;
    {
        FlashBeepPublisher e("rtmp://127.0.0.1:" + std::to_string(line.Port()) + "/live/e2e", 25);
        std::this_thread::sleep_for(8500ms);
        fast = e.Stats();
        line.SetRate(400 * 1000 / 8);
        const auto start = Clock::now();
        while (Clock::now() - start < 20s) {
            std::this_thread::sleep_for(200ms);
            const double now =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            const auto t = LastFlvTagTime(file);
            const double delay = t ? now + 8500 - static_cast<double>(*t) : INFINITY;
            if (now < 3000)
                base = std::min(base, delay);
            else if (now < 10000 || now >= 13000)
                (now < 10000 ? early : late).push_back(delay - base);
            lowest = std::min(lowest, e.Stats().targetKbps);
            maxQueueDelay = std::max(maxQueueDelay, e.Stats().queueDelayMs);
        }
        line.SetRate(0);  // the line recovers
        std::this_thread::sleep_for(10s);
        recovered = e.Stats();
        server.Stop();  // closes the recording, which the next session starts over
        std::filesystem::copy_file(file, first);
        EXPECT_TRUE(WaitUntil([&] { return e.Stats().connected == 0; }, 5s));
        ASSERT_TRUE(server.Start()) << server.Error();
        EXPECT_TRUE(WaitUntil([&] { return e.Stats().connected == 1; }, 4s));  // looks every 2 s
        std::this_thread::sleep_for(3s);
        EXPECT_EQ(e.Stats().reconnects, 1);
        const int accepted = line.Accepted();
        line.GoSilent();
        ASSERT_TRUE(WaitUntil([&] { return line.Accepted() > accepted; }, 10s));
        stopping = Clock::now();
    }  // stopped and released
    EXPECT_LT(Clock::now() - stopping, 1s);
    {
        FlashBeepPublisher e15(server.Url("live", "fps15"), 15);
        std::this_thread::sleep_for(8500ms);
    }

    EXPECT_EQ(std::tie(fast.connected, fast.reconnects, fast.targetKbps), std::tuple(1, 0, 800));
    EXPECT_GT(fast.sendKbps, 0);
    const auto probe = Probe(first);
    ASSERT_TRUE(probe.ok && probe.Video() != nullptr && probe.Audio() != nullptr) << probe.error;
    const ProbedStream &v = *probe.Video(), &a = *probe.Audio();
    EXPECT_EQ(std::tie(v.codecName, v.width, v.height, a.codecName, a.sampleRate, a.channels),
              std::tuple("h264", kWidth, kHeight, "aac", kSampleRate, 2));
    ExpectCleanStart(first, 8 * 25);
    const auto times = PacketTimes(first, 'v');
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end(), std::greater_equal<>()), times.end())
        << "video times rise strictly";
    EXPECT_NEAR(std::count_if(times.begin(), times.end(), [](double t) { return t < 8500; }),
                8.5 * 25, 2 * 25)
        << "pictures on the fast line";
    const auto events = FindFlashesAndBeeps(first);
    ExpectLipSync(events, 8500, 20, 7);
    // On the slow line a busy machine may also skip a frame tick, showing a flash one frame
    // (40 ms) late: a bound of 45 ms plus that frame.
    ExpectLipSync(events, INFINITY, 45 + 40, 22);

    const auto mean = [](const std::vector<double>& xs) {
        return std::accumulate(xs.begin(), xs.end(), 0.0) / static_cast<double>(xs.size());
    };
    EXPECT_THAT(early, Each(Lt(1500)));
    EXPECT_THAT(late, Each(Lt(1500)));
    EXPECT_LT(mean(late) - mean(early), 500) << "the delay at the server grows";
    EXPECT_LE(maxQueueDelay, 1500);
    EXPECT_LT(lowest, 800);
    EXPECT_GE(lowest, 200);
    EXPECT_GT(recovered.targetKbps, lowest) << "the bit rate comes back up after the line recovers";
    EXPECT_GT(recovered.packetsDropped, 0u);

    ExpectCleanStart(file, 40);

    const auto fps15 = server.RecordingPath("fps15");
    const auto probe15 = Probe(fps15);
    ASSERT_TRUE(probe15.ok && probe15.Video() != nullptr) << probe15.error;
    EXPECT_NEAR(probe15.Video()->frames, 8.5 * 15, 2 * 15);
    ExpectLipSync(FindFlashesAndBeeps(fps15), INFINITY, 20, 7);
}

// One broadcast per row of the sweep, each through a line of its own that is cut once, a
// while after OCELIX_Start returned: reset; gone dead (both ends left open, so that the server
// holds the old session until it drops an idle publisher after 5 s); or closed towards the
// client only (the server holds the session until the client closes its side); by address or by
// host name. Each must be followed by a new session that carries media: within 15 s of a dead
// line, within 3 s otherwise.
TEST(OcelixServer, ALineCutAtAnyMomentHealsByAddressAndByHostName) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    struct Row {
        int cutAtMs = 0;
        ThrottleProxy::Cut how = ThrottleProxy::Cut::kReset;
        bool byName = false;
        std::unique_ptr<ThrottleProxy> line;
        void* encoder = nullptr;
        Clock::time_point started, cut, healed;
        int linksBefore = 0;
        bool done = false;
    };
    std::vector<Row> rows;
    for (const int at : {0, 30, 100, 250, 600, 1500}) {
        for (const auto how : {ThrottleProxy::Cut::kReset, ThrottleProxy::Cut::kSilent,
                               ThrottleProxy::Cut::kHalfClose}) {
            for (const bool byName : {false, true}) {
                rows.emplace_back();
                std::tie(rows.back().cutAtMs, rows.back().how, rows.back().byName) =
                    std::tuple(at, how, byName);
            }
        }
    }
    constexpr int kW = 160, kH = 96;
    for (size_t i = 0; i < rows.size(); ++i) {
        Row& r = rows[i];
        r.line = std::make_unique<ThrottleProxy>(server.Port());
        ASSERT_TRUE(r.line->Start());
        const std::string url = std::string("rtmp://") + (r.byName ? "localhost" : "127.0.0.1") +
                                ":" + std::to_string(r.line->Port()) + "/live/cut" +
                                std::to_string(i);
        const EncoderConfig c = MakeEncoderConfig(url, kW, kH, 15);
        r.encoder = OCELIX_CreateEncoder(&c);
        ASSERT_EQ(OCELIX_Start(r.encoder), 1) << url;
        r.started = Clock::now();
    }
    // Noise pictures (large, so that media shows at once in the bytes passed) and silence, in
    // real time, to every broadcast.
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::vector<std::vector<uint8_t>> noise(4, std::vector<uint8_t>(size_t{kW} * kH * 3));
        uint32_t x = 1;
        for (auto& picture : noise) {
            for (uint8_t& byte : picture)
                byte = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
        }
        const std::vector<uint8_t> silence(4096);
        const auto origin = Clock::now();
        for (long tick = 0; !stop; ++tick) {  // 5 ms ticks
            for (const Row& r : rows) {
                if (tick % 13 == 0)
                    OCELIX_PutVideoData(r.encoder, noise[size_t(tick / 13) % 4].data(),
                                        int(noise[0].size()));
                if (tick % 5 == 0)
                    OCELIX_PutAudioData(r.encoder, silence.data(), 4096);
            }
            std::this_thread::sleep_until(origin + (tick + 1) * 5ms);
        }
    });
    // More than a session's commands and metadata (about 3.7 kB) passed on a connection made
    // after the cut: media.
    constexpr int64_t kMediaBytes = 8192;
    const auto deadline = Clock::now() + 30s;
    while (Clock::now() < deadline &&
           std::any_of(rows.begin(), rows.end(), [](const Row& r) { return !r.done; })) {
        std::this_thread::sleep_for(10ms);
        const auto now = Clock::now();
        for (Row& r : rows) {
            if (r.cut == Clock::time_point{} && now >= r.started + r.cutAtMs * 1ms) {
                r.linksBefore = r.line->Accepted();
                r.line->CutOpenConnections(r.how);
                r.cut = now;
            } else if (r.cut != Clock::time_point{} && r.healed == Clock::time_point{}) {
                for (int n = r.linksBefore; n < r.line->Accepted(); ++n) {
                    if (r.line->PassedUp(n) > kMediaBytes)
                        r.healed = now;
                }
            } else if (r.healed != Clock::time_point{} && !r.done && now > r.healed + 2s) {
                r.done = true;  // two seconds of the new session, for the recording
                EXPECT_EQ(OCELIX_Stop(r.encoder), 1);
            }
        }
    }
    stop = true;
    feeder.join();
    for (size_t i = 0; i < rows.size(); ++i) {
        Row& r = rows[i];
        SCOPED_TRACE(::testing::Message()
                     << "cut at " << r.cutAtMs << " ms, "
                     << (r.how == ThrottleProxy::Cut::kReset    ? "reset"
                         : r.how == ThrottleProxy::Cut::kSilent ? "dead line"
                                                                : "closed towards the client")
                     << ", " << (r.byName ? "by name" : "by address"));
        EXPECT_EQ(OCELIX_Stop(r.encoder), 1);
        EXPECT_EQ(OCELIX_ReleaseEncoder(r.encoder), 1);
        ASSERT_NE(r.healed, Clock::time_point{}) << "no new session carried media";
        EXPECT_LT(r.healed - r.cut, r.how == ThrottleProxy::Cut::kSilent ? 15s : 3s);
        // What the server recorded of the new session starts with a key frame and decodes.
        ExpectCleanStart(server.RecordingPath("cut" + std::to_string(i)), 15);
    }
}

// RTMPS through nginx's TLS front and a line of the test's own: on a line slower than the stream
// the encoder lowers its bit rate and the delay stays bounded (what TLS holds back counts as
// unsent); the server is killed mid-lesson and taken again over TLS; the server's certificate
// expires mid-lesson, and the watchdog keeps trying on its 2 s rhythm, saying why, until the
// certificate is renewed. Last the line goes dead: Stop is prompt.
TEST(OcelixServer, OverTlsASlowLineAKilledServerAnExpiredCertificateRenewedAndADeadLine) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    TlsFront front;
    ASSERT_TRUE(front.Start(server.Port())) << front.Error();
    ThrottleProxy line(front.Port(CertKind::kGood));
    ASSERT_TRUE(line.Start());
    const auto restartFront = [&](CertKind served) {
        front.Stop();
        front.Serve(CertKind::kGood, served);
        return front.Start(server.Port());
    };
    OcelixStats killed{}, expired{}, renewed{};
    int maxQueueDelay = 0;
    bool lowered = false;
    Clock::duration threeFailures{};
    Clock::time_point stopping;
    {
        FlashBeepPublisher e("rtmps://localhost:" + std::to_string(line.Port()) + "/live/tls", 25,
                             front.Certificates().caFile.string());
        std::this_thread::sleep_for(2s);
        // 250 kbit/s for a stream of 800 + 128: sends must take the line's time.
        line.SetRate(250 * 1000 / 8);
        lowered = WaitUntil(
            [&] {
                maxQueueDelay = std::max(maxQueueDelay, e.Stats().queueDelayMs);
                return e.Stats().targetKbps <= 400;
            },
            20s);
        line.SetRate(0);

        server.Stop();
        EXPECT_TRUE(WaitUntil([&] { return e.Stats().connected == 0; }, 5s));
        ASSERT_TRUE(server.Start()) << server.Error();
        EXPECT_TRUE(WaitUntil([&] { return e.Stats().connected == 1; }, 4s));
        killed = e.Stats();

        ASSERT_TRUE(restartFront(CertKind::kExpired)) << front.Error();
        const auto expiredAt = Clock::now();
        EXPECT_TRUE(WaitUntil([&] { return e.Stats().failedAttempts >= 3; }, 12s));
        threeFailures = Clock::now() - expiredAt;
        expired = e.Stats();
        ASSERT_TRUE(restartFront(CertKind::kGood)) << front.Error();
        EXPECT_TRUE(WaitUntil([&] { return e.Stats().connected == 1; }, 4s));
        std::this_thread::sleep_for(6s);  // the renewed session, for the recording
        renewed = e.Stats();

        const int accepted = line.Accepted();
        line.GoSilent();
        ASSERT_TRUE(WaitUntil([&] { return line.Accepted() > accepted; }, 10s));
        stopping = Clock::now();
    }
    EXPECT_LT(Clock::now() - stopping, 1s);

    EXPECT_EQ(std::tie(killed.connected, killed.reconnects, killed.connectError),
              std::tuple(1, 1, OCELIX_CONNECT_OK));
    EXPECT_TRUE(lowered) << "the bit rate did not follow the slow line";
    EXPECT_LE(maxQueueDelay, 1500);
    EXPECT_EQ(std::tie(expired.connected, expired.connectError),
              std::tuple(0, OCELIX_CONNECT_CERT_EXPIRED));
    // Attempts 2 s apart: the third failure comes 4 to 6 s after the first.
    EXPECT_GT(threeFailures, 3s);
    EXPECT_LT(threeFailures, 9s);
    EXPECT_EQ(std::tie(renewed.connected, renewed.reconnects, renewed.connectError,
                       renewed.failedAttempts),
              std::tuple(1, 2, OCELIX_CONNECT_OK, 0));
    // The renewed session's recording: it starts with a key frame, decodes, and keeps lip-sync.
    const auto file = server.RecordingPath("tls");
    ExpectCleanStart(file, 5 * 25);
    ExpectLipSync(FindFlashesAndBeeps(file), INFINITY, 20, 4);
}

}  // namespace
