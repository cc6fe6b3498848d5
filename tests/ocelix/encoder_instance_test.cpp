// The encoder instance's logic with a fake clock, fake encoders and a fake RTMP layer.
#include "encoder_instance.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>

#include "fakes.h"
#include "support/child_process.h"
#include "support/encoder_config.h"

namespace ocelix::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;
using namespace std::chrono_literals;

const std::string kUrl = "rtmp://127.0.0.1:1935/live/room1";

// A 4 x 2 picture (24 bytes) at `fps`, 800 kbit/s; with stereo sound at `sampleRate` (0: none).
EncoderConfig Small(int fps, int sampleRate) {
    return rtmp::test::MakeEncoderConfig(kUrl, 4, 2, fps, sampleRate);
}

class InstanceTest : public ::testing::Test {
  protected:
    // A new instance `e` for the config on the fakes, started; what Start returned. The calls
    // and packets of the previous one are forgotten.
    int Start(const EncoderConfig& c, bool manual = true) {
        e.reset();
        rtmp.calls.clear();
        rtmp.sent.clear();
        e = std::make_unique<CEncoderInstance>(
            c, Backends{std::make_unique<FakeRtmp>(&rtmp), std::make_unique<FakeClock>(&now),
                        std::make_unique<FakeVideo>(&video), std::make_unique<FakeAudio>(&video),
                        manual});
        return e->Start();
    }
    // A frame-clock tick and the encoding it brings, at media time ms (clock 1000 + ms).
    void TickAt(uint32_t ms) {
        now = 1000 + ms;
        e->Tick();
        e->EncodeDueFrames();
    }
    // A picture handed in now, or taken at media time atMs (clock 1000 + atMs).
    void Put(uint8_t first, std::optional<uint32_t> atMs = {}, int size = 24) {
        if (atMs)
            now = 1000 + *atMs;
        std::vector<uint8_t> frame(static_cast<size_t>(std::max(size, 1)), 7);
        frame[0] = first;
        e->PutVideoData(frame.data(), size);
    }
    void Drain() {
        while (e->SendPass()) {
        }
    }
    // The time line the server sees: the running sum of the deltas, per packet of `type` (8
    // audio, 9 video, 0 both).
    std::vector<int64_t> WireTimes(int type = 0) {
        std::vector<int64_t> times;
        int64_t t = 0;
        for (const SentPacket& p : rtmp.Sent()) {
            EXPECT_TRUE(p.timestamp >= 0 && p.timestamp <= 10000) << p.timestamp;
            t += p.timestamp;
            if (type == 0 || p.type == type)
                times.push_back(t);
        }
        return times;
    }
    OcelixStats Stats() {
        OcelixStats s{};
        e->GetStats(&s);
        return s;
    }
    RtmpRecord rtmp;
    EncoderRecord video;
    std::atomic<uint32_t> now{1000};
    std::unique_ptr<CEncoderInstance> e;
};

TEST_F(InstanceTest, VideoCarriesTheGridPointItWasTakenAtAndARepeatItsTick) {
    // Also with an encoder that gives each picture back one call later (frame threads): the
    // time travels with the picture, not with the call that returned it.
    for (const int delay : {0, 1}) {
        SCOPED_TRACE(delay);
        video.encoded = video.converted = 0;
        video.delayPictures = delay;
        now = 1000;
        ASSERT_EQ(Start(Small(25, 0)), 1);  // started at 1000: media time 0
        // Pictures taken at the grid points 0 and 40 ms, handed in a grab later.
        Put(5, 10);
        TickAt(40);
        Put(4, 45);
        TickAt(80);
        TickAt(120);  // no new picture: the last one again, at its tick's time
        EXPECT_EQ(video.converted.load(), 2);  // the repeat is not converted again
        // Taken at 120 like the repeat: the next grid point.
        Put(6, 130);
        TickAt(160);
        EXPECT_EQ(std::tuple(video.converted.load(), video.lastInput[0]), std::tuple(3, 6));
        TickAt(200);  // lets a held-back picture out
        Drain();
        const auto t = WireTimes();
        ASSERT_EQ(t.size(), 5u - delay);
        EXPECT_EQ(std::vector<int64_t>(t.begin(), t.begin() + 4),
                  (std::vector<int64_t>{t[0], t[0] + 40, t[0] + 120, t[0] + 160}));
    }
}

