#include <windows.h>

#include <timeapi.h>

#include "platform/timer_resolution.h"

namespace basis {

// Windows ends timed waits on its clock interrupt, every 15.6 ms unless a process asks for
// more: 1 ms while the timer runs, as the multimedia timers do.
FineTimerResolution::FineTimerResolution() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}

FineTimerResolution::~FineTimerResolution() {
    if (raised_)
        timeEndPeriod(1);
}

}  // namespace basis
