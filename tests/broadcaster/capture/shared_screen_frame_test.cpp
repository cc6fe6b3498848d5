// Pictures of a shared Wayland screen (32-bit pixels, top-down, padded rows, two byte orders)
// into the broadcaster's packed BGR bottom-up frame, with the arrow at the pointer's position.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "capture/frame_image.h"
#include "capture/pointer_arrow.h"
#include "capture/shared_screen_frame.h"

namespace capture {
namespace {

struct Bgr {
    uint8_t blue;
    uint8_t green;
    uint8_t red;
    bool operator==(const Bgr&) const = default;
};

// Screen pixel (x, y), y counted from the top: a different colour for every position.
Bgr ScreenColour(int x, int y) {
    return {static_cast<uint8_t>(10 + x), static_cast<uint8_t>(100 + y),
            static_cast<uint8_t>(200 + x + y)};
}

// A shared picture of width x height in the given order, rows of `stride` bytes whose padding
// and x bytes hold 0xEE (which must never reach the frame).
std::vector<uint8_t> SharedPicture(int width, int height, int stride, SharedPixelOrder order) {
    std::vector<uint8_t> bytes(static_cast<size_t>(stride) * static_cast<size_t>(height), 0xEE);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &bytes[static_cast<size_t>(y * stride + x * 4)];
            const Bgr c = ScreenColour(x, y);
            p[0] = order == SharedPixelOrder::kBgrx ? c.blue : c.red;
            p[1] = c.green;
            p[2] = order == SharedPixelOrder::kBgrx ? c.red : c.blue;
        }
    }
    return bytes;
}

// Frame pixel at screen position (x, y): rows are stored bottom-up.
Bgr FrameAt(const std::vector<uint8_t>& frame, int width, int height, int x, int y) {
    const uint8_t* p = &frame[static_cast<size_t>(((height - 1 - y) * width + x) * 3)];
    return {p[0], p[1], p[2]};
}

// The top-left rectangle of the picture, bottom-up, black where the frame reaches beyond it.
TEST(SharedScreenFrameTest, ConvertsEitherOrderAndPaddedRows) {
    struct Case {
        int sourceWidth, sourceHeight, stride;
        SharedPixelOrder order;
        int width, height;  // of the frame asked for
    };
    const Case cases[] = {
        {8, 6, 32, SharedPixelOrder::kBgrx, 8, 6},  {8, 6, 32, SharedPixelOrder::kRgbx, 8, 6},
        {5, 4, 28, SharedPixelOrder::kBgrx, 5, 4},  {5, 4, 64, SharedPixelOrder::kRgbx, 5, 4},
        {12, 9, 48, SharedPixelOrder::kBgrx, 8, 4}, {6, 3, 24, SharedPixelOrder::kRgbx, 8, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.sourceWidth << "x" << c.sourceHeight << " stride "
                                          << c.stride << " -> " << c.width << "x" << c.height);
        const std::vector<uint8_t> source =
            SharedPicture(c.sourceWidth, c.sourceHeight, c.stride, c.order);
        // The last row needs no padding: its bytes end the readable range.
        const size_t readable = source.size() - static_cast<size_t>(c.stride - c.sourceWidth * 4);
        const SharedScreenFrame shared{
            source.data(), readable, c.sourceWidth, c.sourceHeight, c.stride, c.order, {}};
        std::vector<uint8_t> frame(static_cast<size_t>(c.width * c.height * 3), 0x55);
        ASSERT_TRUE(ConvertSharedScreenFrame(shared, frame.data(), c.width, c.height));
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const Bgr expected =
                    x < c.sourceWidth && y < c.sourceHeight ? ScreenColour(x, y) : Bgr{0, 0, 0};
                ASSERT_EQ(FrameAt(frame, c.width, c.height, x, y), expected) << x << "," << y;
            }
        }
    }
}

TEST(SharedScreenFrameTest, UnusablePicturesLeaveTheFrameUntouched) {
    struct Case {
        int width, height, stride;
        size_t bytes;  // readable
        int frameWidth;
    };
    const Case cases[] = {
        {4, 4, 12, 256, 4},  // stride shorter than a row, bytes enough
                             // The last row needs only width x 4 bytes: one byte less is too few.
        {4, 4, 20, 3 * 20 + 16 - 1, 4},
        {0, 4, 16, 256, 4},
        {4, 4, 16, 256, 0}};
    const std::vector<uint8_t> source(256, 0x11);
    for (const Case& c : cases) {
        const SharedScreenFrame shared{
            source.data(), c.bytes, c.width, c.height, c.stride, SharedPixelOrder::kBgrx, {}};
        std::vector<uint8_t> frame(4 * 4 * 3, 0x55);
        EXPECT_FALSE(ConvertSharedScreenFrame(shared, frame.data(), c.frameWidth, 4))
            << c.width << " " << c.stride << " " << c.bytes << " " << c.frameWidth;
        EXPECT_EQ(frame, std::vector<uint8_t>(4 * 4 * 3, 0x55));
    }
}

// The arrow lands where the pointer's position says, exactly as DrawPointer draws it on the
// converted picture; without a position (the desktop drew its own pointer) there is none.
TEST(SharedScreenFrameTest, ArrowAtThePointerPosition) {
    constexpr int kSize = 48;
    const std::vector<uint8_t> source =
        SharedPicture(kSize, kSize, kSize * 4, SharedPixelOrder::kBgrx);
    SharedScreenFrame shared{source.data(), source.size(),           kSize, kSize,
                             kSize * 4,     SharedPixelOrder::kBgrx, {}};
    std::vector<uint8_t> plain(kSize * kSize * 3);
    ASSERT_TRUE(ConvertSharedScreenFrame(shared, plain.data(), kSize, kSize));

    for (const SharedPointer at :
         {SharedPointer{0, 0}, SharedPointer{20, 7}, SharedPointer{kSize - 1, kSize - 1}}) {
        shared.pointer = at;
        std::vector<uint8_t> frame(kSize * kSize * 3);
        ASSERT_TRUE(ConvertSharedScreenFrame(shared, frame.data(), kSize, kSize));
        std::vector<uint8_t> expected = plain;
        DrawPointer(FrameImage(expected.data(), kSize, kSize), at.x, at.y);
        EXPECT_EQ(frame, expected) << "pointer at " << at.x << "," << at.y;
        // The tip is the arrow's opaque outline pixel at the pointer's screen position.
        EXPECT_EQ(FrameAt(frame, kSize, kSize, at.x, at.y),
                  (Bgr{kPointerOutline.blue, kPointerOutline.green, kPointerOutline.red}));
    }
    // Outside the captured rectangle: no arrow.
    for (const SharedPointer at : {SharedPointer{kSize, 3}, SharedPointer{-1, 3}}) {
        shared.pointer = at;
        std::vector<uint8_t> frame(kSize * kSize * 3);
        ASSERT_TRUE(ConvertSharedScreenFrame(shared, frame.data(), kSize, kSize));
        EXPECT_EQ(frame, plain);
    }
}

}  // namespace
}  // namespace capture
