// Audio capture: the capture's thread and ring buffer against a device the test feeds, the device
// list built from ALSA's hints, and the capture through a real ALSA PCM (a test configuration
// defines a capture PCM with the `file` plugin that hands over a file's bytes).
#include "capture/capture_audio.h"

#include <alsa/asoundlib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <tuple>

#include "audio_test_doubles.h"
#include "capture/audio_device_list.h"
#include "capture/audio_looping_buffer.h"
#include "support/child_process.h"

namespace capture {
namespace {

using namespace std::chrono_literals;
using namespace test;
using testing::Field;

constexpr uint32_t kBlock = 4096;

// `count` blocks of the pattern, from block `first` on.
std::vector<std::vector<uint8_t>> Blocks(size_t first, size_t count) {
    std::vector<std::vector<uint8_t>> blocks;
    for (size_t i = first; i < first + count; ++i)
        blocks.push_back(Pattern(kBlock, i * kBlock));
    return blocks;
}

class CaptureAudioTest : public ::testing::Test {
  protected:
    CaptureAudioTest() {
        audio_.SetFormat(44100, 16, 2);
        audio_.SetFinalWait(0ms);
    }

    // Opens the primary device and starts capturing into sink_ with 4096-byte blocks.
    void StartCapture() {
        ASSERT_TRUE(audio_.Open(std::string()));
        audio_.SetBlockSize(kBlock);
        ASSERT_EQ(audio_.Start(1, &sink_), 0);
    }

