// Screen capture: the top-left rectangle of the display as a bottom-up packed BGR frame, with the
// broadcaster's own arrow (see pointer_arrow.h) drawn where the pointer is.
#ifndef BROADCASTER_CAPTURE_SCREEN_GRABBER_H
#define BROADCASTER_CAPTURE_SCREEN_GRABBER_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace capture {

class ScreenGrabber {
  public:
    struct Options {
        // Display to read; empty means the platform's default (on X11 the DISPLAY variable).
        std::string displayName;
        // Use the platform's shared-memory transfer when it is offered; false forces the plain
        // copy (which the code also falls back to when shared memory cannot be set up).
        bool sharedMemory = true;
        // Least time between two attempts to open a display that could not be opened.
        std::chrono::milliseconds reopenInterval{1000};
    };

    ScreenGrabber();
    explicit ScreenGrabber(Options options);
    ~ScreenGrabber();
    ScreenGrabber(const ScreenGrabber&) = delete;
    ScreenGrabber& operator=(const ScreenGrabber&) = delete;

    // Writes the top-left width x height pixels of the display into `dst` (width x height x 3
    // bytes, rows bottom-up, pixels blue, green, red) with the arrow's tip at the pointer position.
    // Parts of the rectangle beyond the display's edges are black. Returns false, leaving `dst`
    // untouched, when the display cannot be opened or read, or the arguments are unusable. The
    // connection and the transfer image are kept between calls (remade when the size changes).
    bool Grab(uint8_t* dst, int width, int height);

    // Whether the last successful grab used shared memory.
    bool UsedSharedMemory() const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// Captures into `dst` with one process-wide ScreenGrabber on the default display, serialised by a
// lock. Returns 1 whatever happened: a display that cannot be read leaves `dst` as it was.
int GrabScreen(uint8_t* dst, int width, int height);

}  // namespace capture

#endif  // BROADCASTER_CAPTURE_SCREEN_GRABBER_H
