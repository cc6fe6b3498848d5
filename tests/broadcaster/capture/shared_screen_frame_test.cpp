// Pictures of a shared Wayland screen (32-bit pixels, top-down, padded rows, two byte orders)
// into the broadcaster's packed BGR bottom-up frame, with the arrow at the pointer's position.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ostream>
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

struct ConversionCase {
    const char* name;
    int sourceWidth;
    int sourceHeight;
    int stride;
    SharedPixelOrder order;
    int width;  // of the frame asked for
    int height;
};

void PrintTo(const ConversionCase& c, std::ostream* os) {
    *os << c.name;
}

class SharedScreenFrameConversion : public testing::TestWithParam<ConversionCase> {};

TEST_P(SharedScreenFrameConversion, TopLeftRectangleBottomUpBlackBeyondThePicture) {
    const ConversionCase& c = GetParam();
    const std::vector<uint8_t> source =
        SharedPicture(c.sourceWidth, c.sourceHeight, c.stride, c.order);
    SharedScreenFrame shared;
    shared.pixels = source.data();
    shared.bytes = source.size();
    shared.width = c.sourceWidth;
    shared.height = c.sourceHeight;
    shared.stride = c.stride;
    shared.order = c.order;
    std::vector<uint8_t> frame(static_cast<size_t>(c.width * c.height * 3), 0x55);
    ASSERT_TRUE(ConvertSharedScreenFrame(shared, frame.data(), c.width, c.height));
    for (int y = 0; y < c.height; ++y) {
        for (int x = 0; x < c.width; ++x) {
            const Bgr expected =
                x < c.sourceWidth && y < c.sourceHeight ? ScreenColour(x, y) : Bgr{0, 0, 0};
            ASSERT_EQ(FrameAt(frame, c.width, c.height, x, y), expected) << "at " << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SharedScreenFrameConversion,
    testing::Values(
        ConversionCase{"BgrxSameSize", 8, 6, 32, SharedPixelOrder::kBgrx, 8, 6},
        ConversionCase{"RgbxSameSize", 8, 6, 32, SharedPixelOrder::kRgbx, 8, 6},
        ConversionCase{"PaddedRows", 5, 4, 28, SharedPixelOrder::kBgrx, 5, 4},
        ConversionCase{"PaddedRowsRgbx", 5, 4, 64, SharedPixelOrder::kRgbx, 5, 4},
        ConversionCase{"FrameSmallerTakesTopLeft", 12, 9, 48, SharedPixelOrder::kBgrx, 8, 4},
        ConversionCase{"FrameLargerIsBlackBeyond", 6, 3, 24, SharedPixelOrder::kRgbx, 8, 5}),
    [](const testing::TestParamInfo<ConversionCase>& p) { return p.param.name; });

struct RefusedCase {
    const char* name;
    int width;
    int height;
    int stride;
    size_t bytesLess;  // readable bytes below stride x height
    int frameWidth;
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.name;
}

class SharedScreenFrameRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(SharedScreenFrameRefused, LeavesTheFrameUntouched) {
    const RefusedCase& c = GetParam();
    const std::vector<uint8_t> source(256, 0x11);
    SharedScreenFrame shared;
    shared.pixels = source.data();
    shared.width = c.width;
    shared.height = c.height;
    shared.stride = c.stride;
    const size_t full = static_cast<size_t>(c.stride > 0 ? c.stride : 0) *
                        static_cast<size_t>(c.height > 0 ? c.height : 0);
    shared.bytes = std::min(full, source.size()) - std::min(full, c.bytesLess);
    std::vector<uint8_t> frame(4 * 4 * 3, 0x55);
    EXPECT_FALSE(ConvertSharedScreenFrame(shared, frame.data(), c.frameWidth, 4));
    EXPECT_EQ(frame, std::vector<uint8_t>(4 * 4 * 3, 0x55));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SharedScreenFrameRefused,
    testing::Values(RefusedCase{"StrideShorterThanARow", 4, 4, 12, 0, 4},
                    // The last row needs only width x 4 bytes: one byte less is too few.
                    RefusedCase{"LastRowShort", 4, 4, 20, 4 + 1, 4},
                    RefusedCase{"NoPixels", 0, 4, 16, 0, 4},
                    RefusedCase{"NoFrameWidth", 4, 4, 16, 0, 0}),
    [](const testing::TestParamInfo<RefusedCase>& p) { return p.param.name; });

TEST(SharedScreenFrameTest, LastRowNeedsNoPadding) {
    // 4 rows of stride 20 but the last one only 16 bytes long: 76 bytes are enough.
    const std::vector<uint8_t> source = SharedPicture(4, 4, 20, SharedPixelOrder::kBgrx);
    SharedScreenFrame shared{source.data(), 76, 4, 4, 20, SharedPixelOrder::kBgrx, {}};
    std::vector<uint8_t> frame(4 * 4 * 3);
    ASSERT_TRUE(ConvertSharedScreenFrame(shared, frame.data(), 4, 4));
    EXPECT_EQ(FrameAt(frame, 4, 4, 3, 3), ScreenColour(3, 3));
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
