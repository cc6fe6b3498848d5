#include "capture/screen_grabber.h"

#include <mutex>

namespace capture {

bool GrabScreen(uint8_t* dst, int width, int height) {
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    static ScreenGrabber grabber;
    return grabber.Grab(dst, width, height);
}

}  // namespace capture