    std::shared_ptr<FakeAudioState> state_ = std::make_shared<FakeAudioState>();
    RecordingMessageSink messages_;
    RecordingAudioSink sink_;
    CCaptureAudio audio_{std::make_unique<FakeAudioDevice>(state_), &messages_};
};

// The primary entry opens the default PCM and a named one its PCM; no entry, a device that cannot
// be opened, or a block size set before the open leave nothing to start. Start sets up sixteen
// blocks of the block size. Half a block waits for the rest; a late wake-up finds several blocks
// and hands them over one by one, in order; so does the end.
TEST_F(CaptureAudioTest, OpenThenSixteenBlocksDeliveredOneByOneInOrder) {
    EXPECT_FALSE(audio_.Open(std::nullopt));
    EXPECT_EQ(audio_.Start(1, &sink_), 1);
    audio_.SetBlockSize(kBlock);
    EXPECT_TRUE(audio_.Open(std::string()));
    EXPECT_EQ(audio_.Start(1, &sink_), 1);
    EXPECT_TRUE(audio_.Open(std::string("sysdefault:CARD=PCH")));
    state_->failOpen = true;
    EXPECT_FALSE(audio_.Open(std::string("hw:CARD=Gone,DEV=0")));
    audio_.SetBlockSize(kBlock);
    EXPECT_EQ(audio_.Start(1, &sink_), 1);
    state_->failOpen = false;

    StartCapture();
    EXPECT_EQ(state_->opened, (std::vector<std::string>{"default", "sysdefault:CARD=PCH",
                                                        "hw:CARD=Gone,DEV=0", "default"}));
    for (uint32_t i = 0; i < AudioLoopingBuffer::kBlockCount; ++i)
        EXPECT_EQ(audio_.NotificationOffsets().at(i), kBlock * (i + 1) - 1) << i;
    const auto& [f, periodBytes, periodCount] = state_->configured;
    EXPECT_EQ(std::tuple(audio_.BufferSize(), periodBytes, periodCount, state_->starts),
              std::tuple(65536u, kBlock, 16u, 1));
    EXPECT_EQ(std::tuple(f.samplesPerSec, f.channels, f.BlockAlign(), f.AvgBytesPerSec()),
              std::tuple(44100, 2, 4, 176400));
    // A second start while capturing is refused and leaves the capture alone; an open changes
    // nothing.
    EXPECT_EQ(audio_.Start(1, &sink_), 1);
    EXPECT_TRUE(audio_.Open(std::string("other")));
    EXPECT_EQ(std::tuple(state_->starts, state_->opened.size(), audio_.BlockSize()),
              std::tuple(1, 4u, kBlock));

    state_->Push(Pattern(6144, 0));
    ASSERT_TRUE(sink_.WaitForBytes(kBlock, 2s));
    // A delivery of the half before the rest came would show as a short call between the two.
    state_->Push(Pattern(2048 + 3 * kBlock + 100, 6144));
    ASSERT_TRUE(sink_.WaitForBytes(5 * kBlock, 2s));
    EXPECT_EQ(sink_.Calls(), Blocks(0, 5));

    // Ending the capture hands the last whole blocks (here two, and 10 bytes more) over to the
    // sink given with the end, while the thread sleeps.
    state_->holdWaits = true;
    state_->Push(Pattern(2 * kBlock - 90, 5 * kBlock + 100));
    RecordingAudioSink last;
    EXPECT_EQ(audio_.Start(0, &last), 0);
    EXPECT_EQ(std::tuple(state_->stops, state_->callsDuringWait), std::tuple(1, 0));
    EXPECT_EQ(last.Calls(), Blocks(5, 2));
    EXPECT_EQ(sink_.Calls().size(), 5u);
    EXPECT_FALSE(audio_.IsCapturing());
}

// Whole parts split only where the buffer wraps; Stop ends the waiting thread before the device
// goes. A later capture whose device fails ends its thread with a message.
TEST_F(CaptureAudioTest, WholePartsModeStopEndsTheWaitingThreadAndADeviceFailureIsTold) {
    audio_.SetDeliverSingleBlocks(false);
    StartCapture();
    state_->Push(Pattern(15 * kBlock, 0));
    ASSERT_TRUE(sink_.WaitForBytes(15 * kBlock, 2s));
    // Two blocks that wrap past the end: two parts of one block each, in order. The next block
    // starts one block past the buffer start, where the capture went on.
    state_->Push(Pattern(2 * kBlock, 15 * kBlock));
    ASSERT_TRUE(sink_.WaitForBytes(17 * kBlock, 2s));
    state_->Push(Pattern(kBlock, 17 * kBlock));
    ASSERT_TRUE(sink_.WaitForBytes(18 * kBlock, 2s));
    auto parts = Blocks(15, 3);
    parts.insert(parts.begin(), Pattern(15 * kBlock, 0));
    EXPECT_EQ(sink_.Calls(), parts);

    // The thread settles into a wait that only a wake-up or its timeout ends.
    ASSERT_TRUE(rtmp::test::WaitUntil([&] { return state_->waitsInProgress > 0; }, 2s));
    EXPECT_TRUE(audio_.Stop());
    // One wake-up cut the wait short (it was not left to run out); the device was stopped and,
    // after the close that came with the open, closed again, neither while the thread waited.
    EXPECT_EQ(std::tuple(state_->wakes, state_->stops, state_->closes, state_->callsDuringWait),
              std::tuple(1, 1, 2, 0));
    EXPECT_FALSE(audio_.IsCapturing());
    // The thread is gone: nothing read or delivered after the stop.
    state_->Push(Pattern(kBlock, 0));
    EXPECT_EQ(std::tuple(state_->pending.size(), sink_.Calls().size()), std::tuple(kBlock, 4u));

    state_->failRead = true;
    StartCapture();
    ASSERT_TRUE(rtmp::test::WaitUntil([&] { return !messages_.Texts().empty(); }, 2s));
    EXPECT_EQ(messages_.Texts(), std::vector<std::string>{CCaptureAudio::kNotificationErrorText});
    EXPECT_EQ(sink_.Calls().size(), 4u);
    EXPECT_TRUE(audio_.Stop());
}

// The capture's ring buffer on its own (whole blocks and their order: the tests above): block
// sizes without a buffer are refused, and the capture never overwrites bytes not taken yet.
TEST(AudioLoopingBufferTest, RefusesBlockSizesWithoutABufferAndNeverOverwritesUntakenBytes) {
    AudioLoopingBuffer ring;
    EXPECT_FALSE(ring.Reset(0));
    EXPECT_FALSE(ring.Reset(std::numeric_limits<uint32_t>::max() / 16 + 1));
    EXPECT_EQ(
        std::tuple(ring.BufferBytes(), ring.WritableRegion().size(), ring.TakeWholeBlocks().count),
        std::tuple(0u, 0u, 0));
    ASSERT_TRUE(ring.Reset(16));
    // One byte stays free, so a full buffer is never mistaken for an empty one.
    EXPECT_EQ(ring.WritableRegion().size(), 255u);
    EXPECT_FALSE(ring.Commit(256));
    ASSERT_TRUE(ring.Commit(255));
    EXPECT_TRUE(ring.WritableRegion().empty());
    EXPECT_FALSE(ring.Commit(1));
    EXPECT_EQ(ring.Available(), 255u);
    const AudioLoopingBuffer::Parts parts = ring.TakeWholeBlocks();
    // Room up to the end of the buffer, then from its start up to the undelivered bytes.
    EXPECT_EQ(std::tuple(parts.count, parts.part[0].length, ring.Available(),
                         ring.WritableRegion().size()),
              std::tuple(1, 240u, 15u, 1u));
    ASSERT_TRUE(ring.Commit(1));
    EXPECT_EQ(std::tuple(ring.CapturePosition(), ring.WritableRegion().size()),
              std::tuple(0u, 239u));
}

constexpr size_t kFileBlocks = 40;

// The PCM "tonein" (also the default PCM) reads the file; ALSA_CONFIG_PATH is not set around the
// test, each test running in a process of its own.
TEST(AlsaCaptureTest, PcmsDeliverTheFileInWholeBlocksInOrderAndAreListed) {
    rtmp::test::TempDir dir("alsa_capture_test");
    const std::vector<uint8_t> file = Pattern(kFileBlocks * kBlock, 0);
    std::ofstream(dir / "file.raw", std::ios::binary) << std::string(file.begin(), file.end());
    std::ofstream(dir / "asoundrc") << "pcm.tonein {\n  type file\n  slave.pcm \"null\"\n"
                                    << "  file \"/dev/null\"\n  infile \""
                                    << (dir / "file.raw").string() << "\"\n  format \"raw\"\n"
                                    << "  hint { show on description \"File for tests\" }\n}\n"
                                    << "pcm.!default tonein\n";
    setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + (dir / "asoundrc").string()).c_str(),
           1);
    snd_config_update_free_global();

