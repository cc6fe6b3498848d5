#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
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
    // The arrow as designed: a change to its outline or rim changes these counts.
    EXPECT_EQ(std::tuple(fill, outline, rim, clear), std::tuple(119, 97, 81, 727));
    // The top-right and bottom-left corners of the picture lie outside the arrow; the tip is
    // opaque outline.
    EXPECT_EQ(ArrowAt(31, 0).alpha, 0);
    EXPECT_EQ(ArrowAt(0, 31).alpha, 0);
    EXPECT_EQ(std::tuple(ArrowAt(0, 0).red, ArrowAt(0, 0).green, ArrowAt(0, 0).alpha),
              std::tuple(kPointerOutline.red, kPointerOutline.green, uint8_t{255}));
}

// The arrow blended over the frame with its tip at (x, y) from the top of a bottom-up frame,
// clipped at the right and bottom edges; a tip outside the frame draws nothing.
TEST(PointerArrowTest, DrawPutsTheTipAtThePositionAndClips) {
    struct Row {
        int32_t w, h, x, y;
    };
    const Row rows[] = {{64, 48, 10, 5}, {20, 10, 19, 9}, {16, 16, 16, 0},
                        {16, 16, 0, 16}, {16, 16, -1, 3}, {16, 16, 3, -1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.x << "," << r.y);
        // The frame between 100 guard bytes on either side, all compared afterwards.
        std::vector<uint8_t> guarded(100, 0x5A);
        guarded.resize(guarded.size() + static_cast<size_t>(r.w * r.h * 3), 200);
        guarded.resize(guarded.size() + 100, 0x5A);
        std::vector<uint8_t> expected = guarded;
        for (int32_t y = 0; y < r.h && r.x >= 0 && r.y >= 0 && r.x < r.w && r.y < r.h; ++y) {
            for (int32_t x = 0; x < r.w; ++x) {
                const int32_t ax = x - r.x;
                const int32_t ay = (r.h - 1 - y) - r.y;  // picture row of buffer row y
                if (ax < 0 || ay < 0 || ax >= kPointerSize || ay >= kPointerSize)
                    continue;
                const PointerPixel& p = ArrowAt(ax, ay);
                uint8_t* out = &expected[static_cast<size_t>(100 + (y * r.w + x) * 3)];
                out[0] = ExpectedBlend(p.blue, 200, p.alpha);
                out[1] = ExpectedBlend(p.green, 200, p.alpha);
                out[2] = ExpectedBlend(p.red, 200, p.alpha);
            }
        }
        DrawPointer(FrameImage(guarded.data() + 100, r.w, r.h), r.x, r.y);
        EXPECT_EQ(guarded, expected);
    }
}

}  // namespace
}  // namespace capture
