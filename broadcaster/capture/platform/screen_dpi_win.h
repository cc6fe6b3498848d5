// Screen pixels as they are: a process that is not DPI-aware sees a scaled screen (smaller sizes,
// blurred grabs) on a display set to more than 100 %.
#pragma once

namespace capture {

// Makes the process DPI-aware (per monitor where Windows offers it) before its first look at the
// screen; later calls do nothing.
void BecomeDpiAware();

}  // namespace capture