TEST_F(InstanceTest, FrameClockKeepsAnExactCadence) {
    ASSERT_EQ(Start(Small(15, 0)), 1);  // 66.67 ms: tick 15 is at exactly one second
    for (uint32_t n = 1; n <= 14; ++n)
        TickAt(n * 1000 / 15);  // no picture handed in: every frame a repeat at its tick
    // Taken at the grid point of 933 ms, which the repeat of tick 14 holds: the next one.
    Put(3, 935);
    TickAt(1000);
    Drain();
    const auto t = WireTimes();
    ASSERT_EQ(t.size(), 15u);
    EXPECT_EQ(t[14] - t[0], 1000 - 66);  // ticks 1 to 15
    for (size_t i = 1; i < t.size(); ++i)
        EXPECT_TRUE(t[i] - t[i - 1] == 66 || t[i] - t[i - 1] == 67) << i;
}

// Also: a picture or a block one byte short is ignored.
TEST_F(InstanceTest, AudioIsTimedByItsSamplesNotByItsArrivalAndWrongSizesAreIgnored) {
    ASSERT_EQ(Start(Small(25, 44100)), 1);
    const std::vector<uint8_t> block(static_cast<size_t>(e->AudioNotifySize()), 0);  // 4096 bytes
    // A picture taken at 80 ms (handed in at 95), and the blocks recorded from 76.8 ms on: the
    // first one arrives at 100 ms, later ones with scheduling jitter of up to 15 ms.
    Put(1, 95);
    Put(9, {}, 23);
    const int jitter[] = {0, 15, 3, 0, 9, 1, 14, 0, 2, 7};
    for (int b = 0; b < 10; ++b) {
        now = 1100 + static_cast<uint32_t>(b * 1024 * 1000 / 44100 + jitter[b]);
        e->PutAudioData(block.data(), 4095);
        e->PutAudioData(block.data(), 4096);
        if (b == 0)
            TickAt(100);  // the picture of 100 ms
        Drain();
    }
    now = now + 200;  // the last blocks wait for video no longer
    Drain();
    const auto audio = WireTimes(8), pictures = WireTimes(9);
    // Frame k of the encoder starts with sample (k - 1) x 1024 (one frame of encoder delay),
    // recorded at 76.8 ms + that many samples. The stream starts with the picture: the frames
    // of 53.6 and 76.8 ms, before it, are left out.
    ASSERT_EQ(audio.size(), 8u);
    ASSERT_EQ(pictures.size(), 1u);
    for (size_t k = 1; k < audio.size(); ++k)
        EXPECT_NEAR(audio[k] - audio[0], k * 1024 * 1000.0 / 44100, 1.0) << k;
    // The frame of 100 ms sits 20 ms after the picture of 80 ms.
    EXPECT_NEAR(audio[0] - pictures[0], 100 - 80, 1.0);
    EXPECT_EQ(video.lastInput[0], 1);

    // An instance without picture and sound encodes and sends nothing.
    video.opened = video.encoded = 0;
    ASSERT_EQ(Start(rtmp::test::MakeEncoderConfig(kUrl, 0, 0, 25, 0)), 1);
    EXPECT_EQ(video.opened.load(), 0);
    EXPECT_EQ(e->AudioNotifySize(), 0);
    Put(1, {}, 100);
    e->PutAudioData(block.data(), 100);
    TickAt(40);
    EXPECT_EQ(video.encoded.load(), 0);
    EXPECT_TRUE(rtmp.Sent().empty());
}

