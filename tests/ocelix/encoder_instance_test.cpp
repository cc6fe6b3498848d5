// The encoder instance's logic with a fake clock, fake encoders and a fake RTMP layer.
#include "encoder_instance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "fakes.h"

namespace ocelix::testing {
namespace {

EncoderConfig MakeConfig(int record = 0, int width = 4, int height = 2, bool audio = true) {
    EncoderConfig c{};
    c.width = width;
    c.height = height;
    c.inputFormat = OCELIX_FORMAT_BGR24_BOTTOM_UP;
    c.frameRate = 25;
    c.bitrate = 800;
    if (audio) {
        c.samplesPerSec = 44100;
        c.bitsPerSample = 16;
        c.channels = 2;
    }
    c.record = record;
    std::snprintf(c.url, sizeof c.url, "%s", "rtmp://127.0.0.1:1935/live/room1");
    return c;
}

class InstanceTest : public ::testing::Test {
  protected:
    std::unique_ptr<CEncoderInstance> Make(const EncoderConfig& c, bool manual = true) {
        Backends b;
        b.rtmp = std::make_unique<FakeRtmp>(&rtmp);
        b.clock = std::make_unique<FakeClock>(&now);
        b.video = std::make_unique<FakeVideo>(&video);
        b.audio = std::make_unique<FakeAudio>(&audioClosed);
        b.manualThreads = manual;
        return std::make_unique<CEncoderInstance>(c, std::move(b));
    }
    RtmpRecord rtmp;
    VideoRecord video;
    std::atomic<int> audioClosed{0};
    std::atomic<uint32_t> now{1000};
};

TEST_F(InstanceTest, ConfigRecordLayoutIsFixed) {
    EXPECT_EQ(sizeof(EncoderConfig), 300u);
    EXPECT_EQ(offsetof(EncoderConfig, url), 44u);
}

// The time line the server sees: the running sum of the deltas, per packet.
std::vector<int64_t> WireTimes(const std::vector<SentPacket>& sent) {
    std::vector<int64_t> times;
    int64_t t = 0;
    for (const SentPacket& p : sent) {
        EXPECT_GE(p.timestamp, 0);
        EXPECT_LE(p.timestamp, 10000);
        t += p.timestamp;
        times.push_back(t);
    }
    return times;
}

TEST_F(InstanceTest, VideoCarriesItsHandInTimeAndARepeatItsTick) {
    // Also with an encoder that gives each picture back one call later (frame threads): the
    // time travels with the picture, not with the call that returned it.
    for (const int delay : {0, 1}) {
        SCOPED_TRACE(delay);
        {
            std::lock_guard<std::mutex> lock(rtmp.mutex);
            rtmp.sent.clear();
        }
        video.encoded = 0;
        video.delayPictures = delay;
        now = 1000;
        auto e = Make(MakeConfig(0, 4, 2, /*audio=*/false));  // started at 1000: media time 0
        ASSERT_EQ(e->Start(), 1);
        std::vector<uint8_t> frame(4 * 2 * 3, 5);
        const int converted = video.converted.load();
        now = 1010;
        e->PutVideoData(frame.data(), static_cast<int>(frame.size()));
        now = 1040;
        e->Tick();  // tick 1 at 40 ms
        e->EncodeDueFrames();
        now = 1080;
        e->Tick();  // no new picture: the last one again, at its tick's time
        e->EncodeDueFrames();
        EXPECT_EQ(video.converted.load() - converted, 1);  // the repeat is not converted again
        frame[0] = 6;
        now = 1100;
        e->PutVideoData(frame.data(), static_cast<int>(frame.size()));
        now = 1120;
        e->Tick();
        e->EncodeDueFrames();
        EXPECT_EQ(video.converted.load() - converted, 2);
        EXPECT_EQ(video.lastInput[0], 6);
        now = 1160;
        e->Tick();  // lets a held-back picture out
        e->EncodeDueFrames();
        while (e->SendPass()) {
        }
        const auto sent = rtmp.Sent();
        ASSERT_EQ(sent.size(), 4u - delay);
        const auto t = WireTimes(sent);
        // Hand-in at 10, the repeat at its tick (80), the next picture at its hand-in (100).
        EXPECT_EQ(t[1] - t[0], 70);
        EXPECT_EQ(t[2] - t[0], 90);
        e->Stop();
    }
}

TEST_F(InstanceTest, FrameClockKeepsAnExactCadence) {
    EncoderConfig c = MakeConfig(0, 4, 2, false);
    c.frameRate = 15;  // 66.67 ms: tick 15 is at exactly one second
    auto e = Make(c);
    ASSERT_EQ(e->Start(), 1);
    for (int n = 1; n <= 15; ++n) {
        now = 1000 + static_cast<uint32_t>(n * 1000 / 15);
        e->Tick();
        e->EncodeDueFrames();  // no picture handed in: every frame is a repeat at its tick
    }
    while (e->SendPass()) {
    }
    const auto t = WireTimes(rtmp.Sent());
    ASSERT_EQ(t.size(), 15u);
    EXPECT_EQ(t[14] - t[0], 1000 - 66);  // ticks 1 to 15
    for (size_t i = 1; i < t.size(); ++i)
        EXPECT_GT(t[i], t[i - 1]);
}

TEST_F(InstanceTest, AudioIsTimedByItsSamplesNotByItsArrival) {
    auto e = Make(MakeConfig(0, 4, 2, /*audio=*/true));
    ASSERT_EQ(e->Start(), 1);
    const std::vector<uint8_t> block(static_cast<size_t>(e->AudioNotifySize()), 0);
    ASSERT_EQ(block.size(), 4096u);
    std::vector<uint8_t> frame(4 * 2 * 3, 1);
    // A picture handed in at 100 ms, and the blocks recorded from 76.8 ms on: the first one
    // arrives at 100 ms, later ones with scheduling jitter of up to 15 ms.
    now = 1100;
    e->PutVideoData(frame.data(), static_cast<int>(frame.size()));
    const int jitter[] = {0, 15, 3, 0, 9, 1, 14, 0, 2, 7};
    for (int b = 0; b < 10; ++b) {
        now = 1100 + static_cast<uint32_t>(b * 1024 * 1000 / 44100 + jitter[b]);
        e->PutAudioData(block.data(), static_cast<int>(block.size()));
        if (b == 0) {
            e->Tick();
            e->EncodeDueFrames();  // the picture of 100 ms
        }
        while (e->SendPass()) {
        }
    }
    now = now + 200;  // the last blocks wait for video no longer
    while (e->SendPass()) {
    }
    const auto sent = rtmp.Sent();
    ASSERT_EQ(sent.size(), 11u);
    const auto t = WireTimes(sent);
    // Frame k of the encoder starts with sample (k - 1) x 1024 (one frame of encoder delay),
    // recorded at 76.8 ms + that many samples.
    std::vector<double> audio;
    double picture = -1;
    for (size_t i = 0; i < sent.size(); ++i) {
        if (sent[i].type == 8)
            audio.push_back(static_cast<double>(t[i]));
        else
            picture = static_cast<double>(t[i]);
    }
    ASSERT_EQ(audio.size(), 10u);
    for (size_t k = 2; k < audio.size(); ++k)
        EXPECT_NEAR(audio[k] - audio[1], (k - 1) * 1024 * 1000.0 / 44100, 1.0) << k;
    // The picture of 100 ms sits 23.2 ms after the frame that starts at 76.8 ms.
    EXPECT_NEAR(picture - audio[1], 100 - (100 - 1024 * 1000.0 / 44100), 1.0);
}

TEST_F(InstanceTest, AnEncoderSlowerThanTheClockSkipsTicksInsteadOfFallingBehind) {
    EncoderConfig c = MakeConfig(0, 4, 2, false);
    auto e = Make(c);
    video.clock = &now;
    video.costMs = 60;  // one and a half frame periods per frame
    ASSERT_EQ(e->Start(), 1);
    std::vector<uint8_t> frame(4 * 2 * 3, 0);
    int ticks = 0;
    std::vector<int64_t> lag;
    for (int i = 0; i < 100; ++i) {
        // A new picture for every frame, then the ticks that have come due meanwhile.
        frame[0] = static_cast<uint8_t>(i);
        e->PutVideoData(frame.data(), static_cast<int>(frame.size()));
        const int64_t handedIn = e->MediaNow();
        while (1000 + static_cast<uint32_t>((ticks + 1) * 40) <= now.load()) {
            e->Tick();
            ++ticks;
        }
        if (i == 0) {
            now = now + 40;
            e->Tick();
            ++ticks;
        }
        e->EncodeDueFrames();
        while (e->SendPass()) {
        }
        lag.push_back(e->MediaNow() - handedIn);
        EXPECT_LE(e->QueueDelayMs(), 0);
    }
    OcelixStats stats{};
    e->GetStats(&stats);
    EXPECT_EQ(stats.framesEncoded, 100u);
    EXPECT_EQ(stats.framesSkipped + stats.framesEncoded, static_cast<uint64_t>(ticks));
    EXPECT_GE(stats.framesSkipped, 40u);  // 150 ticks came due for 100 frames
    // The time from hand-in to sent does not grow: at most one frame's cost and a tick.
    for (int64_t l : lag)
        EXPECT_LE(l, 100);
    // And the frames carry their hand-in times, 60 ms apart like the pictures.
    const auto t = WireTimes(rtmp.Sent());
    ASSERT_EQ(t.size(), 100u);
    for (size_t i = 2; i < t.size(); ++i)
        EXPECT_EQ(t[i] - t[i - 1], 60) << i;
}

TEST_F(InstanceTest, SlowLineDropsVideoToTheNextKeyFrameAndLowersTheBitRate) {
    EncoderConfig c = MakeConfig(0, 4, 2, false);
    auto e = Make(c);
    ASSERT_EQ(e->Start(), 1);
    EXPECT_EQ(e->TargetKbps(), 800);
    // Nothing leaves for well over a second: video waits, then goes.
    for (int n = 1; n <= 40; ++n) {
        now = 1000 + static_cast<uint32_t>(n * 40);
        e->Tick();
        e->EncodeDueFrames();
        EXPECT_LE(e->QueueDelayMs(), 1040);
    }
    OcelixStats stats{};
    e->GetStats(&stats);
    EXPECT_GT(stats.packetsDropped, 20u);
    EXPECT_EQ(video.keyRequests.load(), 1);  // one request for the whole episode
    EXPECT_LT(e->TargetKbps(), 800);
    // Every video packet still queued starts at a key frame.
    ASSERT_TRUE(e->SendPass());
    EXPECT_TRUE(rtmp.Sent()[0].key);
    // The line keeps up again: after a calm while the target climbs back.
    const int low = e->TargetKbps();
    for (int n = 41; n <= 500; ++n) {
        now = 1000 + static_cast<uint32_t>(n * 40);
        e->Tick();
        e->EncodeDueFrames();
        while (e->SendPass()) {
        }
    }
    EXPECT_GT(e->TargetKbps(), low);
    EXPECT_EQ(e->TargetKbps(), 800);
    EXPECT_EQ(video.bitrate.load(), 800);
}

TEST_F(InstanceTest, SendFailureDropsQueuedPlainFramesUntilAKeyFrame) {
    auto e = Make(MakeConfig(0, 4, 2, false));
    ASSERT_EQ(e->Start(), 1);
    for (int i = 0; i < 4; ++i) {
        e->Tick();
        e->EncodeDueFrames();  // K P P P queued
    }
    e->SendPass();   // K sent
    rtmp.state = 0;  // line drops
    e->SendPass();   // P lost
    rtmp.state = 1;
    e->SendPass();  // P: useless without the lost one
    e->SendPass();  // P
    EXPECT_EQ(rtmp.Sent().size(), 1u);
    e->Tick();
    e->EncodeDueFrames();  // key frame asked for
    e->SendPass();
    const auto sent = rtmp.Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_TRUE(sent[1].key);
}

TEST_F(InstanceTest, WatchdogReconnectsWithTheSameModeAndAsksForAKeyFrame) {
    for (int record : {1, 0}) {
        rtmp.calls.clear();
        auto e = Make(MakeConfig(record));
        ASSERT_EQ(e->Start(), 1);
        e->WatchdogPass();  // up and publishing: nothing to do
        rtmp.state = 0;
        e->WatchdogPass();
        const auto calls = rtmp.Calls();
        const std::string mode = record == 1 ? "publish append" : "publish live";
        ASSERT_EQ(calls.size(), 6u);
        EXPECT_EQ(calls[0], "connect rtmp://127.0.0.1:1935/live/room1");
        EXPECT_EQ(calls[1], mode);
        EXPECT_EQ(calls[3], "connect rtmp://127.0.0.1:1935/live/room1");
        EXPECT_EQ(calls[4], mode);
        OcelixStats stats{};
        e->GetStats(&stats);
        EXPECT_EQ(stats.reconnects, 1);
        EXPECT_EQ(stats.connected, 1);
        e->Tick();
        const int before = video.keyRequests.load();
        e->EncodeDueFrames();
        EXPECT_EQ(video.keyRequests.load(), before + 1);
    }
}

TEST_F(InstanceTest, WatchdogStartsOverWhenTheServerRefusedThePublish) {
    auto e = Make(MakeConfig());
    ASSERT_EQ(e->Start(), 1);
    rtmp.state = 0;
    rtmp.publishResult = 0;  // the server still holds the old session
    e->WatchdogPass();
    OcelixStats stats{};
    e->GetStats(&stats);
    EXPECT_EQ(stats.connected, 0);
    EXPECT_EQ(rtmp.state.load(), 1);  // connected, not publishing
    e->WatchdogPass();
    EXPECT_EQ(rtmp.Calls().back(), "disconnect");
    rtmp.publishResult = 1;
    e->WatchdogPass();
    e->GetStats(&stats);
    EXPECT_EQ(stats.connected, 1);
    EXPECT_EQ(stats.reconnects, 1);
}

TEST_F(InstanceTest, MetadataNamesThePictureAndTheEncoder) {
    auto e = Make(MakeConfig(0, 640, 360));
    ASSERT_EQ(e->Start(), 1);
    EXPECT_EQ(rtmp.metadata,
              (std::vector<std::string>{"width=640", "height=360", "Createor=ZembraEncoderSDK"}));
    EXPECT_EQ(rtmp.Calls()[2], "metadata");
}

TEST_F(InstanceTest, FailedStartLeavesNoThreadsAndStopClosesWhatWasOpened) {
    rtmp.connectResult = 0;
    auto e = Make(MakeConfig(), /*manual=*/false);
    EXPECT_EQ(e->Start(), 0);
    EXPECT_EQ(e->State(), STATE_STARTING);
    EXPECT_EQ(rtmp.metadataFreed.load(), 1);  // the failed attempt's metadata is not leaked
    EXPECT_EQ(rtmp.Calls().back(), "metadata freed unsent");
    const std::vector<uint8_t> frame(4 * 2 * 3, 7);
    e->PutVideoData(frame.data(), static_cast<int>(frame.size()));  // not running: ignored
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(video.encoded.load(), 0);  // no encoding thread
    EXPECT_EQ(e->Stop(), 1);
    EXPECT_EQ(video.closed.load(), 1);
    EXPECT_EQ(audioClosed.load(), 1);
    EXPECT_EQ(rtmp.Calls().back(), "disconnect");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(e->Stop(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(video.closed.load(), 1);
}

TEST_F(InstanceTest, FramesAndBlocksOfTheWrongSizeAreIgnored) {
    auto e = Make(MakeConfig());
    ASSERT_EQ(e->Start(), 1);
    std::vector<uint8_t> frame(4 * 2 * 3, 9);
    e->PutVideoData(frame.data(), static_cast<int>(frame.size()) - 1);
    e->Tick();
    e->EncodeDueFrames();
    EXPECT_EQ(video.lastInput[0], 0);
    e->PutVideoData(frame.data(), static_cast<int>(frame.size()));
    e->Tick();
    e->EncodeDueFrames();
    EXPECT_EQ(video.lastInput[0], 9);
    std::vector<uint8_t> block(4095, 0);
    e->PutAudioData(block.data(), 4095);
    block.resize(4096);
    e->PutAudioData(block.data(), 4096);
    now = now + 200;
    while (e->SendPass()) {
    }
    int audio = 0;
    for (const SentPacket& p : rtmp.Sent())
        audio += p.type == 8 ? 1 : 0;
    EXPECT_EQ(audio, 1);
}

TEST_F(InstanceTest, InstanceWithoutVideoOrAudio) {
    auto e = Make(MakeConfig(0, 0, 0, false));
    ASSERT_EQ(e->Start(), 1);
    EXPECT_EQ(video.opened.load(), 0);
    EXPECT_EQ(e->AudioNotifySize(), 0);
    std::vector<uint8_t> any(100, 1);
    e->PutVideoData(any.data(), 100);
    e->PutAudioData(any.data(), 100);
    e->Tick();
    e->EncodeDueFrames();
    EXPECT_EQ(video.encoded.load(), 0);
    EXPECT_TRUE(rtmp.Sent().empty());
}

TEST_F(InstanceTest, ReleaseStopsAndFreesTheRtmpHandle) {
    {
        auto e = Make(MakeConfig(), /*manual=*/false);
        ASSERT_EQ(e->Start(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(rtmp.released.load(), 1);
    EXPECT_EQ(video.closed.load(), 1);
}

TEST_F(InstanceTest, ThreadsEncodeAtTheClockRate) {
    auto e = Make(MakeConfig(0, 4, 2, false), /*manual=*/false);
    ASSERT_EQ(e->Start(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    e->Stop();
    // 25 fps for half a second: about 12 frames; generous bounds for a busy machine.
    EXPECT_GE(video.encoded.load(), 5);
    EXPECT_LE(video.encoded.load(), 14);
    EXPECT_GE(rtmp.Sent().size(), 4u);
}

TEST_F(InstanceTest, StatsCountBytesRateAndTheLine) {
    auto e = Make(MakeConfig(0, 4, 2, false));
    ASSERT_EQ(e->Start(), 1);
    const std::vector<uint8_t> frame(4 * 2 * 3, 1);
    for (int i = 0; i < 10; ++i) {
        now = now + 100;
        e->PutVideoData(frame.data(), static_cast<int>(frame.size()));
        e->Tick();
        e->EncodeDueFrames();
        ASSERT_TRUE(e->SendPass());
    }
    now = now + 100;
    OcelixStats stats{};
    e->GetStats(&stats);
    EXPECT_EQ(stats.videoPacketsSent, 10u);
    EXPECT_EQ(stats.bytesSent, 500u);
    EXPECT_EQ(stats.sendKbps, 4);  // 500 bytes in the last second
    EXPECT_EQ(stats.elapsedMs, 1100);
    EXPECT_EQ(stats.framesSkipped, 0u);
    EXPECT_EQ(stats.targetKbps, 800);
    EXPECT_EQ(stats.queueDelayMs, 0);
    e->PutVideoData(frame.data(), static_cast<int>(frame.size()));
    e->Tick();
    e->EncodeDueFrames();  // waits in the queue
    now = now + 300;
    e->GetStats(&stats);
    EXPECT_EQ(stats.queueDelayMs, 300);
}

}  // namespace
}  // namespace ocelix::testing
