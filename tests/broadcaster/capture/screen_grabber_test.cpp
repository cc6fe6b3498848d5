// Which grabber a broadcast uses, and screen capture against a real X server (Xvfb): the test
// draws rectangles and windows with Xlib, moves the pointer, and compares each captured frame with
// its own copy of what it drew, the arrow blended in at the pointer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "capture/frame_image.h"
#include "capture/pointer_arrow.h"
#include "capture/screen_capture_choice.h"
#include "capture/screen_grabber.h"
#include "capture/x_painter.h"
#include "capture/xvfb_display.h"
#include "support/child_process.h"

namespace capture {
namespace {

using namespace std::chrono_literals;
using Frame = std::vector<uint8_t>;
using namespace test;

constexpr Rgb kBackground{0x40, 0x50, 0x60};
constexpr Rgb kRed{0xFF, 0x00, 0x00};
constexpr Rgb kGreen{0x00, 0xFF, 0x00};
constexpr Rgb kOdd{0x12, 0x34, 0x56};

// A bottom-up BGR picture, positions counted from its top-left corner; black where not filled.
struct Picture {
    int width, height;
    Frame bytes = Frame(static_cast<size_t>(width * height) * 3U, 0);
    uint8_t* At(int x, int y) {
        return &bytes[static_cast<size_t>(((height - 1 - y) * width + x) * 3)];
    }
    void Fill(int x, int y, int w, int h, Rgb c) {
        const std::array<uint8_t, 3> bgr{c.blue, c.green, c.red};
        for (int row = y; row < std::min(y + h, height); ++row)
            for (int col = x; col < std::min(x + w, width); ++col)
                std::copy(bgr.begin(), bgr.end(), At(col, row));
    }
};

// The work counters as one value: screen reads, rows read, rows written.
using Work = std::array<uint64_t, 3>;
Work Counts(const ScreenGrabber& grabber) {
    return {grabber.Done().screenReads, grabber.Done().rowsRead, grabber.Done().rowsWritten};
}

class ScreenGrabberTest : public ::testing::Test {
  protected:
    void SetUp() override { StartServer("320x240x24", -1); }

    // Starts the server (on a free display number when `number` is negative) and the painter.
    void StartServer(const std::string& screen, int number) {
        ASSERT_TRUE(server_.Start(screen, number));
        painter_ = std::make_unique<Painter>(server_.Name());
        ASSERT_TRUE(painter_->Ok());
    }

    // Draws on the screen and on the test's copy of it.
    void Fill(int x, int y, int w, int h, Rgb c) {
        painter_->Fill(x, y, w, h, c);
        screen_.Fill(x, y, w, h, c);
    }
    void MovePointer(int x, int y) {
        painter_->MovePointer(x, y);
        pointer_ = {x, y};
    }
    // The top-left width x height of the screen as drawn, black beyond it, with the arrow.
    Frame Expected(int width, int height) {
        Picture p(width, height);
        for (int y = 0; y < std::min(height, screen_.height); ++y)
            std::copy_n(screen_.At(0, y), std::min(width, screen_.width) * 3, p.At(0, y));
        DrawPointer(FrameImage(p.bytes.data(), width, height), pointer_[0], pointer_[1]);
        return p.bytes;
    }