TEST_F(InstanceTest, AnEncoderSlowerThanTheClockSkipsTicksInsteadOfFallingBehind) {
    ASSERT_EQ(Start(Small(25, 0)), 1);
    video.clock = &now;
    video.costMs = 60;  // one and a half frame periods per frame
    uint32_t ticks = 0;
    now = 1040;  // the first picture comes with the first tick
    for (int i = 0; i < 100; ++i) {
        // A new picture for every frame, then the ticks that have come due meanwhile.
        Put(static_cast<uint8_t>(i));
        const int64_t handedIn = e->MediaNow();
        for (; 1000 + (ticks + 1) * 40 <= now.load(); ++ticks)
            e->Tick();
        e->EncodeDueFrames();
        Drain();
        // The time from hand-in to sent does not grow: at most one frame's cost and a tick.
        EXPECT_LE(e->MediaNow() - handedIn, 100);
        EXPECT_LE(e->QueueDelayMs(), 0);
    }
    const OcelixStats stats = Stats();
    EXPECT_EQ(std::tuple(stats.framesEncoded, stats.framesSkipped + stats.framesEncoded),
              std::tuple(100u, ticks));
    EXPECT_GE(stats.framesSkipped, 40u);  // 150 ticks came due for 100 frames
    // And the frames sit on the grid, a whole number of periods apart: 40 or 80 ms for
    // pictures that came every 60 ms.
    const auto t = WireTimes();
    ASSERT_EQ(t.size(), 100u);
    for (size_t i = 2; i < t.size(); ++i)
        EXPECT_TRUE(t[i] - t[i - 1] == 40 || t[i] - t[i - 1] == 80) << i << ": " << t[i] - t[i - 1];
    EXPECT_NEAR(t.back() - t[1], 98 * 60, 40);
}

TEST_F(InstanceTest, SlowLineDropsVideoToTheNextKeyFrameAndLowersTheBitRate) {
    ASSERT_EQ(Start(Small(25, 0)), 1);
    EXPECT_EQ(e->TargetKbps(), 800);
    // Nothing leaves for well over a second: video waits, then goes.
    for (uint32_t n = 1; n <= 40; ++n) {
        TickAt(n * 40);
        EXPECT_LE(e->QueueDelayMs(), 1040);
    }
    EXPECT_GT(Stats().packetsDropped, 20u);
    EXPECT_EQ(video.keyRequests.load(), 1);  // one request for the whole episode
    EXPECT_LT(e->TargetKbps(), 800);
    // Every video packet still queued starts at a key frame.
    ASSERT_TRUE(e->SendPass());
    EXPECT_TRUE(rtmp.Sent()[0].key);
    // The line keeps up again: after a calm while the target climbs back.
    for (uint32_t n = 41; n <= 500; ++n) {
        TickAt(n * 40);
        Drain();
    }
    EXPECT_EQ(std::tuple(e->TargetKbps(), video.bitrate.load()), std::tuple(800, 800));
}

