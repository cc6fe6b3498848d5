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

TEST_F(InstanceTest, AudioCountsOneMillisecondAndVideoTheRest) {
    auto e = Make(MakeConfig());
    ASSERT_EQ(e->Start(), 1);
    const std::vector<uint8_t> block(static_cast<size_t>(e->AudioNotifySize()), 0);
    EXPECT_EQ(e->AudioNotifySize(), 4096);
    now = 1100;
    e->PutAudioData(block.data(), static_cast<int>(block.size()));
    e->PutAudioData(block.data(), static_cast<int>(block.size()));
    const uint8_t key[] = {0, 0, 0, 1, 0x65, 1};
    e->SendPacket(key, sizeof key, kVideoType, true, 1100);  // a frame of the tick at 1100 ms
    const auto sent = rtmp.Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].type, 8);
    EXPECT_EQ(sent[0].timestamp, 1);
    EXPECT_EQ(sent[1].timestamp, 1);
    EXPECT_EQ(sent[2].type, 9);
    EXPECT_EQ(sent[2].timestamp, 98);
}

TEST_F(InstanceTest, ConnectionDownDropsWithoutTouchingTheTimeBase) {
    auto e = Make(MakeConfig());
    ASSERT_EQ(e->Start(), 1);
    rtmp.state = 0;
    const uint8_t key[] = {0, 0, 0, 1, 0x65, 1};
    e->SendPacket(key, sizeof key, kVideoType, true, 1040);
    EXPECT_TRUE(rtmp.Sent().empty());
    rtmp.state = 1;
    e->SendPacket(key, sizeof key, kVideoType, true, 1080);
    ASSERT_EQ(rtmp.Sent().size(), 1u);
    EXPECT_EQ(rtmp.Sent()[0].timestamp, 80);  // the whole time since the last sent packet
}

TEST_F(InstanceTest, FramesAreTimedByTheirTicksHoweverLateTheyAreSent) {
    auto e = Make(MakeConfig());  // 25 fps: a tick every 40 ms from the start at 1000 ms
    ASSERT_EQ(e->Start(), 1);
    for (int i = 0; i < 3; ++i)
        e->Tick();
    e->EncodeDueFrames();  // three ticks encoded late, in a row
    now = 1500;            // and sent later still, one right after the other
    for (int i = 0; i < 3; ++i)
        e->SendPass();
    const auto sent = rtmp.Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].timestamp, 40);
    EXPECT_EQ(sent[1].timestamp, 40);
    EXPECT_EQ(sent[2].timestamp, 40);
}

TEST_F(InstanceTest, FullRingDropsThePacketAndTheFollowingNonKeyPackets) {
    auto e = Make(MakeConfig());
    ASSERT_EQ(e->Start(), 1);
    for (int i = 0; i < 101; ++i)
        e->Tick();
    e->EncodeDueFrames();
    EXPECT_EQ(e->RingCount(), 100);
    OcelixStats stats{};
    e->GetStats(&stats);
    EXPECT_EQ(stats.framesEncoded, 101u);
    EXPECT_EQ(stats.packetsDropped, 1u);
    // Room again: the next frames are dropped until the asked-for key frame comes.
    for (int i = 0; i < 3; ++i)
        e->SendPass();
    e->Tick();
    e->EncodeDueFrames();  // takes the key request: this frame is a key frame
    EXPECT_EQ(video.keyRequests.load(), 1);
    EXPECT_EQ(e->RingCount(), 98);
    e->Tick();
    e->EncodeDueFrames();
    EXPECT_EQ(e->RingCount(), 99);  // a plain frame after the key frame goes in again

    // A loss while the ring is full: the next plain frame is refused even with room.
    video.keyRequests = 0;
    e->Tick();
    e->EncodeDueFrames();  // fills the last slot
    e->Tick();
    e->EncodeDueFrames();  // lost: full
    e->SendPass();
    e->GetStats(&stats);
    const auto droppedBefore = stats.packetsDropped;
    e->Tick();
    e->EncodeDueFrames();  // key frame (requested) goes in
    EXPECT_EQ(video.keyRequests.load(), 1);
    e->GetStats(&stats);
    EXPECT_EQ(stats.packetsDropped, droppedBefore);
}

TEST_F(InstanceTest, SendFailureDropsQueuedPlainFramesUntilAKeyFrame) {
    auto e = Make(MakeConfig());
    ASSERT_EQ(e->Start(), 1);
    for (int i = 0; i < 4; ++i)
        e->Tick();
    e->EncodeDueFrames();  // K P P P queued
    e->SendPass();         // K sent
    rtmp.state = 0;        // line drops
    e->SendPass();         // P lost
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
    EXPECT_TRUE(rtmp.Sent().empty());
    block.resize(4096);
    e->PutAudioData(block.data(), 4096);
    EXPECT_EQ(rtmp.Sent().size(), 1u);
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
    auto e = Make(MakeConfig(), /*manual=*/false);
    ASSERT_EQ(e->Start(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    e->Stop();
    // 25 fps for half a second: about 12 frames; generous bounds for a busy machine.
    EXPECT_GE(video.encoded.load(), 5);
    EXPECT_LE(video.encoded.load(), 14);
    EXPECT_GE(rtmp.Sent().size(), 4u);
}

TEST_F(InstanceTest, StatsCountBytesAndRate) {
    auto e = Make(MakeConfig());
    ASSERT_EQ(e->Start(), 1);
    const uint8_t key[1000] = {0, 0, 0, 1, 0x65};
    for (int i = 0; i < 10; ++i) {
        now = now + 100;
        e->SendPacket(key, sizeof key, kVideoType, true, now);
    }
    now = now + 100;
    OcelixStats stats{};
    e->GetStats(&stats);
    EXPECT_EQ(stats.videoPacketsSent, 10u);
    EXPECT_EQ(stats.bytesSent, 10000u);
    EXPECT_EQ(stats.sendKbps, 80);  // 10000 bytes in the last second
    EXPECT_EQ(stats.elapsedMs, 1100);
}

}  // namespace
}  // namespace ocelix::testing
