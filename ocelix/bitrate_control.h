// The video bit rate that follows the line: lowered in steps while packets are lost or the send
// queue grows, down to a quarter of the configured rate, and raised again in steps while the
// queue stays short.
#pragma once

#include <algorithm>
#include <cstdint>

namespace ocelix {

class BitrateControl {
  public:
    static constexpr int64_t kPeriodMs = 1000;      // one look a second
    static constexpr int64_t kHighDelayMs = 500;    // the queue is clearly too long
    static constexpr int64_t kRisingDelayMs = 250;  // too long if it keeps growing
    static constexpr int64_t kLowDelayMs = 150;     // short enough to try more
    static constexpr int64_t kCalmBeforeRaiseMs = 3000;

    // configuredKbps 0 or less: the encoder works to a quality, not a bit rate; nothing to do.
    explicit BitrateControl(int configuredKbps)
        : max_(std::max(configuredKbps, 0)), floor_((max_ + 3) / 4), target_(max_) {}

    // Looks at the line once per period: lossEpisodes is the running count of loss episodes,
    // delayMs the send queue's current age. Returns the target in kbit/s.
    int Update(int64_t nowMs, uint64_t lossEpisodes, int64_t delayMs) {
        if (max_ == 0)
            return 0;
        if (!started_) {
            started_ = true;
            lastLook_ = lastChange_ = calmSince_ = nowMs;
            lastEpisodes_ = lossEpisodes;
            lastDelay_ = delayMs;
            return target_;
        }
        if (nowMs - lastLook_ < kPeriodMs)
            return target_;
        const bool lost = lossEpisodes != lastEpisodes_;
        const bool growing = delayMs > kRisingDelayMs && delayMs > lastDelay_;
        if (lost || delayMs >= kLowDelayMs)
            calmSince_ = nowMs;
        if (lost || delayMs > kHighDelayMs || growing) {
            target_ = std::max(floor_, target_ * 3 / 4);
            lastChange_ = nowMs;
        } else if (nowMs - calmSince_ >= kCalmBeforeRaiseMs &&
                   nowMs - lastChange_ >= kCalmBeforeRaiseMs && target_ < max_) {
            target_ = std::min(max_, target_ + std::max(1, max_ / 10));
            lastChange_ = nowMs;
        }
        lastLook_ = nowMs;
        lastEpisodes_ = lossEpisodes;
        lastDelay_ = delayMs;
        return target_;
    }

  private:
    int max_;
    int floor_;
    int target_;
    bool started_ = false;
    int64_t lastLook_ = 0;
    int64_t lastChange_ = 0;
    int64_t calmSince_ = 0;  // since when the queue has stayed short without loss
    uint64_t lastEpisodes_ = 0;
    int64_t lastDelay_ = 0;
};

}  // namespace ocelix
