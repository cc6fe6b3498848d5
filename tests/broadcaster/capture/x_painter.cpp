#include "x_painter.h"

#include <X11/Xlib.h>

namespace capture::test {
Painter::Painter(const std::string& displayName)
    : display_(XOpenDisplay(displayName.c_str()), XCloseDisplay) {}

unsigned long Painter::PixelOf(Rgb c) const {
    // On a TrueColor visual the server gives the nearest value its masks can hold.
    const auto wide = [](uint8_t value) { return static_cast<unsigned short>(value * 257); };
    XColor colour{0, wide(c.red), wide(c.green), wide(c.blue), DoRed | DoGreen | DoBlue, 0};
    XAllocColor(display_.get(), DefaultColormap(display_.get(), DefaultScreen(display_.get())),
                &colour);
    return colour.pixel;
}

void Painter::Fill(int x, int y, int w, int h, Rgb colour) {
    Display* display = display_.get();
    const Window root = DefaultRootWindow(display);
    GC gc = XCreateGC(display, root, 0, nullptr);
    XSetSubwindowMode(display, gc, IncludeInferiors);
    XSetForeground(display, gc, PixelOf(colour));
    XFillRectangle(display, root, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XFreeGC(display, gc);
    XSync(display, False);
}

void Painter::ShowWindow(int x, int y, int w, int h, Rgb colour) {
    XSetWindowAttributes attributes{};
    attributes.background_pixel = PixelOf(colour);
    attributes.override_redirect = True;
    const Window window =
        XCreateWindow(display_.get(), DefaultRootWindow(display_.get()), x, y,
                      static_cast<unsigned>(w), static_cast<unsigned>(h), 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
    XMapWindow(display_.get(), window);
    XSync(display_.get(), False);
    windows_.push_back(window);
}

void Painter::CloseWindows() {
    for (const unsigned long w : windows_)
        XDestroyWindow(display_.get(), w);
    windows_.clear();
    XSync(display_.get(), False);
}

void Painter::MovePointer(int x, int y) {
    XWarpPointer(display_.get(), None, DefaultRootWindow(display_.get()), 0, 0, 0, 0, x, y);
    XSync(display_.get(), False);
}

}  // namespace capture::test
