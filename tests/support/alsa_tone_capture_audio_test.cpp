// The broadcaster's audio capture against the real-time test tone: whole blocks arrive at the
// pace of the clock and carry the tone.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "capture/capture_audio.h"
#include "support/alsa_tone_device.h"

namespace rtmp::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TimedSink final : public capture::AudioSink {
  public:
    void OnAudioData(const uint8_t* data, int length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        arrivals_.push_back(Clock::now());
        sizes_.push_back(length);
        bytes_.insert(bytes_.end(), data, data + length);
        changed_.notify_all();
    }

    bool WaitForBlocks(size_t count, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return arrivals_.size() >= count; });
    }

    std::vector<Clock::time_point> Arrivals() {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }
    std::vector<int> Sizes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizes_;
    }
    std::vector<uint8_t> Bytes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Clock::time_point> arrivals_;
    std::vector<int> sizes_;
    std::vector<uint8_t> bytes_;
};

TEST(AlsaToneCaptureAudio, BlocksArriveAtTheRateOfTheClock) {
    AlsaToneDevice tone(1000, 8000);
    ASSERT_TRUE(tone.Ok()) << tone.Error();
    constexpr uint32_t kBlock = 4096;                 // 1024 frames of 16-bit stereo
    constexpr double kBlockSeconds = 1024 / 44100.0;  // 23.2 ms

    TimedSink sink;
    capture::CCaptureAudio audio(capture::MakeAlsaCaptureDevice());
    audio.SetFormat(44100, 16, 2);
    ASSERT_TRUE(audio.Open(tone.PcmName()));
    audio.SetBlockSize(kBlock);
    const Clock::time_point started = Clock::now();
    ASSERT_EQ(audio.Start(1, &sink), 0);
    // Two seconds of capture are 86 blocks; a source that is not paced would hand them over
    // at once.
    EXPECT_FALSE(sink.WaitForBlocks(120, 2s));
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    const std::vector<Clock::time_point> arrivals = sink.Arrivals();
    audio.SetFinalWait(0ms);
    EXPECT_EQ(audio.Start(0, &sink), 0);
    EXPECT_TRUE(audio.Stop());

    ASSERT_GE(arrivals.size(), 2u);
    const double expectedBlocks = elapsed / kBlockSeconds;
    EXPECT_NEAR(static_cast<double>(arrivals.size()), expectedBlocks, expectedBlocks * 0.10);
    const double span = std::chrono::duration<double>(arrivals.back() - arrivals.front()).count();
    const double perBlock = span / static_cast<double>(arrivals.size() - 1);
    EXPECT_NEAR(perBlock, kBlockSeconds, kBlockSeconds * 0.10);
    RecordProperty("blocks", static_cast<int>(arrivals.size()));
    RecordProperty("microseconds_per_block", static_cast<int>(perBlock * 1e6));

    for (const int size : sink.Sizes()) {
        ASSERT_EQ(size, static_cast<int>(kBlock));
    }
    const std::vector<uint8_t> bytes = sink.Bytes();
    const ToneStats stats = AnalyzeToneBytes(bytes, 2);
    const double seconds = static_cast<double>(stats.frames) / 44100.0;
    EXPECT_NEAR(static_cast<double>(stats.zeroCrossings), 2000.0 * seconds, 20.0 * seconds + 2);
    EXPECT_TRUE(stats.channelsEqual);
    EXPECT_LE(stats.peak, 8000);
    EXPECT_GE(stats.peak, 7900);
}

}  // namespace
}  // namespace rtmp::test
