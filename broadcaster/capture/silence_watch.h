// Notices a microphone that delivers only silence: every sample of every block within a tiny
// level of zero for a stretch of sound, measured in sample frames (the audio's own clock, not the
// wall clock).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace capture {

class SilenceWatch {
  public:
    // Silence that lasts this long is reported.
    static constexpr int kDefaultSeconds = 10;
    // A sample no further than this from zero is silence (about -66 dB of full scale).
    static constexpr int kSilentPeak = 16;

    // Interleaved signed 16-bit little-endian samples of `channels` channels at samplesPerSec;
    // forgets what was counted. Any other format is never judged silent. Call it while no block
    // is being taken.
    void Reset(int samplesPerSec, int bitsPerSample, int channels, int seconds = kDefaultSeconds);
    // One captured block; bytes after the last whole frame are not looked at.
    void Take(const uint8_t* data, size_t length);
    // True once the blocks taken have been silent, without a break, for the whole stretch.
    bool Silent() const;

  private:
    std::atomic<uint64_t> silentFrames_{0};
    std::atomic<uint64_t> limitFrames_{0};  // 0: never silent
    size_t frameBytes_ = 0;
};

}  // namespace capture
