#include "basis/periodic_timer.h"

#include <chrono>

#include "basis/thread_name.h"
#include "platform/timer_resolution.h"

namespace basis {

CMMTimer::~CMMTimer() {
    StopTimer();
}

bool CMMTimer::StartTimer(uint32_t intervalMs, bool oneShot) {
    if (intervalMs == 0)
        return false;
    return Begin(uint64_t{intervalMs} * 1000000u, 1, oneShot);
}

bool CMMTimer::StartTimerRate(uint32_t ticksPerSecond) {
    if (ticksPerSecond == 0)
        return false;
    return Begin(1000000000u, ticksPerSecond, false);
}

bool CMMTimer::Begin(uint64_t periodNs, uint64_t divisor, bool oneShot) {
    if (thread_.joinable())
        return false;
    pendingTicks_.store(0);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = false;
    }
    running_.store(true);
    thread_ = std::thread([this, periodNs, divisor, oneShot] { Run(periodNs, divisor, oneShot); });
    return true;
}

bool CMMTimer::StopTimer() {
    if (!thread_.joinable())
        return false;
    if (thread_.get_id() == std::this_thread::get_id())
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
    thread_.join();
    running_.store(false);
    return true;
}

void CMMTimer::Run(uint64_t periodNs, uint64_t divisor, bool oneShot) {
    NameThisThread("mm-timer");
    const FineTimerResolution fineWaits;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    // Computed from the start each time, so rounding never adds up.
    const auto dueOf = [&](uint64_t n) {
        return start + std::chrono::nanoseconds(static_cast<int64_t>(n * periodNs / divisor));
    };
    uint64_t tick = 1;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (wake_.wait_until(lock, dueOf(tick), [this] { return stopRequested_; }))
            break;
        lock.unlock();
        OnTimer();
        lock.lock();
        if (oneShot)
            break;
        ++tick;
        // After a long stall, resume from now instead of firing a burst of stale ticks.
        const auto elapsedNs = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
        const uint64_t behind = elapsedNs * divisor / periodNs;
        if (behind > tick + kMaxCatchUpTicks)
            tick = behind + 1;
    }
    running_.store(false);
}

}  // namespace basis
