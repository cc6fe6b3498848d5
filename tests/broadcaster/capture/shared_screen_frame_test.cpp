// The pointer arrow, and pictures of a shared Wayland screen (32-bit pixels, top-down, padded
// rows, two byte orders) into the broadcaster's packed BGR bottom-up frame with the arrow blended
// in at the pointer's position.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "capture/pointer_arrow.h"
#include "capture/shared_screen_frame.h"

namespace capture {
namespace {

// The arrow as designed: a change to its outline or rim changes how many of its pixels are clear,
// rim, outline and fill. The top-right and bottom-left corners of the picture lie outside the
// arrow; the tip is opaque outline.
TEST(PointerArrowTest, ArrowHasFillOutlineRimAndTransparentArea) {
    const PointerPicture& arrow = PointerArrow();
    std::array<int, 4> counts{};  // clear, rim, outline, fill
    for (const PointerPixel& p : arrow) {
        const bool fill = p.red == kPointerFill.red && p.green == kPointerFill.green &&
                          p.blue == kPointerFill.blue;
        ++counts[p.alpha == 0 ? 0 : p.alpha < 255 ? 1 : fill ? 3 : 2];
    }
    EXPECT_EQ(counts, (std::array<int, 4>{727, 81, 97, 119}));
    EXPECT_EQ(arrow[kPointerSize - 1].alpha, 0);
    EXPECT_EQ(arrow[(kPointerSize - 1) * kPointerSize].alpha, 0);
    EXPECT_EQ(std::tuple(arrow[0].red, arrow[0].green, arrow[0].alpha),
              std::tuple(kPointerOutline.red, kPointerOutline.green, uint8_t{255}));
}

// Screen pixel (x, y), y counted from the top: a different colour for every position.
std::array<uint8_t, 3> ScreenBgr(int x, int y) {
    return {static_cast<uint8_t>(10 + x), static_cast<uint8_t>(100 + y),
            static_cast<uint8_t>(200 + x + y)};
}

uint8_t Blend(uint8_t over, uint8_t under, uint8_t alpha) {
    return static_cast<uint8_t>(std::lround((over * alpha + under * (255.0 - alpha)) / 255.0));
}

// The top-left rectangle of the picture, bottom-up, black where the frame reaches beyond it, the
// arrow blended in with its tip at the pointer and clipped at the frame's right and bottom edges
// (none when the tip lies outside the frame); unusable pictures leave the frame untouched. Each
// picture's rows are `stride` bytes whose padding and x bytes hold 0xEE (which must never reach
// the frame); bytes past the frame must stay as they were.
TEST(SharedScreenFrameTest, ConvertsEitherOrderAndPaddedRowsWithTheArrow) {
    struct Case {
        int sourceWidth, sourceHeight, stride;
        SharedPixelOrder order;
        int width, height;  // of the frame asked for
        std::optional<SharedPointer> pointer;
        size_t missing;  // bytes fewer than the last row needs
        bool usable;
    };
    constexpr auto kBgrx = SharedPixelOrder::kBgrx;
    constexpr auto kRgbx = SharedPixelOrder::kRgbx;
    const Case cases[] = {
        {8, 6, 32, kBgrx, 8, 6, std::nullopt, 0, true},
        {8, 6, 32, kRgbx, 8, 6, SharedPointer{0, 0}, 0, true},
        {5, 4, 28, kBgrx, 5, 4, SharedPointer{4, 3}, 0, true},
        {5, 4, 64, kRgbx, 5, 4, SharedPointer{5, 1}, 0, true},  // beyond the right edge: none
        {8, 6, 32, kRgbx, 8, 6, SharedPointer{3, 6}, 0, true},  // below the bottom edge: none
        {8, 6, 32, kBgrx, 8, 6, SharedPointer{3, -1}, 0, true},
        {12, 9, 48, kBgrx, 8, 4, SharedPointer{-1, 3}, 0, true},
        {6, 3, 24, kRgbx, 8, 5, SharedPointer{7, 4}, 0, true},
        {48, 40, 192, kBgrx, 48, 40, SharedPointer{20, 7}, 0, true},
        {64, 48, 256, kRgbx, 40, 30, SharedPointer{10, 5}, 0, true},
        {4, 4, 12, kBgrx, 4, 4, std::nullopt, 0, false},  // stride shorter than a row
        {4, 4, 20, kBgrx, 4, 4, std::nullopt, 1, false},
        {0, 4, 16, kBgrx, 4, 4, std::nullopt, 0, false},
        {4, 4, 16, kBgrx, 0, 4, std::nullopt, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.sourceWidth << "x" << c.sourceHeight << " stride "
                                          << c.stride << " -> " << c.width << "x" << c.height);
        std::vector<uint8_t> source(
            static_cast<size_t>(std::max(c.stride, c.sourceWidth * 4) * c.sourceHeight), 0xEE);
        for (int y = 0; y < c.sourceHeight; ++y) {
            for (int x = 0; x < c.sourceWidth; ++x) {
                const auto bgr = ScreenBgr(x, y);
                uint8_t* p = &source[static_cast<size_t>(y * c.stride + x * 4)];
                std::copy(bgr.begin(), bgr.end(), p);
                if (c.order == kRgbx)
                    std::swap(p[0], p[2]);
            }
        }
        // The last row needs no padding: its bytes end the readable range.
        const size_t readable =
            static_cast<size_t>(c.stride * (c.sourceHeight - 1) + c.sourceWidth * 4) - c.missing;
        const SharedScreenFrame shared{source.data(), readable, c.sourceWidth, c.sourceHeight,
                                       c.stride,      c.order,  c.pointer};
        std::vector<uint8_t> frame(static_cast<size_t>(c.width * c.height * 3) + 99, 0x55);
        std::vector<uint8_t> expected = frame;
        EXPECT_EQ(ConvertSharedScreenFrame(shared, frame.data(), c.width, c.height), c.usable);
        const SharedPointer tip = c.pointer.value_or(SharedPointer{-1, -1});
        const bool drawn = tip.x >= 0 && tip.y >= 0 && tip.x < c.width && tip.y < c.height;
        for (int y = 0; y < c.height && c.usable; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const bool inside = x < c.sourceWidth && y < c.sourceHeight;
                auto bgr = inside ? ScreenBgr(x, y) : std::array<uint8_t, 3>{};
                const int ax = x - tip.x;
                const int ay = y - tip.y;
                if (drawn && ax >= 0 && ay >= 0 && ax < kPointerSize && ay < kPointerSize) {
                    const PointerPixel& p =
                        PointerArrow()[static_cast<size_t>(ay * kPointerSize + ax)];
                    bgr = {Blend(p.blue, bgr[0], p.alpha), Blend(p.green, bgr[1], p.alpha),
                           Blend(p.red, bgr[2], p.alpha)};
                }
                std::copy(bgr.begin(), bgr.end(),
                          &expected[static_cast<size_t>(((c.height - 1 - y) * c.width + x) * 3)]);
            }
        }
        EXPECT_EQ(frame, expected);
    }
}

}  // namespace
}  // namespace capture