    // An unknown PCM cannot be opened; a block that is not whole frames is refused.
    EXPECT_FALSE(CCaptureAudio(MakeSystemCaptureDevice()).Open(std::string("no_such_pcm")));
    RecordingAudioSink sink;
    CCaptureAudio audio(MakeSystemCaptureDevice());
    audio.SetFormat(44100, 16, 2);
    audio.SetFinalWait(0ms);
    EXPECT_TRUE(audio.Open(std::string("tonein")));
    audio.SetBlockSize(4098);
    EXPECT_EQ(audio.Start(1, &sink), 1);
    // The primary entry; after the end of the file the plugin repeats stale data, so only the
    // file's length is compared.
    EXPECT_TRUE(audio.Open(std::string()));
    audio.SetBlockSize(kBlock);
    ASSERT_EQ(audio.Start(1, &sink), 0);
    ASSERT_TRUE(sink.WaitForBytes(32 * kBlock, 5s));
    EXPECT_EQ(audio.Start(0, &sink), 0);
    EXPECT_TRUE(audio.Stop());
    // Whole blocks of the file, at least the 32 waited for.
    auto calls = sink.Calls();
    calls.resize(std::min(calls.size(), kFileBlocks));
    EXPECT_EQ(calls, Blocks(0, calls.size()));

    // The PCM is listed with the description its hint gives.
    EXPECT_THAT(
        EnumerateCaptureDevices(),
        testing::Contains(testing::AllOf(Field(&AudioDeviceEntry::identity, "tonein"),
                                         Field(&AudioDeviceEntry::description, "File for tests"))));

    // The primary device comes first, without an identity; then the hints that can capture, in
    // order, at most twenty.
    std::vector<AudioPcmHint> hints = {
        {"null", "Discard all samples (playback) or generate zero samples (capture)", std::nullopt},
        {"default", "Default ALSA Output", std::nullopt},
        {"dmix:CARD=PCH,DEV=0", "HDA Intel PCH\nDirect sample mixing device", "Output"},
        {"dsnoop:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog\nDirect sample snooping device",
         "Input"},
        {"hw:CARD=PCH,DEV=0", "", std::nullopt},
    };
    std::vector<std::pair<std::string, std::string>> expected = {
        {"", kPrimaryCaptureDescription},
        {"default", "Default ALSA Output"},
        {"dsnoop:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog - Direct sample snooping device"},
        {"hw:CARD=PCH,DEV=0", "hw:CARD=PCH,DEV=0"}};
    for (int i = 0; i < 25; ++i) {
        hints.push_back({"hw:CARD=" + std::to_string(i), "card " + std::to_string(i), "Input"});
        if (expected.size() <= kMaxAudioDeviceIdentities)
            expected.emplace_back(hints.back().name, hints.back().description);
    }
    std::vector<std::pair<std::string, std::string>> listed;
    for (const AudioDeviceEntry& e : BuildAudioDeviceList(hints))
        listed.emplace_back(e.identity, e.description);
    EXPECT_EQ(listed, expected);
}

}  // namespace
}  // namespace capture
