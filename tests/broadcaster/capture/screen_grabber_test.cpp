// Screen capture against a real X server: each test suite runs its own Xvfb, draws known
// rectangles on the root window with Xlib, moves the pointer and checks the captured frames.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "capture/pointer_arrow.h"
#include "capture/screen_grabber.h"
#include "capture/x_painter.h"
#include "capture/xvfb_display.h"
#include "support/child_process.h"

namespace capture {
namespace {

using Clock = std::chrono::steady_clock;
using Frame = std::vector<uint8_t>;
using test::Painter;
using test::Rgb;

constexpr int kScreenWidth = 320;
constexpr int kScreenHeight = 240;

// Pixel (x, y) counted from the picture's top-left, in a bottom-up BGR frame.
Rgb At(const Frame& frame, int width, int height, int x, int y) {
    const size_t offset = (static_cast<size_t>(height - 1 - y) * static_cast<size_t>(width) +
                           static_cast<size_t>(x)) *
                          3U;
    return {frame[offset + 2], frame[offset + 1], frame[offset]};
}

uint8_t Blend(uint8_t over, uint8_t under, uint8_t alpha) {
    return static_cast<uint8_t>(std::lround((over * alpha + under * (255.0 - alpha)) / 255.0));
}

// The colour the arrow's pixel (ax, ay) gives over `under`.
Rgb ArrowOver(int ax, int ay, Rgb under) {
    const PointerPixel& p = PointerArrow()[static_cast<size_t>(ay * kPointerSize + ax)];
    return {Blend(p.red, under.red, p.alpha), Blend(p.green, under.green, p.alpha),
            Blend(p.blue, under.blue, p.alpha)};
}

// The frame's colour at (x, y) against `want(x, y)` for every pixel.
template <typename Want>
::testing::AssertionResult Every(const Frame& frame, int width, int height, Want want) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (!(At(frame, width, height, x, y) == want(x, y)))
                return ::testing::AssertionFailure() << "pixel " << x << "," << y << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Uniform(const Frame& frame, int width, int height, Rgb colour) {
    return Every(frame, width, height, [&](int, int) { return colour; });
}

struct Probe {
    int x, y;
    Rgb colour;
};

// The frame's colours at the probes.
::testing::AssertionResult Shows(const Frame& frame, int width, int height,
                                 std::initializer_list<Probe> probes) {
    for (const Probe& p : probes) {
        if (!(At(frame, width, height, p.x, p.y) == p.colour))
            return ::testing::AssertionFailure() << "pixel " << p.x << "," << p.y << " differs";
    }
    return ::testing::AssertionSuccess();
}

constexpr Rgb kBackground{0x40, 0x50, 0x60};
constexpr Rgb kRed{0xFF, 0x00, 0x00};
constexpr Rgb kGreen{0x00, 0xFF, 0x00};
constexpr Rgb kOdd{0x12, 0x34, 0x56};

class ScreenGrabberTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<test::XvfbDisplay>();
        if (!server_->Start("320x240x24")) {
            server_.reset();
        }
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(server_) << "Xvfb did not start";
        painter_ = std::make_unique<Painter>(server_->Name());
        ASSERT_TRUE(painter_->Ok());
        painter_->Fill(0, 0, kScreenWidth, kScreenHeight, kBackground);
    }

    ScreenGrabber::Options OptionsFor(bool sharedMemory) const {
        ScreenGrabber::Options options;
        options.displayName = server_->Name();
        options.sharedMemory = sharedMemory;
        return options;
    }

    static std::unique_ptr<test::XvfbDisplay> server_;
    std::unique_ptr<Painter> painter_;
};

std::unique_ptr<test::XvfbDisplay> ScreenGrabberTest::server_;