    XvfbDisplay server_;
    std::unique_ptr<Painter> painter_;
    Picture screen_{320, 240};
    std::array<int, 2> pointer_{};
};

// Only what changed is read and written: the rows of what was drawn, and the rows the arrow
// leaves and enters, rewritten from the kept picture. Rectangles land at their rows and columns,
// bottom-up, on both paths, with the arrow blended in at the pointer and clipped by the grabbed
// rectangle (157 columns: the rows end in pixels that are converted one by one, past the wide
// steps); beyond the screen is black; another size remakes the transfer image; unusable arguments
// leave the buffer alone. Auto chooses the X11 grabber in an X11 session, which reads DISPLAY.
TEST_F(ScreenGrabberTest, LaterGrabsRewriteOnlyTheChangedRowsAndRectanglesLandBottomUp) {
    for (bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "shared memory" : "plain");
        Fill(0, 0, 320, 240, kBackground);
        Fill(100, 0, 60, 240, kRed);
        MovePointer(90, 40);
        ScreenGrabber grabber({server_.Name(), shared});
        Frame frame(320 * 240 * 3, 0);
        // Grabs the whole screen into frame: the work done so far and the picture.
        auto grab = [&](Work work) {
            ASSERT_TRUE(grabber.Grab(frame.data(), 320, 240));
            EXPECT_EQ(Counts(grabber), work);
            EXPECT_EQ(frame, Expected(320, 240));
        };
        grab({1, 240, 240});

        // An unchanged screen and pointer: nothing is read or written, the frame stays.
        for (int i = 0; i < 5; ++i)
            EXPECT_FALSE(grabber.Grab(frame.data(), 320, 240));
        EXPECT_EQ(Counts(grabber), (Work{1, 240, 240}));
        EXPECT_EQ(frame, Expected(320, 240));

        // The rows the arrow leaves (40..71) and enters (120..151); then overlapping positions
        // rewrite the rows of both, once. The screen is not read.
        MovePointer(110, 120);
        grab({1, 240, 240 + 2 * kPointerSize});
        MovePointer(112, 130);
        grab({1, 240, 240 + 2 * kPointerSize + 42});

        // A small rectangle: its six rows are read and written.
        Fill(60, 70, 20, 6, kGreen);
        grab({2, 246, 346 + 6});

        // Drawing in a window (not on the root window itself) is seen too.
        painter_->ShowWindow(200, 150, 40, 30, kOdd);
        screen_.Fill(200, 150, 40, 30, kOdd);
        grab({3, 276, 352 + 30});
        // Whatever the server shows where the window was (the root window may have no
        // background to repaint with), the frame shows the same as a fresh grabber's.
        painter_->CloseWindows();
        grabber.Grab(frame.data(), 320, 240);
        Frame fresh(frame.size(), 0);
        ASSERT_TRUE(ScreenGrabber({server_.Name(), shared}).Grab(fresh.data(), 320, 240));
        EXPECT_EQ(frame, fresh);

        // Another buffer gets the whole picture from the kept image, without reading the screen.
        const Work beforeBuffer = Counts(grabber);
        Frame other(320 * 240 * 3, 0x5A);
        ASSERT_TRUE(grabber.Grab(other.data(), 320, 240));
        EXPECT_EQ(Counts(grabber), (Work{beforeBuffer[0], beforeBuffer[1], beforeBuffer[2] + 240}));
        EXPECT_EQ(other, frame);

        Fill(10, 20, 50, 30, kRed);     // columns 10..59, rows 20..49 from the top
        Fill(100, 30, 40, 40, kGreen);  // columns 100..139, rows 30..69
        Fill(200, 150, 50, 30, kOdd);   // columns 200..249, rows 150..179
        // Width, height and pointer position; the same size again keeps the buffer's picture:
        // leaving it takes the arrow away.
        const std::array<int, 4> rows[] = {{400, 300, 150, 100}, {320, 240, 0, 0},
                                           {157, 120, 147, 100}, {160, 120, 150, 100},
                                           {160, 120, 300, 200}, {400, 300, 319, 239}};
        for (const auto& [width, height, x, y] : rows) {
            SCOPED_TRACE(::testing::Message() << width << "x" << height << " " << x << "," << y);
            MovePointer(x, y);
            other.resize(static_cast<size_t>(width * height * 3), 0xCC);
            ASSERT_TRUE(grabber.Grab(other.data(), width, height));
            EXPECT_FALSE(grabber.Grab(other.data(), 0, 16));
            EXPECT_FALSE(grabber.Grab(other.data(), 16, -1));
            EXPECT_FALSE(grabber.Grab(nullptr, 16, 16));
            EXPECT_EQ(other, Expected(width, height));
        }
        EXPECT_EQ(grabber.UsedSharedMemory(), shared);
    }
    ASSERT_EQ(setenv("DISPLAY", server_.Name().c_str(), 1), 0);
    setenv("XDG_SESSION_TYPE", "x11", 1);
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(ChooseScreenBackend(ScreenCaptureMode::kAuto), ScreenBackend::kX11);
    EXPECT_EQ(DefaultScreenSize(ScreenCaptureMode::kAuto), (std::pair<int, int>{320, 240}));
    ScreenDevice device = MakeScreenDevice(ScreenCaptureOptions{}, nullptr);
    EXPECT_TRUE(device.open());  // nothing to ask on X11
    Frame small(64 * 48 * 3, 0x5A);
    EXPECT_TRUE(device.grab(small.data(), 64, 48));
    EXPECT_EQ(small, Expected(64, 48));
    device.close();

