// The microphone's level for the window's meter: the peak and the RMS of the blocks captured
// since the last reading, in dB of full scale. Blocks come in on the capture thread; the window
// reads on its own thread.
#pragma once

#include <cstdint>
#include <mutex>

#include "capture/sinks.h"

namespace capture {

struct AudioLevel {
    // Sample frames measured; 0 when no block came since the last reading.
    uint64_t frames = 0;
    // 20 log10 of the largest sample and of the root mean square of all samples, against full
    // scale (32768 for 16-bit): a full-scale square wave reads 0 and 0, a full-scale sine 0 and
    // about -3. Silence, and a reading without frames, is minus infinity.
    double peakDbfs = 0;
    double rmsDbfs = 0;
};

class AudioLevelMeter final : public AudioSink {
  public:
    // Interleaved little-endian samples: signed 16-bit or unsigned 8-bit, `channels` to a frame.
    // Any other format is not measured. Forgets what was measured.
    void SetFormat(int bitsPerSample, int channels);
    // One captured block; bytes after the last whole frame are not looked at. Any thread.
    void OnAudioData(const uint8_t* data, int length) override;
    // What came since the last reading, which it forgets. Any thread.
    AudioLevel Read();

  private:
    std::mutex mutex_;
    int bitsPerSample_ = 0;
    int channels_ = 0;
    uint64_t frames_ = 0;
    uint32_t peak_ = 0;        // largest magnitude, 16-bit scale
    double sumSquares_ = 0.0;  // of the samples, 16-bit scale
    uint64_t samples_ = 0;
};

}  // namespace capture