// A minute on a line of 500 bytes/s, below the sound's own 862 (a 20-byte frame every
// 23.2 ms), then a line that keeps up, in simulated milliseconds: the queue holds at most a
// second and what a second brings, every packet that never left is counted as dropped, the
// server's time stays within that second of the media clock, and video comes back starting
// with a key frame.
TEST_F(InstanceTest, ALineSlowerThanTheSoundKeepsTheQueueBoundedAndVideoComesBack) {
    ASSERT_EQ(Start(Small(25, 44100)), 1);
    const std::vector<uint8_t> block(static_cast<size_t>(e->AudioNotifySize()), 0);
    uint64_t blocks = 0, ticks = 0, maxHeld = 0, leftOut = 0;
    int64_t lineFreeAt = 0, firstSent = -1, wireTime = 0, maxDelay = 0, maxLag = 0;
    // The frame clock, the sound card, and a line busy for as long as the last packet takes
    // at its rate (0: no limit).
    const auto run = [&](int64_t untilMs, int64_t bytesPerSecond) {
        for (int64_t ms = now - 1000; ms < untilMs; ++ms) {
            now = static_cast<uint32_t>(1000 + ms);
            if (ms >= static_cast<int64_t>(ticks + 1) * 40) {
                ++ticks;
                e->Tick();
                e->EncodeDueFrames();
            }
            if (ms >= static_cast<int64_t>((blocks + 1) * 1024 * 1000 / 44100)) {
                ++blocks;
                e->PutAudioData(block.data(), static_cast<int>(block.size()));
            }
            for (size_t before = rtmp.sent.size(); ms >= lineFreeAt && e->SendPass();
                 before = rtmp.sent.size()) {
                if (rtmp.sent.size() == before) {
                    ++leftOut;  // sound before the stream's first picture
                    continue;
                }
                const SentPacket& p = rtmp.sent.back();
                firstSent = firstSent < 0 ? ms : firstSent;
                wireTime += p.timestamp;
                maxLag = std::max(maxLag, ms - firstSent - wireTime);
                if (bytesPerSecond > 0)
                    lineFreeAt = ms + p.length * 1000 / bytesPerSecond;
            }
            const OcelixStats s = Stats();
            maxHeld = std::max(maxHeld, blocks + s.framesEncoded - s.audioPacketsSent -
                                            s.videoPacketsSent - s.packetsDropped - leftOut);
            maxDelay = std::max<int64_t>(maxDelay, e->QueueDelayMs());
        }
    };
    run(60000, 500);
    const OcelixStats slow = Stats();
    // A second of sound and of pictures at most, up to one push later than the bound.
    EXPECT_LE(maxDelay, 1000 + 24);
    EXPECT_LE(maxHeld, 44u + 25u);
    EXPECT_LE(maxLag, 1100);
    EXPECT_GT(slow.packetsDropped, 1000u);  // of 2586 frames and 1500 pictures
    const size_t recovered = rtmp.sent.size();
    run(63000, 0);
    const auto first =
        std::find_if(rtmp.sent.begin() + static_cast<std::ptrdiff_t>(recovered), rtmp.sent.end(),
                     [](const SentPacket& p) { return p.type == 9; });
    ASSERT_NE(first, rtmp.sent.end());
    EXPECT_TRUE(first->key);
    EXPECT_GE(video.keyRequests.load(), 1);
    EXPECT_GE(Stats().videoPacketsSent - slow.videoPacketsSent, 50u);
    EXPECT_LE(e->QueueDelayMs(), 100);
    // Nothing of the time of what was dropped is lost on the wire.
    EXPECT_NEAR(static_cast<double>(wireTime), static_cast<double>(62999 - firstSent), 150);
}

TEST_F(InstanceTest, SendFailureDropsQueuedPlainFramesUntilAKeyFrame) {
    ASSERT_EQ(Start(Small(25, 0)), 1);
    for (int i = 0; i < 4; ++i)
        TickAt(0);   // K P P P queued
    e->SendPass();   // K sent
    rtmp.state = 0;  // line drops
    e->SendPass();   // P lost
    rtmp.state = 1;
    e->SendPass();  // P: useless without the lost one
    e->SendPass();  // P
    EXPECT_EQ(rtmp.Sent().size(), 1u);
    TickAt(0);  // key frame asked for
    e->SendPass();
    EXPECT_THAT(rtmp.Sent(),
                ElementsAre(Field(&SentPacket::key, true), Field(&SentPacket::key, true)));
}

TEST_F(InstanceTest, WatchdogReconnectsWithTheSameModeAndAsksForAKeyFrame) {
    for (int record : {1, 0}) {
        ASSERT_EQ(Start(rtmp::test::MakeEncoderConfig(kUrl, 640, 360, 25, 44100, 2, record)), 1);
        e->WatchdogPass();  // up and publishing: nothing to do
        rtmp.state = 0;
        e->WatchdogPass();
        // The session, the lost connection closed at once, and the same session again.
        std::vector<std::string> twice;
        for (int i = 0; i < 2; ++i) {
            if (i == 1)
                twice.push_back("disconnect");
            twice.insert(twice.end(),
                         {"width=640", "height=360", "Createor=ZembraEncoderSDK", "connect " + kUrl,
                          record == 1 ? "publish append" : "publish live", "metadata"});
        }
        EXPECT_EQ(rtmp.Calls(), twice);
        EXPECT_EQ(std::tuple(Stats().reconnects, Stats().connected), std::tuple(1, 1));
        const int before = video.keyRequests.load();
        TickAt(0);
        EXPECT_EQ(video.keyRequests.load(), before + 1);
        // The server still holds the old session and refuses the publish: the next pass drops
        // the connection, the one after starts over.
        rtmp.state = 0;
        rtmp.publishResult = 0;
        e->WatchdogPass();
        // Connected, not publishing.
        EXPECT_EQ(std::tuple(Stats().connected, rtmp.state.load()), std::tuple(0, 1));
        e->WatchdogPass();
        EXPECT_EQ(rtmp.Calls().back(), "disconnect");
        rtmp.publishResult = 1;
        e->WatchdogPass();
        EXPECT_EQ(std::tuple(Stats().reconnects, Stats().connected), std::tuple(2, 1));
    }
}

