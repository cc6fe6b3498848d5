#include "platform/timer_resolution.h"

namespace basis {

// Linux's timed waits run on high-resolution timers already: nothing to raise.
FineTimerResolution::FineTimerResolution() = default;

FineTimerResolution::~FineTimerResolution() = default;

}  // namespace basis
