#include "capture/silence_watch.h"

namespace capture {

void SilenceWatch::Reset(int samplesPerSec, int bitsPerSample, int channels, int seconds) {
    silentFrames_ = 0;
    const bool judged = samplesPerSec > 0 && bitsPerSample == 16 && channels > 0 && seconds > 0;
    frameBytes_ = judged ? static_cast<size_t>(channels) * 2 : 0;
    limitFrames_ =
        judged ? static_cast<uint64_t>(samplesPerSec) * static_cast<uint64_t>(seconds) : 0;
}

void SilenceWatch::Take(const uint8_t* data, size_t length) {
    if (data == nullptr || frameBytes_ == 0)
        return;
    const size_t frames = length / frameBytes_;
    const size_t samplesEnd = frames * frameBytes_;
    for (size_t at = 0; at < samplesEnd; at += 2) {
        const auto sample = static_cast<int16_t>(static_cast<uint16_t>(data[at]) |
                                                 static_cast<uint16_t>(data[at + 1] << 8));
        if (sample > kSilentPeak || sample < -kSilentPeak) {
            silentFrames_.store(0, std::memory_order_relaxed);
            return;
        }
    }
    silentFrames_.fetch_add(frames, std::memory_order_relaxed);
}

bool SilenceWatch::Silent() const {
    const uint64_t limit = limitFrames_.load(std::memory_order_relaxed);
    return limit != 0 && silentFrames_.load(std::memory_order_relaxed) >= limit;
}

}  // namespace capture
