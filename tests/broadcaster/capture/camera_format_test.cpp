#include "capture/camera_format.h"

#include <gtest/gtest.h>

#include "capture/video_device_layer.h"

namespace capture {
namespace {

constexpr uint32_t kNv12 = FourCc('N', 'V', '1', '2');
constexpr uint32_t kH264 = FourCc('H', '2', '6', '4');

// The first preferred format in the device's order, else the last listed.
TEST(CameraFormatTest, ChoiceAndFrameSize) {
    EXPECT_EQ(ChooseCaptureFormat({kPixelMjpeg, kPixelRgb24}), kPixelMjpeg);
    EXPECT_EQ(ChooseCaptureFormat({kNv12, kPixelYuyv, kPixelMjpeg}), kPixelYuyv);
    EXPECT_EQ(ChooseCaptureFormat({kH264, kPixelRgb24}), kPixelRgb24);
    EXPECT_EQ(ChooseCaptureFormat({kNv12, kH264}), kH264);
    EXPECT_EQ(ChooseCaptureFormat({}), std::nullopt);
    EXPECT_EQ(CameraFrameBytes(638, 480), 918720u);  // rows of exactly three bytes a pixel
}

// RGB top-down (rows of `stride` bytes, 0: packed) into BGR bottom-up, scaled to the frame.
TEST(CameraFormatTest, RgbTopDownBecomesBgrBottomUp) {
    struct Row {
        uint32_t sw, sh, stride, dw, dh;
        std::vector<uint8_t> rgb, bgr;
    };
    const std::vector<uint8_t> twoByTwo = {9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4};
    const std::vector<uint8_t> greys = {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4,
                                        5, 5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8};
    const Row rows[] = {
        {2, 2, 0, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, twoByTwo},
        {2, 2, 8, 2, 2, {1, 2, 3, 4, 5, 6, 99, 99, 7, 8, 9, 10, 11, 12}, twoByTwo},  // padded rows
        {2, 1, 0, 4, 2, {10, 20, 30, 40, 50, 60}, {30, 20, 10, 30, 20, 10, 60, 50, 40, 60, 50, 40,
                                                   30, 20, 10, 30, 20, 10, 60, 50, 40, 60, 50, 40}},
        {4, 2, 0, 2, 1, greys, {1, 1, 1, 3, 3, 3}},
    };
    for (const Row& r : rows) {
        std::vector<uint8_t> bgr(r.bgr.size());
        ASSERT_TRUE(ConvertRgbTopDownToBgrBottomUp(r.rgb, r.sw, r.sh, r.stride, bgr, r.dw, r.dh));
        EXPECT_EQ(bgr, r.bgr) << r.sw << "x" << r.sh << " -> " << r.dw << "x" << r.dh;
    }
}

TEST(CameraFormatTest, ShortSourceOrWrongDestinationIsRefusedUntouched) {
    const std::vector<uint8_t> rgb(11, 7);  // one byte short of 2 x 2
    std::vector<uint8_t> bgr(12, 0xAA);
    EXPECT_FALSE(ConvertRgbTopDownToBgrBottomUp(rgb, 2, 2, 0, bgr, 2, 2));
    EXPECT_EQ(bgr, std::vector<uint8_t>(12, 0xAA));
    const std::vector<uint8_t> full(12, 7);
    std::vector<uint8_t> wrong(11);
    EXPECT_FALSE(ConvertRgbTopDownToBgrBottomUp(full, 2, 2, 0, wrong, 2, 2));
    EXPECT_FALSE(ConvertRgbTopDownToBgrBottomUp(full, 2, 2, 5, bgr, 2, 2));  // stride < row
    EXPECT_FALSE(ConvertRgbTopDownToBgrBottomUp(full, 0, 2, 0, bgr, 2, 2));
}

}  // namespace
}  // namespace capture
