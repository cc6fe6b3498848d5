#include "capture/camera_format.h"

#include <gtest/gtest.h>

#include "capture/video_device_layer.h"

namespace capture {
namespace {

constexpr uint32_t kNv12 = FourCc('N', 'V', '1', '2');
constexpr uint32_t kH264 = FourCc('H', '2', '6', '4');

TEST(CameraFormatTest, FirstPreferredFormatInTheDevicesOrderWins) {
    EXPECT_EQ(ChooseCaptureFormat({kPixelMjpeg, kPixelRgb24}), kPixelMjpeg);
    EXPECT_EQ(ChooseCaptureFormat({kNv12, kPixelYuyv, kPixelMjpeg}), kPixelYuyv);
    EXPECT_EQ(ChooseCaptureFormat({kH264, kPixelRgb24}), kPixelRgb24);
}

TEST(CameraFormatTest, WithoutAPreferredFormatTheLastListedIsUsed) {
    EXPECT_EQ(ChooseCaptureFormat({kNv12, kH264}), kH264);
    EXPECT_EQ(ChooseCaptureFormat({}), std::nullopt);
}

TEST(CameraFormatTest, FrameRowsAreExactlyThreeBytesAPixel) {
    EXPECT_EQ(CameraFrameBytes(638, 480), 918720u);
    EXPECT_EQ(CameraFrameBytes(640, 480), 921600u);
}

TEST(CameraFormatTest, RgbTopDownBecomesBgrBottomUp) {
    const std::vector<uint8_t> rgb = {1, 2, 3, 4,  5,  6,  // top row
                                      7, 8, 9, 10, 11, 12};
    std::vector<uint8_t> bgr(12);
    ASSERT_TRUE(ConvertRgbTopDownToBgrBottomUp(rgb, 2, 2, 0, bgr, 2, 2));
    const std::vector<uint8_t> expected = {9, 8, 7, 12, 11, 10,  // bottom row first
                                           3, 2, 1, 6,  5,  4};
    EXPECT_EQ(bgr, expected);
}

TEST(CameraFormatTest, PaddedSourceRowsAreSkippedOver) {
    const std::vector<uint8_t> rgb = {1, 2, 3, 4,  5,  6, 99, 99,  // top row and padding
                                      7, 8, 9, 10, 11, 12};
    std::vector<uint8_t> bgr(12);
    ASSERT_TRUE(ConvertRgbTopDownToBgrBottomUp(rgb, 2, 2, 8, bgr, 2, 2));
    const std::vector<uint8_t> expected = {9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4};
    EXPECT_EQ(bgr, expected);
}

TEST(CameraFormatTest, ADifferentSourceSizeIsScaledToTheFrame) {
    const std::vector<uint8_t> rgb = {10, 20, 30, 40, 50, 60};  // 2 x 1
    std::vector<uint8_t> bgr(4 * 2 * 3);
    ASSERT_TRUE(ConvertRgbTopDownToBgrBottomUp(rgb, 2, 1, 0, bgr, 4, 2));
    const std::vector<uint8_t> row = {30, 20, 10, 30, 20, 10, 60, 50, 40, 60, 50, 40};
    std::vector<uint8_t> expected = row;
    expected.insert(expected.end(), row.begin(), row.end());
    EXPECT_EQ(bgr, expected);

    const std::vector<uint8_t> big = {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4,  // 4 x 2, top
                                      5, 5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8};
    std::vector<uint8_t> small(2 * 1 * 3);
    ASSERT_TRUE(ConvertRgbTopDownToBgrBottomUp(big, 4, 2, 0, small, 2, 1));
    EXPECT_EQ(small, (std::vector<uint8_t>{1, 1, 1, 3, 3, 3}));
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