    // The setting's text (trimmed, any case; unknown texts are auto) first, then the session.
    using enum ScreenBackend;
    constexpr ScreenBackend kPortalUnderAuto = TUTORLANE_PORTAL ? kPortal : kX11;
    struct Case {
        const char* setting;
        const char* sessionType;  // null: unset
        const char* waylandDisplay;
        ScreenBackend expected;
    };
    const Case cases[] = {
        {"auto", "x11", nullptr, kX11},
        {"wayland", nullptr, nullptr, kX11},
        {"", "tty", "", kX11},
        {"auto", "wayland", nullptr, kPortalUnderAuto},
        {"wayland", "Wayland", nullptr, kPortalUnderAuto},
        {"", nullptr, "wayland-0", kPortalUnderAuto},
        {" X11 ", "wayland", "wayland-0", kX11},
        {"PORTAL", "x11", nullptr, kPortal},
    };
    for (const Case& c : cases)
        EXPECT_EQ(
            ChooseScreenBackend(ParseScreenCaptureMode(c.setting), c.sessionType, c.waylandDisplay),
            c.expected)
            << "case " << &c - cases;
}

// A 16-bit server, on both paths, that is missing at first, goes away and comes back: failed
// grabs leave the frame alone, a grabber tries again at most once per interval, colours are
// converted by the server's masks.
TEST_F(ScreenGrabberTest, SixteenBitServerMissingThenGoneAndBack) {
    // A display number of its own, far from the low ones other servers pick while this one is
    // away.
    const int number = 400 + getpid() % 500;
    const std::string name = ":" + std::to_string(number);
    // The server again, at 16 bits: the first colour everywhere, then squares of 10 x 10 along the
    // top edge from the left. (The painter goes before the server does.)
    auto restart = [&](std::vector<Rgb> colours) {
        StartServer("320x240x16", number);
        Fill(0, 0, 320, 240, colours[0]);
        for (size_t i = 1; i < colours.size(); ++i)
            Fill(static_cast<int>(i - 1) * 10, 0, 10, 10, colours[i]);
        MovePointer(300, 200);
    };
    // Whether the grabber grabs the whole 64 x 32 again within 10 s.
    auto reconnects = [](ScreenGrabber& grabber, Frame& frame) {
        bool grabbed = false;
        return rtmp::test::WaitUntil(
            [&] { return grabbed = grabbed || grabber.Grab(frame.data(), 64, 32); }, 10s);
    };
    for (bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "shared memory" : "plain");
        painter_.reset();
        server_.Stop();
        ScreenGrabber patient({name, shared, std::chrono::hours(1)});
        ScreenGrabber eager({name, shared, 300ms});
        Frame frame(64 * 32 * 3, 0x77);
        EXPECT_FALSE(patient.Grab(frame.data(), 64, 32));
        EXPECT_FALSE(eager.Grab(frame.data(), 64, 32));
        const auto failed = std::chrono::steady_clock::now();

        restart({{0, 0, 0}, kRed, kGreen, {0, 0, 0xFF}, {0xFF, 0xFF, 0xFF}});
        // The patient grabber does not try again within its interval, although the server is up;
        // the eager one connects on its first try after 300 ms.
        EXPECT_FALSE(patient.Grab(frame.data(), 64, 32));
        EXPECT_EQ(frame, Frame(64 * 32 * 3, 0x77));
        ASSERT_TRUE(reconnects(eager, frame));
        EXPECT_GE(std::chrono::steady_clock::now() - failed, 300ms);
        EXPECT_EQ(frame, Expected(64, 32));

        painter_.reset();
        server_.Stop();
        EXPECT_FALSE(eager.Grab(frame.data(), 64, 32));
        EXPECT_FALSE(eager.Grab(frame.data(), 64, 32));
        EXPECT_EQ(frame, Expected(64, 32));

        restart({kGreen, kRed});
        ASSERT_TRUE(reconnects(eager, frame));
        EXPECT_EQ(frame, Expected(64, 32));
        EXPECT_EQ(eager.UsedSharedMemory(), shared);
    }
}

}  // namespace
}  // namespace capture
