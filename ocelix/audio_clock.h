// Times of encoded audio frames from the samples handed in: the first block is anchored at its
// arrival minus its duration, every later sample is counted from there. When the sound card's
// clock and the system clock drift apart, the count is corrected in small steps; samples the card
// lost (an overrun) are skipped in one step.
#pragma once

#include <cstdint>

namespace ocelix {

class AudioClock {
  public:
    // Blocks of samplesPerBlock (per channel) at sampleRate; the encoder delays its output by
    // primingSamples (per channel).
    AudioClock(int sampleRate, int samplesPerBlock, int primingSamples);

    // A block arrived at nowMs (media time, ms).
    void BlockArrived(int64_t nowMs);
    // Media time (ms) of the first sample of the next frame the encoder gives out; each call
    // moves on by one frame.
    int64_t NextFrameStamp();

    // Blocks over which the earliest arrival is looked for before a correction step.
    static constexpr int kWindowBlocks = 40;
    // Largest step per window, and the error left alone.
    static constexpr double kStepMs = 2.0;
    static constexpr double kDeadBandMs = 2.0;
    // Every block of a window this much late: samples were lost (an overrun), not drifted.
    // The count skips them in one step.
    static constexpr double kLostSamplesMs = 200.0;

  private:
    double blockMs_;
    double samplesToMs_;
    int samplesPerBlock_;
    int primingSamples_;
    double anchorMs_ = 0;
    int64_t blocks_ = 0;  // arrived so far; the first one set anchorMs_
    int64_t frames_ = 0;
    double correctionMs_ = 0;  // applied to the sample count; positive: the card is slow
    double windowMinErrorMs_ = 0;
    int windowCount_ = 0;
};

}  // namespace ocelix
