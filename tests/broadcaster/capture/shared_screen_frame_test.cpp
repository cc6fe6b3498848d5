// Pictures of a shared Wayland screen (32-bit pixels, top-down, padded rows, two byte orders)
// into the broadcaster's packed BGR bottom-up frame, with the arrow at the pointer's position.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "capture/frame_image.h"
#include "capture/pointer_arrow.h"
#include "capture/shared_screen_frame.h"

namespace capture {
namespace {

// Screen pixel (x, y), y counted from the top: a different colour for every position.
std::array<uint8_t, 3> ScreenBgr(int x, int y) {
    return {static_cast<uint8_t>(10 + x), static_cast<uint8_t>(100 + y),
            static_cast<uint8_t>(200 + x + y)};
}

// The top-left rectangle of the picture, bottom-up, black where the frame reaches beyond it, the
// arrow where the pointer is; unusable pictures leave the frame untouched. Each picture's rows
// are `stride` bytes whose padding and x bytes hold 0xEE (which must never reach the frame).
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
        {12, 9, 48, kBgrx, 8, 4, SharedPointer{-1, 3}, 0, true},
        {6, 3, 24, kRgbx, 8, 5, SharedPointer{7, 4}, 0, true},
        {48, 40, 192, kBgrx, 48, 40, SharedPointer{20, 7}, 0, true},
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
        std::vector<uint8_t> frame(static_cast<size_t>(c.width * c.height * 3), 0x55);
        std::vector<uint8_t> expected = frame;
        EXPECT_EQ(ConvertSharedScreenFrame(shared, frame.data(), c.width, c.height), c.usable);
        for (int y = 0; y < c.height && c.usable; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const bool inside = x < c.sourceWidth && y < c.sourceHeight;
                const auto bgr = inside ? ScreenBgr(x, y) : std::array<uint8_t, 3>{};
                std::copy(bgr.begin(), bgr.end(),
                          &expected[static_cast<size_t>(((c.height - 1 - y) * c.width + x) * 3)]);
            }
        }
        if (c.usable && c.pointer.has_value())
            DrawPointer(FrameImage(expected.data(), c.width, c.height), c.pointer->x, c.pointer->y);
        EXPECT_EQ(frame, expected);
    }
}

}  // namespace
}  // namespace capture
