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
        // Display to read; empty means the platform's default (on X11 the DISPLAY variable; on
        // Windows always the primary screen).
        std::string displayName;
        // Use the platform's faster transfer when it is offered (X11's shared memory, Windows'
        // Desktop Duplication); false forces the plain copy (XGetImage, GDI's BitBlt), which the
        // code also falls back to when the faster one cannot be set up.
        bool sharedMemory = true;
        // Least time between two attempts to open a display (or on Windows to set up the
        // duplication) that could not be opened.
        std::chrono::milliseconds reopenInterval{1000};
    };

    ScreenGrabber();
    explicit ScreenGrabber(Options options);
    ~ScreenGrabber();
    ScreenGrabber(const ScreenGrabber&) = delete;
    ScreenGrabber& operator=(const ScreenGrabber&) = delete;

    // Work done so far, for checks that an unchanged screen costs nothing.
    struct Work {
        uint64_t screenReads = 0;  // image transfers from the display (full or a band of rows)
        uint64_t rowsRead = 0;     // screen rows those transfers carried
        uint64_t rowsWritten = 0;  // rows of `dst` written (converted, black or pointer rows)
    };

    // Brings the top-left width x height pixels of the display into `dst` (width x height x 3
    // bytes, rows bottom-up, pixels blue, green, red) with the arrow's tip at the pointer position.
    // Parts of the rectangle beyond the display's edges are black.
    //
    // Only what changed is redone: the display reports the areas drawn since the last call (on
    // Windows the rows are compared with the last grab's), and only those rows are read and
    // written, plus the rows the arrow leaves and enters when the pointer moved. `dst` must
    // therefore still hold what the previous call wrote when it is passed again; another buffer or
    // size gets the whole picture.
    //
    // Returns true when `dst` was rewritten with a new picture, false when it was left as it was:
    // nothing changed, or the display cannot be opened or read, or the arguments are unusable.
    // The connection and the transfer image are kept between calls (remade when the size changes).
    bool Grab(uint8_t* dst, int width, int height);

    // Whether the last successful grab used the faster transfer (shared memory, duplication).
    bool UsedSharedMemory() const;

    // The work counted so far; may be called from any thread.
    Work Done() const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace capture

#endif  // BROADCASTER_CAPTURE_SCREEN_GRABBER_H
