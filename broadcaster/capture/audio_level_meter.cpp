#include "capture/audio_level_meter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace capture {
namespace {

constexpr double kFullScale = 32768.0;

double Dbfs(double magnitude) {
    return magnitude > 0 ? 20.0 * std::log10(magnitude / kFullScale)
                         : -std::numeric_limits<double>::infinity();
}

}  // namespace

void AudioLevelMeter::SetFormat(int bitsPerSample, int channels) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool measured = (bitsPerSample == 16 || bitsPerSample == 8) && channels > 0;
    bitsPerSample_ = measured ? bitsPerSample : 0;
    channels_ = measured ? channels : 0;
    frames_ = samples_ = 0;
    peak_ = 0;
    sumSquares_ = 0;
}

void AudioLevelMeter::OnAudioData(const uint8_t* data, int length) {
    if (data == nullptr || length <= 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (channels_ == 0)
        return;
    const size_t sampleBytes = static_cast<size_t>(bitsPerSample_ / 8);
    const size_t frameBytes = sampleBytes * static_cast<size_t>(channels_);
    const size_t frames = static_cast<size_t>(length) / frameBytes;
    const size_t end = frames * frameBytes;
    uint32_t peak = peak_;
    // Whole blocks of a 16-bit sum fit an integer: at most 2^30 a sample.
    uint64_t squares = 0;
    for (size_t at = 0; at < end; at += sampleBytes) {
        const int32_t sample =
            sampleBytes == 2
                ? static_cast<int16_t>(static_cast<uint16_t>(data[at] | (data[at + 1] << 8)))
                : (static_cast<int32_t>(data[at]) - 128) * 256;
        const auto magnitude = static_cast<uint32_t>(sample < 0 ? -sample : sample);
        peak = std::max(peak, magnitude);
        squares += static_cast<uint64_t>(magnitude) * magnitude;
    }
    peak_ = peak;
    sumSquares_ += static_cast<double>(squares);
    samples_ += frames * static_cast<size_t>(channels_);
    frames_ += frames;
}

AudioLevel AudioLevelMeter::Read() {
    std::lock_guard<std::mutex> lock(mutex_);
    AudioLevel level;
    level.frames = frames_;
    level.peakDbfs = Dbfs(peak_);
    level.rmsDbfs =
        samples_ > 0 ? Dbfs(std::sqrt(sumSquares_ / static_cast<double>(samples_))) : Dbfs(0);
    frames_ = samples_ = 0;
    peak_ = 0;
    sumSquares_ = 0;
    return level;
}

}  // namespace capture
