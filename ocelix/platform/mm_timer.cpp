#include "platform/mm_timer.h"

#include <pthread.h>

#include <chrono>

namespace {
// A thread that sleeps through more than this is not made to catch up tick by tick.
constexpr int kMaxCatchUpTicks = 25;
}  // namespace

CMMTimer::~CMMTimer() {
    StopTimer();
}

bool CMMTimer::StartTimer(uint32_t intervalMs, bool oneShot) {
    if (intervalMs == 0 || thread_.joinable())
        return false;
    intervalMs_ = intervalMs;
    pendingTicks_.store(0);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = false;
    }
    running_.store(true);
    thread_ = std::thread([this, intervalMs, oneShot] { Run(intervalMs, oneShot); });
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

void CMMTimer::Run(uint32_t intervalMs, bool oneShot) {
    pthread_setname_np(pthread_self(), "mm-timer");
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(intervalMs);
    const auto start = Clock::now();
    uint64_t tick = 1;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const auto due = start + period * tick;
        if (wake_.wait_until(lock, due, [this] { return stopRequested_; }))
            break;
        lock.unlock();
        OnTimer();
        lock.lock();
        if (oneShot)
            break;
        ++tick;
        // After a long stall, resume from now instead of firing a burst of stale ticks.
        const auto behind = (Clock::now() - start) / period;
        if (behind > static_cast<int64_t>(tick) + kMaxCatchUpTicks)
            tick = static_cast<uint64_t>(behind) + 1;
    }
    running_.store(false);
}
