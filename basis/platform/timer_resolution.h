// The resolution of the system's timers while a periodic timer runs: its waits end within about
// a millisecond of their deadlines.
#pragma once

namespace basis {

class FineTimerResolution {
  public:
    FineTimerResolution();
    ~FineTimerResolution();
    FineTimerResolution(const FineTimerResolution&) = delete;
    FineTimerResolution& operator=(const FineTimerResolution&) = delete;

  private:
    [[maybe_unused]] bool raised_ = false;  // only Windows raises it
};

}  // namespace basis
