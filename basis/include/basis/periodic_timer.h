// Periodic timer: OnTimer runs on the timer's own thread at start + n x period, without drift.
// The encoder library's frame clock and the broadcaster's frame timer are built on it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace basis {

class CMMTimer {
  public:
    // A thread that sleeps through more ticks than this does not catch up tick by tick: it
    // resumes from now.
    static constexpr int kMaxCatchUpTicks = 25;

    CMMTimer() = default;
    virtual ~CMMTimer();
    CMMTimer(const CMMTimer&) = delete;
    CMMTimer& operator=(const CMMTimer&) = delete;

    // Starts ticking every intervalMs (once when oneShot). False when already running or the
    // interval is not positive.
    bool StartTimer(uint32_t intervalMs, bool oneShot = false);
    // Starts ticking ticksPerSecond times a second: tick n is due at start + n x 1000 /
    // ticksPerSecond ms exactly, so 15 a second is 15.00, not the 15.15 of a 66 ms interval.
    bool StartTimerRate(uint32_t ticksPerSecond);
    // Stops the timer and waits for a running OnTimer to return. Must not be called from
    // OnTimer itself (returns false then).
    bool StopTimer();
    bool TimerRunning() const { return running_.load(); }

  protected:
    virtual void OnTimer() = 0;
    // For the derived class's use; reset to 0 whenever the timer starts.
    std::atomic<int32_t> pendingTicks_{0};

  private:
    // Tick n is due periodNs x n / divisor nanoseconds after the start.
    bool Begin(uint64_t periodNs, uint64_t divisor, bool oneShot);
    void Run(uint64_t periodNs, uint64_t divisor, bool oneShot);

    std::atomic<bool> running_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopRequested_ = false;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace basis
