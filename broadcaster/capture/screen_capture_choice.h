// Which screen grabber a broadcast uses: the X11 grabber on an X11 desktop, the screen-cast
// portal on a Wayland desktop, or what the ScreenCapture setting (auto, x11, portal) says. On
// Windows the system's grabber (ScreenGrabber, over GDI there) stands where the X11 one does, and
// there is no portal.
#ifndef BROADCASTER_CAPTURE_SCREEN_CAPTURE_CHOICE_H
#define BROADCASTER_CAPTURE_SCREEN_CAPTURE_CHOICE_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "capture/sinks.h"

namespace capture {

enum class ScreenCaptureMode { kAuto, kX11, kPortal };
enum class ScreenBackend { kX11, kPortal };

// "auto", "x11" or "portal", in any case; anything else is auto.
ScreenCaptureMode ParseScreenCaptureMode(std::string_view text);

// Auto picks the portal in a Wayland session (sessionType "wayland", or a Wayland display
// named) and X11 otherwise; null arguments are unset variables. A build without the portal
// grabber always picks X11 under auto.
ScreenBackend ChooseScreenBackend(ScreenCaptureMode mode, const char* sessionType,
                                  const char* waylandDisplay);
// The same with XDG_SESSION_TYPE and WAYLAND_DISPLAY of this process.
ScreenBackend ChooseScreenBackend(ScreenCaptureMode mode);

struct ScreenCaptureOptions {
    ScreenCaptureMode mode = ScreenCaptureMode::kAuto;
    // The portal's restore token from the user's settings, and where a new one is kept.
    std::string restoreToken;
    std::function<void(const std::string&)> saveRestoreToken;
};

// The screen as one broadcast uses it. open prepares it when the broadcast starts (the portal
// asks the desktop for the screen; false, after telling the user why, stops the start); grab
// writes a frame (true when dst was rewritten with a new picture, false when it was left as it
// was); close ends it at stop.
struct ScreenDevice {
    std::function<bool()> open;
    std::function<bool(uint8_t* dst, int width, int height)> grab;
    std::function<void()> close;
    // Whether open asks the user (the desktop's sharing dialog).
    bool asksUser = false;
};
ScreenDevice MakeScreenDevice(const ScreenCaptureOptions& options, MessageSink* messages);

// Size of the screen the chosen grabber captures ({0, 0} when unknown): the X display's, or on
// Wayland the first monitor's.
std::pair<int, int> DefaultScreenSize(ScreenCaptureMode mode);
// The first Wayland monitor's size in pixels; {0, 0} without a Wayland display.
std::pair<int, int> WaylandScreenSize();

}  // namespace capture

#endif  // BROADCASTER_CAPTURE_SCREEN_CAPTURE_CHOICE_H
