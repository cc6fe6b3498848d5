#include "capture/screen_capture_choice.h"

#include <cctype>
#include <cstdlib>
#include <memory>

#include "basis/text.h"
#include "basis/translation.h"
#include "capture/screen_grabber.h"
#include "capture/screen_size.h"
#if TUTORLANE_PORTAL
#include "capture/portal_screen_grabber.h"
#endif

namespace capture {
namespace {

using basis::EqualsIgnoringCase;

[[maybe_unused]] const char* NoPortalBuildText() {
    return basis::Translate(
        "screen",
        "无法共享屏幕: Cannot share the screen: this build has no Wayland screen capture (the "
        "portal grabber was switched off); set ScreenCapture=x11 to capture through the X server.");
}

// A grabber of this broadcast's own: a grabber rewrites only what changed in a buffer it wrote
// before, and a new broadcast's frame may sit where the last one's was.
ScreenDevice SystemGrabberDevice() {
    ScreenDevice device;
    auto grabber = std::make_shared<ScreenGrabber>();
    device.open = [] { return true; };
    device.grab = [grabber](uint8_t* dst, int width, int height) {
        return grabber->Grab(dst, width, height);
    };
    device.close = [] {};
    return device;
}

}  // namespace

ScreenCaptureMode ParseScreenCaptureMode(std::string_view text) {
    text = basis::TrimSpace(text);
    if (EqualsIgnoringCase(text, "x11"))
        return ScreenCaptureMode::kX11;
    if (EqualsIgnoringCase(text, "portal"))
        return ScreenCaptureMode::kPortal;
    return ScreenCaptureMode::kAuto;
}

ScreenBackend ChooseScreenBackend(ScreenCaptureMode mode, const char* sessionType,
                                  const char* waylandDisplay) {
    switch (mode) {
        case ScreenCaptureMode::kX11:
            return ScreenBackend::kX11;
        case ScreenCaptureMode::kPortal:
            return ScreenBackend::kPortal;
        case ScreenCaptureMode::kAuto:
            break;
    }
    if (!TUTORLANE_PORTAL)
        return ScreenBackend::kX11;
    const bool wayland = (sessionType != nullptr && EqualsIgnoringCase(sessionType, "wayland")) ||
                         (waylandDisplay != nullptr && *waylandDisplay != '\0');
    return wayland ? ScreenBackend::kPortal : ScreenBackend::kX11;
}

ScreenBackend ChooseScreenBackend(ScreenCaptureMode mode) {
    return ChooseScreenBackend(mode, std::getenv("XDG_SESSION_TYPE"),
                               std::getenv("WAYLAND_DISPLAY"));
}

ScreenDevice MakeScreenDevice(const ScreenCaptureOptions& options, MessageSink* messages) {
    if (ChooseScreenBackend(options.mode) == ScreenBackend::kX11)
        return SystemGrabberDevice();
    ScreenDevice device;
    device.asksUser = true;
#if TUTORLANE_PORTAL
    PortalScreenGrabber::Options portal;
    portal.restoreToken = options.restoreToken;
    portal.saveRestoreToken = options.saveRestoreToken;
    auto grabber = std::make_shared<PortalScreenGrabber>(std::move(portal), messages);
    device.open = [grabber] { return grabber->Open(); };
    device.grab = [grabber](uint8_t* dst, int width, int height) {
        return grabber->Grab(dst, width, height);
    };
    device.close = [grabber] { grabber->Close(); };
#else
    device.open = [messages] {
        if (messages != nullptr)
            messages->ShowMessage(NoPortalBuildText());
        return false;
    };
    device.grab = [](uint8_t*, int, int) { return false; };
    device.close = [] {};
#endif
    return device;
}

std::pair<int, int> DefaultScreenSize(ScreenCaptureMode mode) {
#if TUTORLANE_PORTAL
    if (ChooseScreenBackend(mode) == ScreenBackend::kPortal) {
        const auto size = WaylandScreenSize();
        if (size.first > 0 && size.second > 0)
            return size;
    }
#else
    (void)mode;
#endif
    return PrimaryScreenSize();
}

}  // namespace capture
