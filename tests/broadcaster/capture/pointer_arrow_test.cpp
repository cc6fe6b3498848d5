#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "capture/pointer_arrow.h"

namespace capture {
namespace {

const PointerPixel& ArrowAt(int32_t x, int32_t y) {
    return PointerArrow()[static_cast<size_t>(y * kPointerSize + x)];
}

uint8_t ExpectedBlend(uint8_t over, uint8_t under, uint8_t alpha) {
    return static_cast<uint8_t>(std::lround((over * alpha + under * (255.0 - alpha)) / 255.0));
}

TEST(PointerArrowTest, TipIsAnOpaqueOutlinePixelAtTheTopLeft) {
    const PointerPixel& tip = ArrowAt(0, 0);
    EXPECT_EQ(tip.alpha, 255);
    EXPECT_EQ(tip.red, kPointerOutline.red);
    EXPECT_EQ(tip.green, kPointerOutline.green);
    EXPECT_EQ(tip.blue, kPointerOutline.blue);
}

TEST(PointerArrowTest, ArrowHasFillOutlineRimAndTransparentArea) {
    int fill = 0;
    int outline = 0;
    int rim = 0;
    int clear = 0;
    for (int32_t y = 0; y < kPointerSize; ++y) {
        for (int32_t x = 0; x < kPointerSize; ++x) {
            const PointerPixel& p = ArrowAt(x, y);
            if (p.alpha == 0) {
                ++clear;
            } else if (p.alpha < 255) {
                ++rim;
            } else if (p.red == kPointerFill.red && p.green == kPointerFill.green &&
                       p.blue == kPointerFill.blue) {
                ++fill;
            } else {
                ++outline;
            }
        }
    }
    EXPECT_GT(fill, 100);
    EXPECT_GT(outline, 40);
    EXPECT_GT(rim, 20);
    EXPECT_GT(clear, 32 * 32 / 2);
    // The top-right and bottom-left corners of the picture lie outside the arrow.
    EXPECT_EQ(ArrowAt(31, 0).alpha, 0);
    EXPECT_EQ(ArrowAt(0, 31).alpha, 0);
}

TEST(PointerArrowTest, DrawPutsTheTipAtThePositionInABottomUpFrame) {
    const int32_t w = 64;
    const int32_t h = 48;
    std::vector<uint8_t> pixels(static_cast<size_t>(w * h * 3), 200);
    const FrameImage frame(pixels.data(), w, h);
    DrawPointer(frame, 10, 5);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const int32_t ax = x - 10;
            const int32_t ay = (h - 1 - y) - 5;  // picture row of buffer row y, less the tip's
            const uint8_t* out = frame.Pixel(x, y);
            if (ax < 0 || ay < 0 || ax >= kPointerSize || ay >= kPointerSize) {
                ASSERT_EQ(out[0], 200) << x << "," << y;
                continue;
            }
            const PointerPixel& p = ArrowAt(ax, ay);
            ASSERT_EQ(out[0], ExpectedBlend(p.blue, 200, p.alpha)) << x << "," << y;
            ASSERT_EQ(out[1], ExpectedBlend(p.green, 200, p.alpha)) << x << "," << y;
            ASSERT_EQ(out[2], ExpectedBlend(p.red, 200, p.alpha)) << x << "," << y;
        }
    }
    // Tip at (10, 5) from the top is buffer row 48 - 1 - 5 = 42.
    EXPECT_EQ(frame.Pixel(10, 42)[2], kPointerOutline.red);
}

TEST(PointerArrowTest, DrawIsClippedAtTheRightAndBottomEdges) {
    const int32_t w = 20;
    const int32_t h = 10;
    std::vector<uint8_t> guarded(static_cast<size_t>(w * h * 3) + 200, 0x5A);
    uint8_t* start = guarded.data() + 100;
    std::fill(start, start + w * h * 3, uint8_t{0});
    const FrameImage frame(start, w, h);
    DrawPointer(frame, w - 1, h - 1);
    // Only the tip fits: bottom-right picture pixel, which is buffer row 0.
    EXPECT_EQ(frame.Pixel(w - 1, 0)[2], kPointerOutline.red);
    int changed = 0;
    for (int32_t i = 0; i < w * h * 3; ++i) {
        changed += start[i] != 0 ? 1 : 0;
    }
    EXPECT_LE(changed, 3);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(guarded[static_cast<size_t>(i)], 0x5A);
        ASSERT_EQ(guarded[guarded.size() - 1 - static_cast<size_t>(i)], 0x5A);
    }
}

TEST(PointerArrowTest, TipOutsideTheFrameDrawsNothing) {
    std::vector<uint8_t> pixels(16 * 16 * 3, 0);
    const FrameImage frame(pixels.data(), 16, 16);
    DrawPointer(frame, 16, 0);
    DrawPointer(frame, 0, 16);
    DrawPointer(frame, -1, 3);
    DrawPointer(frame, 3, -1);
    EXPECT_EQ(pixels, std::vector<uint8_t>(16 * 16 * 3, 0));
}

}  // namespace
}  // namespace capture