// Rectangles land at their rows and columns, bottom-up, on both paths; a rectangle beyond the
// screen is black there; unusable arguments leave the buffer alone; a grabber without a display
// name reads the default display.
TEST_F(ScreenGrabberTest,
       RectanglesLandBottomUpBeyondTheScreenIsBlackAndBadArgumentsChangeNothing) {
    painter_->Fill(10, 20, 50, 30, kRed);     // columns 10..59, rows 20..49 from the top
    painter_->Fill(100, 30, 40, 40, kGreen);  // columns 100..139, rows 30..69
    painter_->Fill(200, 150, 50, 30, kOdd);   // columns 200..249, rows 150..179
    painter_->MovePointer(319, 239);
    const int w = 400;
    const int h = 300;
    constexpr Rgb kBlack{0, 0, 0};
    for (bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "shared memory" : "plain");
        ScreenGrabber grabber(OptionsFor(shared));
        Frame frame(static_cast<size_t>(w * h * 3), 0xCC);
        ASSERT_TRUE(grabber.Grab(frame.data(), w, h));
        EXPECT_EQ(grabber.UsedSharedMemory(), shared);
        // Row 0 of the buffer is the bottom row of the picture; pixels are blue, green, red.
        EXPECT_TRUE(Shows(frame, w, h,
                          {{10, 20, kRed},
                           {59, 49, kRed},
                           {9, 20, kBackground},
                           {60, 20, kBackground},
                           {10, 19, kBackground},
                           {10, 50, kBackground},
                           {100, 30, kGreen},
                           {139, 69, kGreen},
                           {140, 69, kBackground},
                           {200, 150, kOdd},
                           {249, 179, kOdd},
                           {249, 180, kBackground},
                           {0, 0, kBackground},
                           {318, 238, kBackground},
                           {320, 0, kBlack},
                           {399, 299, kBlack},
                           {0, 240, kBlack},
                           {10, 299, kBlack}}));
        const Frame before = frame;
        EXPECT_FALSE(grabber.Grab(frame.data(), 0, 16));
        EXPECT_FALSE(grabber.Grab(frame.data(), 16, -1));
        EXPECT_FALSE(grabber.Grab(nullptr, 16, 16));
        EXPECT_EQ(frame, before);
    }
    ASSERT_EQ(::setenv("DISPLAY", server_->Name().c_str(), 1), 0);
    Frame small(64 * 48 * 3, 0);
    ScreenGrabber defaultDisplay;
    EXPECT_TRUE(defaultDisplay.Grab(small.data(), 64, 48));
    EXPECT_TRUE(Shows(small, 64, 48, {{10, 20, kRed}, {59, 47, kRed}, {9, 20, kBackground}}));
}

// The arrow blended over the background with its tip at the pointer, clipped by the grabbed
// rectangle, on both paths. 157 columns: the rows end in pixels that are converted one by one, past
// the wide steps.
TEST_F(ScreenGrabberTest, PointerArrowIsBlendedAtThePointerAndClipped) {
    struct Row {
        int width, height, pointerX, pointerY;
    };
    for (const Row& r : {Row{kScreenWidth, kScreenHeight, 0, 0}, Row{157, 120, 147, 100},
                         Row{160, 120, 300, 200}}) {
        painter_->MovePointer(r.pointerX, r.pointerY);
        for (bool shared : {true, false}) {
            SCOPED_TRACE(::testing::Message()
                         << r.pointerX << "," << r.pointerY << " shared " << shared);
            ScreenGrabber grabber(OptionsFor(shared));
            Frame frame(static_cast<size_t>(r.width * r.height * 3), 0);
            ASSERT_TRUE(grabber.Grab(frame.data(), r.width, r.height));
            EXPECT_TRUE(Every(frame, r.width, r.height, [&](int x, int y) {
                const int ax = x - r.pointerX;
                const int ay = y - r.pointerY;
                const bool arrow = ax >= 0 && ay >= 0 && ax < kPointerSize && ay < kPointerSize;
                return arrow ? ArrowOver(ax, ay, kBackground) : kBackground;
            }));
        }
    }
}

// What a grabber of its own, reading the whole screen, makes of it now.
Frame FreshGrab(const ScreenGrabber::Options& options, int width, int height) {
    ScreenGrabber grabber(options);
    Frame frame(static_cast<size_t>(width * height * 3), 0);
    EXPECT_TRUE(grabber.Grab(frame.data(), width, height));
    return frame;
}

