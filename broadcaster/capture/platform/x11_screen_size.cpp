#include <X11/Xlib.h>

#include "capture/screen_size.h"

namespace capture {

std::pair<int, int> PrimaryScreenSize() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return {0, 0};
    const int screen = DefaultScreen(display);
    const std::pair<int, int> size{DisplayWidth(display, screen), DisplayHeight(display, screen)};
    XCloseDisplay(display);
    return size;
}

}  // namespace capture
