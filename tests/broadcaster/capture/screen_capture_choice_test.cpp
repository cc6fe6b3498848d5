// Which grabber a broadcast uses: the setting, then the session's type; and under a real X server
// (Xvfb) auto picks the X11 grabber, which captures straight away.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "capture/screen_capture_choice.h"
#include "capture/xvfb_display.h"

namespace capture {
namespace {

TEST(ScreenCaptureChoiceTest, SettingValues) {
    EXPECT_EQ(ParseScreenCaptureMode("auto"), ScreenCaptureMode::kAuto);
    EXPECT_EQ(ParseScreenCaptureMode(" X11 "), ScreenCaptureMode::kX11);
    EXPECT_EQ(ParseScreenCaptureMode("PORTAL"), ScreenCaptureMode::kPortal);
    EXPECT_EQ(ParseScreenCaptureMode(""), ScreenCaptureMode::kAuto);
    EXPECT_EQ(ParseScreenCaptureMode("wayland"), ScreenCaptureMode::kAuto);
}

struct ChoiceCase {
    ScreenCaptureMode mode;
    const char* sessionType;  // null: unset
    const char* waylandDisplay;
    ScreenBackend expected;
};

TEST(ScreenCaptureChoiceTest, SettingFirstThenTheSession) {
    constexpr ScreenBackend kPortalUnderAuto =
        TUTORLANE_PORTAL ? ScreenBackend::kPortal : ScreenBackend::kX11;
    const std::vector<ChoiceCase> cases{
        {ScreenCaptureMode::kAuto, "x11", nullptr, ScreenBackend::kX11},
        {ScreenCaptureMode::kAuto, nullptr, nullptr, ScreenBackend::kX11},
        {ScreenCaptureMode::kAuto, "tty", "", ScreenBackend::kX11},
        {ScreenCaptureMode::kAuto, "wayland", nullptr, kPortalUnderAuto},
        {ScreenCaptureMode::kAuto, "Wayland", nullptr, kPortalUnderAuto},
        {ScreenCaptureMode::kAuto, nullptr, "wayland-0", kPortalUnderAuto},
        {ScreenCaptureMode::kX11, "wayland", "wayland-0", ScreenBackend::kX11},
        {ScreenCaptureMode::kPortal, "x11", nullptr, ScreenBackend::kPortal},
    };
    for (const ChoiceCase& c : cases) {
        EXPECT_EQ(ChooseScreenBackend(c.mode, c.sessionType, c.waylandDisplay), c.expected)
            << static_cast<int>(c.mode) << " " << (c.sessionType ? c.sessionType : "(unset)") << " "
            << (c.waylandDisplay ? c.waylandDisplay : "(unset)");
    }
}

// An X11 session as the X server's clients see it: DISPLAY set, no Wayland variables.
TEST(ScreenCaptureChoiceTest, AutoUsesTheX11GrabberUnderXvfb) {
    test::XvfbDisplay server;
    ASSERT_TRUE(server.Start("160x120x24"));
    setenv("DISPLAY", server.Name().c_str(), 1);
    setenv("XDG_SESSION_TYPE", "x11", 1);
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(ChooseScreenBackend(ScreenCaptureMode::kAuto), ScreenBackend::kX11);
    EXPECT_EQ(DefaultScreenSize(ScreenCaptureMode::kAuto), (std::pair<int, int>{160, 120}));
    ScreenDevice device = MakeScreenDevice(ScreenCaptureOptions{}, nullptr);
    ASSERT_TRUE(device.open && device.grab && device.close);
    EXPECT_TRUE(device.open());  // nothing to ask on X11
    // Xvfb's root is black: the marked frame is overwritten with the screen.
    std::vector<uint8_t> frame(64 * 48 * 3, 0x5A);
    EXPECT_TRUE(device.grab(frame.data(), 64, 48));
    EXPECT_EQ(frame, std::vector<uint8_t>(64 * 48 * 3, 0));
    device.close();
    unsetenv("XDG_SESSION_TYPE");
    unsetenv("DISPLAY");
}

}  // namespace
}  // namespace capture
