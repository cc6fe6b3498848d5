// Bytes sent over the last second, in ten 100 ms slots.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace ocelix {

class SendRate {
  public:
    void Count(uint32_t nowMs, int bytes) {
        const uint32_t slot = nowMs / 100;
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t i = slot % bytes_.size();
        if (slot_[i] != slot) {
            slot_[i] = slot;
            bytes_[i] = 0;
        }
        bytes_[i] += static_cast<uint64_t>(bytes);
    }
    // kbit/s over the ten 100 ms slots before the current one.
    int32_t Kbps(uint32_t nowMs) {
        const uint32_t current = nowMs / 100;
        uint64_t bytes = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < bytes_.size(); ++i) {
            const uint32_t age = current - slot_[i];
            if (age >= 1 && age <= 10)
                bytes += bytes_[i];
        }
        return static_cast<int32_t>(bytes * 8 / 1000);
    }

  private:
    std::mutex mutex_;
    std::array<uint64_t, 10> bytes_{};  // guarded by mutex_
    std::array<uint32_t, 10> slot_{};   // guarded by mutex_
};

}  // namespace ocelix