TEST_F(ScreenGrabberTest, LaterGrabsReadAndWriteOnlyTheChangedRows) {
    painter_->MovePointer(319, 239);
    for (bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "shared memory" : "plain");
        painter_->Fill(0, 0, kScreenWidth, kScreenHeight, kBackground);
        ScreenGrabber grabber(OptionsFor(shared));
        Frame frame(kScreenWidth * kScreenHeight * 3, 0);
        ASSERT_TRUE(grabber.Grab(frame.data(), kScreenWidth, kScreenHeight));
        const ScreenGrabber::Work first = grabber.Done();
        EXPECT_EQ(first.screenReads, 1U);
        EXPECT_EQ(first.rowsRead, static_cast<uint64_t>(kScreenHeight));
        EXPECT_EQ(first.rowsWritten, static_cast<uint64_t>(kScreenHeight));

        // An unchanged screen: nothing is read or written, the frame stays as it is.
        const Frame before = frame;
        for (int i = 0; i < 5; ++i) {
            EXPECT_FALSE(grabber.Grab(frame.data(), kScreenWidth, kScreenHeight));
        }
        EXPECT_EQ(grabber.Done().screenReads, first.screenReads);
        EXPECT_EQ(grabber.Done().rowsRead, first.rowsRead);
        EXPECT_EQ(grabber.Done().rowsWritten, first.rowsWritten);
        EXPECT_EQ(frame, before);

        // A small rectangle: its six rows are read and written, and the frame is the whole
        // screen as it is now.
        painter_->Fill(60, 70, 20, 6, kGreen);
        ASSERT_TRUE(grabber.Grab(frame.data(), kScreenWidth, kScreenHeight));
        EXPECT_EQ(grabber.Done().screenReads, first.screenReads + 1);
        EXPECT_EQ(grabber.Done().rowsRead, first.rowsRead + 6);
        EXPECT_EQ(grabber.Done().rowsWritten, first.rowsWritten + 6);
        EXPECT_TRUE(At(frame, kScreenWidth, kScreenHeight, 70, 72) == kGreen);
        EXPECT_EQ(frame, FreshGrab(OptionsFor(shared), kScreenWidth, kScreenHeight));

        // Drawing in a window (not on the root window itself) is seen too.
        const ScreenGrabber::Work beforeWindow = grabber.Done();
        painter_->ShowWindow(200, 150, 40, 30, kOdd);
        ASSERT_TRUE(grabber.Grab(frame.data(), kScreenWidth, kScreenHeight));
        EXPECT_EQ(grabber.Done().rowsRead, beforeWindow.rowsRead + 30);
        EXPECT_TRUE(At(frame, kScreenWidth, kScreenHeight, 220, 160) == kOdd);
        EXPECT_EQ(frame, FreshGrab(OptionsFor(shared), kScreenWidth, kScreenHeight));
        // Whatever the server shows where the window was (the root window may have no
        // background to repaint with), the frame shows the same.
        painter_->CloseWindows();
        grabber.Grab(frame.data(), kScreenWidth, kScreenHeight);
        EXPECT_EQ(frame, FreshGrab(OptionsFor(shared), kScreenWidth, kScreenHeight));

        // Another buffer gets the whole picture from the kept image, without reading the screen.
        const ScreenGrabber::Work beforeBuffer = grabber.Done();
        Frame other(kScreenWidth * kScreenHeight * 3, 0x5A);
        ASSERT_TRUE(grabber.Grab(other.data(), kScreenWidth, kScreenHeight));
        EXPECT_EQ(grabber.Done().screenReads, beforeBuffer.screenReads);
        EXPECT_EQ(grabber.Done().rowsWritten,
                  beforeBuffer.rowsWritten + static_cast<uint64_t>(kScreenHeight));
        EXPECT_EQ(other, frame);

        // A smaller rectangle on the same grabber remakes its transfer image.
        Frame small(100 * 90 * 3, 0);
        ASSERT_TRUE(grabber.Grab(small.data(), 100, 90));
        EXPECT_TRUE(At(small, 100, 90, 60, 70) == kGreen);
        EXPECT_TRUE(At(small, 100, 90, 99, 89) == kBackground);
        EXPECT_EQ(grabber.UsedSharedMemory(), shared);
    }
}

