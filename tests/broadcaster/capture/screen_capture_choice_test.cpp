// Which grabber a broadcast uses: the setting, then the session's type (under a real X server:
// screen_grabber_test.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/screen_capture_choice.h"

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

}  // namespace
}  // namespace capture
