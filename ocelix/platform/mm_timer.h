// Periodic timer: OnTimer runs on the timer's own thread at start + n x interval, without
// drift. Shared by the encoder library's frame clock and the broadcaster's frame timer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class CMMTimer {
  public:
    CMMTimer() = default;
    virtual ~CMMTimer();
    CMMTimer(const CMMTimer&) = delete;
    CMMTimer& operator=(const CMMTimer&) = delete;

    // Starts ticking every intervalMs (once when oneShot). False when already running or the
    // interval is not positive.
    bool StartTimer(uint32_t intervalMs, bool oneShot = false);
    // Stops the timer and waits for a running OnTimer to return. Must not be called from
    // OnTimer itself (returns false then).
    bool StopTimer();
    bool TimerRunning() const { return running_.load(); }
    uint32_t TimerInterval() const { return intervalMs_; }

  protected:
    virtual void OnTimer() = 0;
    // For the derived class's use; reset to 0 whenever the timer starts.
    std::atomic<int32_t> pendingTicks_{0};

  private:
    void Run(uint32_t intervalMs, bool oneShot);

    uint32_t intervalMs_ = 0;
    std::atomic<bool> running_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopRequested_ = false;  // guarded by mutex_
    std::thread thread_;
};