TEST_F(ScreenGrabberTest, PointerMovingOverAnUnchangedScreenRedrawsOnlyTheArrowRows) {
    painter_->Fill(100, 0, 60, kScreenHeight, kRed);
    painter_->MovePointer(90, 40);
    ScreenGrabber grabber(OptionsFor(true));
    Frame frame(kScreenWidth * kScreenHeight * 3, 0);
    ASSERT_TRUE(grabber.Grab(frame.data(), kScreenWidth, kScreenHeight));
    const ScreenGrabber::Work first = grabber.Done();

    // The rows the arrow leaves (40..71) and enters (120..151) are rewritten from the kept
    // picture; the screen is not read.
    painter_->MovePointer(110, 120);
    ASSERT_TRUE(grabber.Grab(frame.data(), kScreenWidth, kScreenHeight));
    EXPECT_EQ(grabber.Done().screenReads, first.screenReads);
    EXPECT_EQ(grabber.Done().rowsWritten, first.rowsWritten + 2 * kPointerSize);
    EXPECT_EQ(frame, FreshGrab(OptionsFor(true), kScreenWidth, kScreenHeight));
    EXPECT_TRUE(At(frame, kScreenWidth, kScreenHeight, 90, 40) == kBackground);
    EXPECT_TRUE(At(frame, kScreenWidth, kScreenHeight, 110, 120) == ArrowOver(0, 0, kRed));

    // Overlapping positions rewrite the rows of both, once.
    painter_->MovePointer(112, 130);
    ASSERT_TRUE(grabber.Grab(frame.data(), kScreenWidth, kScreenHeight));
    EXPECT_EQ(grabber.Done().rowsWritten, first.rowsWritten + 2 * kPointerSize + 42);
    EXPECT_EQ(frame, FreshGrab(OptionsFor(true), kScreenWidth, kScreenHeight));

    // A pointer that stays put costs nothing.
    EXPECT_FALSE(grabber.Grab(frame.data(), kScreenWidth, kScreenHeight));
    EXPECT_EQ(grabber.Done().rowsWritten, first.rowsWritten + 2 * kPointerSize + 42);

    // Leaving a smaller captured rectangle takes the arrow away.
    Frame part(160 * 120 * 3, 0);
    painter_->MovePointer(150, 100);
    ASSERT_TRUE(grabber.Grab(part.data(), 160, 120));
    painter_->MovePointer(300, 200);
    ASSERT_TRUE(grabber.Grab(part.data(), 160, 120));
    EXPECT_EQ(part, FreshGrab(OptionsFor(true), 160, 120));
    EXPECT_TRUE(At(part, 160, 120, 150, 100) == kRed);
}

