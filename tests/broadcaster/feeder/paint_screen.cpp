#include "paint_screen.h"

#include <X11/Xlib.h>

#include <memory>

namespace capture::test {
namespace {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// The pixel value of an RGB colour on the 24-bit TrueColor screens the tests start.
unsigned long PixelOf(const uint8_t rgb[3]) {
    return (static_cast<unsigned long>(rgb[0]) << 16) | (static_cast<unsigned long>(rgb[1]) << 8) |
           rgb[2];
}

}  // namespace

bool PaintScreen(const std::string& displayName, const uint8_t rgb[3], int pointerX, int pointerY) {
    DisplayPtr d(XOpenDisplay(displayName.c_str()));
    if (!d)
        return false;
    const Window root = DefaultRootWindow(d.get());
    XSetWindowBackground(d.get(), root, PixelOf(rgb));
    XClearWindow(d.get(), root);
    XWarpPointer(d.get(), None, root, 0, 0, 0, 0, pointerX, pointerY);
    XSync(d.get(), False);
    return true;
}

bool PaintRectangle(const std::string& displayName, const uint8_t rgb[3], int x, int y, int width,
                    int height) {
    DisplayPtr d(XOpenDisplay(displayName.c_str()));
    if (!d)
        return false;
    const Window root = DefaultRootWindow(d.get());
    GC gc = XCreateGC(d.get(), root, 0, nullptr);
    XSetSubwindowMode(d.get(), gc, IncludeInferiors);
    XSetForeground(d.get(), gc, PixelOf(rgb));
    XFillRectangle(d.get(), root, gc, x, y, static_cast<unsigned>(width),
                   static_cast<unsigned>(height));
    XFreeGC(d.get(), gc);
    XSync(d.get(), False);
    return true;
}

bool MovePointer(const std::string& displayName, int x, int y) {
    DisplayPtr d(XOpenDisplay(displayName.c_str()));
    if (!d)
        return false;
    XWarpPointer(d.get(), None, DefaultRootWindow(d.get()), 0, 0, 0, 0, x, y);
    XSync(d.get(), False);
    return true;
}

}  // namespace capture::test
