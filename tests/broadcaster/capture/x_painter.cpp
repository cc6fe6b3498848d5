#include "x_painter.h"

#include <X11/Xlib.h>

namespace capture::test {
Painter::Painter(const std::string& displayName) : display_(XOpenDisplay(displayName.c_str())) {}

Painter::~Painter() {
    if (display_ != nullptr)
        XCloseDisplay(display_);
}

unsigned long Painter::PixelOf(Rgb c) const {
    // On a TrueColor visual the server gives the nearest value its masks can hold.
    XColor colour{0,
                  static_cast<unsigned short>(c.red * 257),
                  static_cast<unsigned short>(c.green * 257),
                  static_cast<unsigned short>(c.blue * 257),
                  DoRed | DoGreen | DoBlue,
                  0};
    XAllocColor(display_, DefaultColormap(display_, DefaultScreen(display_)), &colour);
    return colour.pixel;
}

void Painter::Fill(int x, int y, int w, int h, Rgb colour) {
    const Window root = DefaultRootWindow(display_);
    GC gc = XCreateGC(display_, root, 0, nullptr);
    XSetSubwindowMode(display_, gc, IncludeInferiors);
    XSetForeground(display_, gc, PixelOf(colour));
    XFillRectangle(display_, root, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XFreeGC(display_, gc);
    XSync(display_, False);
}

void Painter::ShowWindow(int x, int y, int w, int h, Rgb colour) {
    XSetWindowAttributes attributes{};
    attributes.background_pixel = PixelOf(colour);
    attributes.override_redirect = True;
    const Window window =
        XCreateWindow(display_, DefaultRootWindow(display_), x, y, static_cast<unsigned>(w),
                      static_cast<unsigned>(h), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWBackPixel | CWOverrideRedirect, &attributes);
    XMapWindow(display_, window);
    XSync(display_, False);
    windows_.push_back(window);
}

void Painter::CloseWindows() {
    for (const unsigned long w : windows_)
        XDestroyWindow(display_, w);
    windows_.clear();
    XSync(display_, False);
}

void Painter::MovePointer(int x, int y) {
    XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    XSync(display_, False);
}

}  // namespace capture::test