// Servers that appear, vanish and come back.
TEST(ScreenGrabberLifecycleTest, MissingDisplayLeavesTheFrameAndRetriesAtMostOncePerInterval) {
    const int number = test::XvfbDisplay::FreeNumber();
    ASSERT_GE(number, 0);
    ScreenGrabber::Options slow;
    slow.displayName = ":" + std::to_string(number);
    slow.reopenInterval = std::chrono::hours(1);
    ScreenGrabber::Options quick = slow;
    quick.reopenInterval = std::chrono::milliseconds(300);
    ScreenGrabber patient(slow);
    ScreenGrabber eager(quick);

    Frame frame(32 * 24 * 3, 0x77);
    EXPECT_FALSE(patient.Grab(frame.data(), 32, 24));
    EXPECT_FALSE(eager.Grab(frame.data(), 32, 24));
    const Clock::time_point failed = Clock::now();
    EXPECT_EQ(frame, Frame(32 * 24 * 3, 0x77));

    test::XvfbDisplay server;
    ASSERT_TRUE(server.Start("320x240x24", number));
    // The patient grabber does not try again within its interval, although the server is up.
    EXPECT_FALSE(patient.Grab(frame.data(), 32, 24));
    EXPECT_EQ(frame, Frame(32 * 24 * 3, 0x77));
    // The eager one connects on its first try after 300 ms.
    bool grabbed = false;
    while (!grabbed && Clock::now() - failed < std::chrono::seconds(10)) {
        grabbed = eager.Grab(frame.data(), 32, 24);
        if (!grabbed) {
            EXPECT_EQ(frame, Frame(32 * 24 * 3, 0x77));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ASSERT_TRUE(grabbed);
    EXPECT_GE(Clock::now() - failed, std::chrono::milliseconds(300));
    EXPECT_NE(frame, Frame(32 * 24 * 3, 0x77));
}

TEST(ScreenGrabberLifecycleTest, ServerGoingAwayKeepsThePreviousFrameAndReconnects) {
    test::XvfbDisplay server;
    ASSERT_TRUE(server.Start("320x240x24"));
    const int number = server.Number();
    for (bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "shared memory" : "plain");
        if (!server.Running()) {
            ASSERT_TRUE(server.Start("320x240x24", number));
        }
        ScreenGrabber::Options options;
        options.displayName = server.Name();
        options.sharedMemory = shared;
        options.reopenInterval = std::chrono::milliseconds(100);
        ScreenGrabber grabber(options);
        {
            Painter painter(server.Name());
            ASSERT_TRUE(painter.Ok());
            painter.Fill(0, 0, 320, 240, kOdd);
            painter.MovePointer(319, 239);
        }
        Frame frame(64 * 64 * 3, 0);
        ASSERT_TRUE(grabber.Grab(frame.data(), 64, 64));
        EXPECT_TRUE(Uniform(frame, 64, 64, kOdd));

        server.Stop();
        const Frame previous = frame;
        EXPECT_FALSE(grabber.Grab(frame.data(), 64, 64));
        EXPECT_FALSE(grabber.Grab(frame.data(), 64, 64));
        EXPECT_EQ(frame, previous);

        ASSERT_TRUE(server.Start("320x240x24", number));
        {
            Painter painter(server.Name());
            ASSERT_TRUE(painter.Ok());
            painter.Fill(0, 0, 320, 240, kGreen);
            painter.MovePointer(319, 239);
        }
        bool grabbed = false;
        ASSERT_TRUE(rtmp::test::WaitUntil(
            [&] { return grabbed = grabbed || grabber.Grab(frame.data(), 64, 64); },
            std::chrono::seconds(10)));
        EXPECT_TRUE(Uniform(frame, 64, 64, kGreen));
        EXPECT_EQ(grabber.UsedSharedMemory(), shared);
    }
}

TEST(ScreenGrabberDepthTest, SixteenBitScreenIsConvertedByItsMasks) {
    test::XvfbDisplay server;
    ASSERT_TRUE(server.Start("320x240x16"));
    Painter painter(server.Name());
    ASSERT_TRUE(painter.Ok());
    painter.Fill(0, 0, 320, 240, Rgb{0, 0, 0});
    painter.Fill(0, 0, 10, 10, kRed);
    painter.Fill(10, 0, 10, 10, kGreen);
    painter.Fill(20, 0, 10, 10, Rgb{0, 0, 0xFF});
    painter.Fill(30, 0, 10, 10, Rgb{0xFF, 0xFF, 0xFF});
    painter.MovePointer(300, 200);
    for (bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "shared memory" : "plain");
        ScreenGrabber::Options options;
        options.displayName = server.Name();
        options.sharedMemory = shared;
        ScreenGrabber grabber(options);
        Frame frame(64 * 32 * 3, 0x99);
        ASSERT_TRUE(grabber.Grab(frame.data(), 64, 32));
        EXPECT_TRUE(Shows(frame, 64, 32,
                          {{5, 5, kRed},
                           {15, 5, kGreen},
                           {25, 5, {0, 0, 0xFF}},
                           {35, 5, {0xFF, 0xFF, 0xFF}},
                           {45, 5, {0, 0, 0}},
                           {5, 20, {0, 0, 0}}}));
    }
}

}  // namespace
}  // namespace capture