// Also: Stop closes what a failed start opened, and a release without a Stop frees everything.
TEST_F(InstanceTest, FailedStartLeavesNoThreadsAndARunningOneEncodesAtTheClockRate) {
    rtmp.connectResult = 0;
    EXPECT_EQ(Start(Small(25, 44100), /*manual=*/false), 0);
    EXPECT_EQ(e->State(), STATE_STARTING);
    Put(7);  // not running: ignored
    e->Tick();
    EXPECT_EQ(e->Stop(), 1);
    // No encoding thread took the tick; both encoders are closed.
    EXPECT_EQ(std::tuple(video.encoded.load(), video.closed.load(), video.audioClosed.load()),
              std::tuple(0, 1, 1));
    // The failed attempt's metadata is freed, not leaked.
    EXPECT_EQ(rtmp.Calls(),
              (std::vector<std::string>{"width=4", "height=2", "Createor=ZembraEncoderSDK",
                                        "connect " + kUrl, "metadata freed unsent", "disconnect",
                                        "disconnect"}));
    EXPECT_EQ(e->Stop(), 1);
    EXPECT_EQ(video.closed.load(), 1);

    // A Stop from another thread while Start is still opening the encoders: the Start gives
    // up, and what it opened is closed.
    e.reset();
    rtmp.connectResult = 1;
    video.closed = video.audioClosed = video.opened = 0;
    video.openTime = 100ms;
    auto starting = std::async(std::launch::async, [&] { return Start(Small(25, 44100), false); });
    ASSERT_TRUE(rtmp::test::WaitUntil([&] { return video.opened.load() == 1; }, 5s));
    EXPECT_EQ(e->Stop(), 1);
    EXPECT_EQ(starting.get(), 0);
    EXPECT_EQ(std::tuple(video.closed.load(), video.audioClosed.load()), std::tuple(1, 1));
    video.openTime = 0ms;

    e.reset();
    rtmp.connectResult = 1;
    rtmp.released = video.closed = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Start(Small(25, 0), /*manual=*/false), 1);
    ASSERT_TRUE(rtmp::test::WaitUntil([&] { return rtmp.Sent().size() >= 5; }, 10s));
    e.reset();  // released without a Stop
    // 25 fps: never more frames than ticks could have come (a generous bound for the machine).
    EXPECT_LE(video.encoded.load(), (std::chrono::steady_clock::now() - start) / 40ms + 2);
    EXPECT_EQ(std::tuple(rtmp.released.load(), video.closed.load()), std::tuple(1, 1));
}

TEST_F(InstanceTest, StatsCountBytesRateAndTheLine) {
    ASSERT_EQ(Start(Small(25, 0)), 1);
    for (uint32_t i = 1; i <= 10; ++i) {
        Put(1, i * 100);
        TickAt(i * 100);
        ASSERT_TRUE(e->SendPass());
    }
    EXPECT_EQ(Stats().sendKbps, 3);  // the rate leaves out the current 100 ms: 450 bytes
    now = now + 100;
    // 500 bytes in the last second: 4 kbit/s.
    const OcelixStats s = Stats();
    EXPECT_EQ(std::tie(s.videoPacketsSent, s.bytesSent, s.sendKbps, s.elapsedMs, s.framesSkipped,
                       s.targetKbps, s.queueDelayMs),
              std::tuple(10u, 500u, 4, 1100, 0u, 800, 0));
    Put(1);
    TickAt(1100);  // waits in the queue, taken at the grid point nearest to it: 1120 ms
    now = now + 300;
    EXPECT_EQ(Stats().queueDelayMs, 280);
}

}  // namespace
}  // namespace ocelix::testing
