#include "paint_screen.h"

#include <X11/Xlib.h>

namespace capture::test {

bool PaintScreen(const std::string& displayName, const uint8_t rgb[3], int pointerX, int pointerY) {
    Display* d = XOpenDisplay(displayName.c_str());
    if (d == nullptr)
        return false;
    const Window root = DefaultRootWindow(d);
    const unsigned long pixel = (static_cast<unsigned long>(rgb[0]) << 16) |
                                (static_cast<unsigned long>(rgb[1]) << 8) | rgb[2];
    XSetWindowBackground(d, root, pixel);
    XClearWindow(d, root);
    XWarpPointer(d, None, root, 0, 0, 0, 0, pointerX, pointerY);
    XSync(d, False);
    XCloseDisplay(d);
    return true;
}

}  // namespace capture::test
