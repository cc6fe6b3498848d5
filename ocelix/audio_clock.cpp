#include "audio_clock.h"

#include <algorithm>
#include <cmath>

namespace ocelix {

AudioClock::AudioClock(int sampleRate, int samplesPerBlock, int primingSamples)
    : blockMs_(1000.0 * samplesPerBlock / (sampleRate > 0 ? sampleRate : 1)),
      samplesToMs_(1000.0 / (sampleRate > 0 ? sampleRate : 1)),
      samplesPerBlock_(samplesPerBlock),
      primingSamples_(primingSamples) {}

void AudioClock::BlockArrived(int64_t nowMs) {
    if (blocks_ == 0) {
        // The block was being recorded for its own duration before it was handed in.
        anchorMs_ = static_cast<double>(nowMs) - blockMs_;
    }
    ++blocks_;
    // How much later than the sample count says this block came. Scheduling only ever makes a
    // block late, so the earliest of a window is the clocks' true difference.
    const double expected = anchorMs_ + correctionMs_ + static_cast<double>(blocks_) * blockMs_;
    const double error = static_cast<double>(nowMs) - expected;
    windowMinErrorMs_ = windowCount_ == 0 ? error : std::min(windowMinErrorMs_, error);
    if (++windowCount_ < kWindowBlocks)
        return;
    if (windowMinErrorMs_ > kLostSamplesMs)
        correctionMs_ += windowMinErrorMs_;
    else if (std::fabs(windowMinErrorMs_) > kDeadBandMs)
        correctionMs_ += std::clamp(windowMinErrorMs_, -kStepMs, kStepMs);
    windowCount_ = 0;
}

int64_t AudioClock::NextFrameStamp() {
    const double firstSample =
        static_cast<double>(frames_++ * samplesPerBlock_ - primingSamples_) * samplesToMs_;
    return static_cast<int64_t>(std::llround(anchorMs_ + correctionMs_ + firstSample));
}

}  // namespace ocelix
