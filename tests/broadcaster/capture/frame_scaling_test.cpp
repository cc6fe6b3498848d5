#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "capture/frame_image.h"

namespace capture {
namespace {

constexpr uint8_t kGuard = 0xA5;

// An owned picture with `guard` bytes of kGuard before and after it, to catch stray writes.
class Picture {
  public:
    Picture(int32_t width, int32_t height, size_t guard = 64)
        : width_(width),
          height_(height),
          guard_(guard),
          bytes_(static_cast<size_t>(width) * static_cast<size_t>(height) * 3U + 2 * guard,
                 kGuard) {
        std::fill(begin(), end(), uint8_t{0});
    }

    FrameImage View() { return FrameImage(bytes_.data() + guard_, width_, height_); }
    uint8_t* begin() { return bytes_.data() + guard_; }
    uint8_t* end() { return bytes_.data() + bytes_.size() - guard_; }
    std::vector<uint8_t> Pixels() { return std::vector<uint8_t>(begin(), end()); }
    uint8_t* At(int32_t x, int32_t y) { return View().Pixel(x, y); }

    bool GuardsIntact() const {
        for (size_t i = 0; i < guard_; ++i) {
            if (bytes_[i] != kGuard || bytes_[bytes_.size() - 1 - i] != kGuard) {
                return false;
            }
        }
        return true;
    }

    void FillRandom(std::mt19937& rng) {
        std::uniform_int_distribution<int> byte(0, 255);
        std::generate(begin(), end(), [&] { return static_cast<uint8_t>(byte(rng)); });
    }
    void Fill(uint8_t value) { std::fill(begin(), end(), value); }
    void SetPixel(int32_t x, int32_t y, uint8_t b, uint8_t g, uint8_t r) {
        uint8_t* p = At(x, y);
        p[0] = b;
        p[1] = g;
        p[2] = r;
    }

  private:
    int32_t width_;
    int32_t height_;
    size_t guard_;
    std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> PixelAt(const FrameImage& image, int32_t x, int32_t y) {
    const uint8_t* p = image.Pixel(x, y);
    return {p[0], p[1], p[2]};
}

// Bilinear resize written the plain way: every neighbour clamped into the source, positions in
// 64-bit integers, floor division for the integer part.
void ReferenceBilinear(const FrameImage& dst, const FrameImage& src) {
    const int64_t xr = (static_cast<int64_t>(src.width) * 65536) / dst.width + 1;
    const int64_t yr = (static_cast<int64_t>(src.height) * 65536) / dst.height + 1;
    const int64_t x0 = xr / 2 - 32768;
    const int64_t y0 = yr / 2 - 32768;
    auto floorDiv = [](int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    for (int32_t y = 0; y < dst.height; ++y) {
        const int64_t sy = y0 + y * yr;
        const int64_t iy = floorDiv(sy, 65536);
        const int64_t v = floorDiv(sy, 256) - floorDiv(sy, 65536) * 256;
        for (int32_t x = 0; x < dst.width; ++x) {
            const int64_t sx = x0 + x * xr;
            const int64_t ix = floorDiv(sx, 65536);
            const int64_t u = floorDiv(sx, 256) - floorDiv(sx, 65536) * 256;
            auto at = [&](int64_t px, int64_t py) {
                px = std::clamp<int64_t>(px, 0, src.width - 1);
                py = std::clamp<int64_t>(py, 0, src.height - 1);
                return src.Pixel(static_cast<int32_t>(px), static_cast<int32_t>(py));
            };
            const int64_t w00 = (256 - u) * (256 - v);
            const int64_t w10 = u * (256 - v);
            const int64_t w01 = (256 - u) * v;
            const int64_t w11 = u * v;
            for (int c = 0; c < 3; ++c) {
                const int64_t sum = at(ix, iy)[c] * w00 + at(ix + 1, iy)[c] * w10 +
                                    at(ix, iy + 1)[c] * w01 + at(ix + 1, iy + 1)[c] * w11;
                dst.Pixel(x, y)[c] = static_cast<uint8_t>(sum / 65536);
            }
        }
    }
}

TEST(ScaleBilinearTest, TwoByTwoToOneIsTheTruncatedMean) {
    Picture src(2, 2);
    src.SetPixel(0, 0, 1, 10, 200);
    src.SetPixel(1, 0, 2, 20, 201);
    src.SetPixel(0, 1, 3, 30, 202);
    src.SetPixel(1, 1, 5, 41, 255);
    Picture dst(1, 1);
    ScaleBilinear(dst.View(), src.View());
    // (1+2+3+5)/4 = 2.75, (10+20+30+41)/4 = 25.25, (200+201+202+255)/4 = 214.5: all truncated.
    EXPECT_EQ(PixelAt(dst.View(), 0, 0), (std::vector<uint8_t>{2, 25, 214}));
    EXPECT_TRUE(dst.GuardsIntact());
}

TEST(ScaleBilinearTest, OneByOneToTwoByTwoCopiesThePixel) {
    Picture src(1, 1);
    src.SetPixel(0, 0, 7, 128, 251);
    Picture dst(2, 2);
    ScaleBilinear(dst.View(), src.View());
    for (int32_t y = 0; y < 2; ++y) {
        for (int32_t x = 0; x < 2; ++x) {
            EXPECT_EQ(PixelAt(dst.View(), x, y), (std::vector<uint8_t>{7, 128, 251}))
                << x << "," << y;
        }
    }
    EXPECT_TRUE(dst.GuardsIntact());
}

TEST(ScaleBilinearTest, ZeroSizeAnywhereLeavesTheDestinationUntouched) {
    std::mt19937 rng(7);
    Picture src(8, 6);
    src.FillRandom(rng);
    Picture dst(4, 3);
    dst.Fill(0x3C);
    const std::vector<uint8_t> before = dst.Pixels();

    ScaleBilinear(FrameImage(dst.begin(), 0, 3), src.View());
    ScaleBilinear(FrameImage(dst.begin(), 4, 0), src.View());
    ScaleBilinear(dst.View(), FrameImage(src.begin(), 0, 6));
    ScaleBilinear(dst.View(), FrameImage(src.begin(), 8, 0));
    ScaleDownStepwise(dst.View(), FrameImage(src.begin(), 0, 6));
    EXPECT_EQ(dst.Pixels(), before);
    EXPECT_TRUE(dst.GuardsIntact());
}

TEST(ScaleBilinearTest, InnerRectangleMatchesClampedReferenceOverRandomSizes) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int32_t> small(1, 12);
    std::uniform_int_distribution<int32_t> large(1, 260);
    int compared = 0;
    for (int round = 0; round < 600; ++round) {
        // Mix tiny pictures (1 and 2 pixels exercise the edge bands alone) with larger ones,
        // up- and downscaling independently in each direction.
        auto pick = [&](int r) { return r % 3 == 0 ? small(rng) : large(rng); };
        const int32_t sw = pick(round);
        const int32_t sh = pick(round + 1);
        const int32_t dw = pick(round + 2);
        const int32_t dh = pick(round / 2);
        Picture src(sw, sh);
        src.FillRandom(rng);
        Picture fast(dw, dh);
        Picture reference(dw, dh);
        ScaleBilinear(fast.View(), src.View());
        ReferenceBilinear(reference.View(), src.View());
        ASSERT_EQ(fast.Pixels(), reference.Pixels())
            << sw << "x" << sh << " -> " << dw << "x" << dh;
        ASSERT_TRUE(fast.GuardsIntact()) << sw << "x" << sh << " -> " << dw << "x" << dh;
        ++compared;
    }
    EXPECT_EQ(compared, 600);
}

TEST(ScaleBilinearTest, ScreenSizedResizesMatchTheReference) {
    std::mt19937 rng(3);
    const int32_t cases[][4] = {
        {640, 480, 359, 270}, {1920, 1080, 480, 270}, {1280, 720, 640, 360}, {240, 135, 160, 89}};
    for (const auto& c : cases) {
        Picture src(c[0], c[1]);
        src.FillRandom(rng);
        Picture fast(c[2], c[3]);
        Picture reference(c[2], c[3]);
        ScaleBilinear(fast.View(), src.View());
        ReferenceBilinear(reference.View(), src.View());
        EXPECT_EQ(fast.Pixels(), reference.Pixels()) << c[0] << "x" << c[1];
    }
}

// Runs the halving chain by hand: each listed size in turn, then the destination.
std::vector<uint8_t> ChainByHand(Picture& src,
                                 const std::vector<std::pair<int32_t, int32_t>>& steps, int32_t dw,
                                 int32_t dh, std::vector<uint8_t>* secondStep) {
    std::vector<std::vector<uint8_t>> buffers;
    FrameImage current = src.View();
    for (const auto& [w, h] : steps) {
        buffers.emplace_back(static_cast<size_t>(w) * static_cast<size_t>(h) * 3U);
        const FrameImage half(buffers.back().data(), w, h);
        ScaleBilinear(half, current);
        current = half;
        if (buffers.size() == 2 && secondStep != nullptr) {
            *secondStep = buffers.back();
        }
    }
    std::vector<uint8_t> out(static_cast<size_t>(dw) * static_cast<size_t>(dh) * 3U);
    ScaleBilinear(FrameImage(out.data(), dw, dh), current);
    return out;
}

TEST(ScaleDownStepwiseTest, FullHdToThumbnailHalvesThreeTimesThenResizes) {
    std::mt19937 rng(11);
    Picture src(1920, 1080);
    src.FillRandom(rng);
    Picture copy = src;
    std::vector<uint8_t> second;
    const std::vector<uint8_t> expected =
        ChainByHand(copy, {{960, 540}, {480, 270}, {240, 135}}, 160, 90, &second);

    Picture direct(160, 90);
    ScaleBilinear(direct.View(), src.View());
    Picture dst(160, 90);
    ScaleDownStepwise(dst.View(), src.View());
    EXPECT_EQ(dst.Pixels(), expected);
    EXPECT_NE(dst.Pixels(), direct.Pixels());  // a single resize would differ
    // The buffers alternate: the second halving (480 x 270) was written into the source.
    ASSERT_EQ(second.size(), 480U * 270U * 3U);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), src.begin()));
    EXPECT_TRUE(dst.GuardsIntact());
    EXPECT_TRUE(src.GuardsIntact());
}

TEST(ScaleDownStepwiseTest, HalfSizeTargetIsResizedDirectlyAndSourceKept) {
    std::mt19937 rng(12);
    Picture src(1280, 720);
    src.FillRandom(rng);
    const std::vector<uint8_t> original = src.Pixels();
    Picture direct(640, 360);
    ScaleBilinear(direct.View(), src.View());
    Picture dst(640, 360);
    ScaleDownStepwise(dst.View(), src.View());
    EXPECT_EQ(dst.Pixels(), direct.Pixels());
    EXPECT_EQ(src.Pixels(), original);
}

// The feeder's inset sizes: the screen inset of a camera picture (style 3) and the camera inset of
// a screen picture (style 2), each an unsigned integer division in the feeder's order.
struct InsetSize {
    uint32_t width;
    uint32_t height;
};
InsetSize ScreenInsetOnCamera(uint32_t videoWidth, uint32_t screenWidth, uint32_t screenHeight,
                              uint32_t rate) {
    const uint32_t width = videoWidth / rate;
    return {width, (screenHeight * 100U / screenWidth) * width / 100U};
}
InsetSize CameraInsetOnScreen(uint32_t screenHeight, uint32_t videoWidth, uint32_t videoHeight,
                              uint32_t rate) {
    const uint32_t height = screenHeight / rate;
    return {(videoWidth * 100U / videoHeight) * height / 100U, height};
}

TEST(ScaleDownStepwiseTest, FeederScreenInsetIsMadeFromTheLastHalving) {
    const InsetSize inset = ScreenInsetOnCamera(640, 1920, 1080, 4);
    ASSERT_EQ(inset.width, 160U);
    ASSERT_EQ(inset.height, 89U);
    std::mt19937 rng(13);
    Picture src(1920, 1080);
    src.FillRandom(rng);
    Picture copy = src;
    const std::vector<uint8_t> expected =
        ChainByHand(copy, {{960, 540}, {480, 270}, {240, 135}}, 160, 89, nullptr);
    Picture dst(160, 89);
    ScaleDownStepwise(dst.View(), src.View());
    EXPECT_EQ(dst.Pixels(), expected);
}

TEST(ScaleDownStepwiseTest, ScratchGrowsForALargerLaterSource) {
    std::mt19937 rng(14);
    Picture small(64, 36);
    small.FillRandom(rng);
    Picture smallOut(8, 4);
    ScaleDownStepwise(smallOut.View(), small.View());

    Picture src(2560, 1440);
    src.FillRandom(rng);
    Picture copy = src;
    const std::vector<uint8_t> expected =
        ChainByHand(copy, {{1280, 720}, {640, 360}, {320, 180}}, 160, 90, nullptr);
    Picture dst(160, 90);
    ScaleDownStepwise(dst.View(), src.View());
    EXPECT_EQ(dst.Pixels(), expected);
    EXPECT_TRUE(src.GuardsIntact());
}

TEST(ScaleNearestIntoTest, FeederCameraInsetSamplesEveryStepOfTheSource) {
    const InsetSize inset = CameraInsetOnScreen(1080, 640, 480, 4);
    ASSERT_EQ(inset.width, 359U);
    ASSERT_EQ(inset.height, 270U);
    std::mt19937 rng(15);
    Picture camera(640, 480);
    camera.FillRandom(rng);
    Picture screen(1920, 1080);
    screen.Fill(0x11);
    const int32_t x = 1500;
    const int32_t y = 700;
    FrameImage size(nullptr, 359, 270);
    ScaleNearestInto(screen.View(), x, y, size, camera.View());
    // 640 * 65536 / 359 + 1 = 116833 and 480 * 65536 / 270 + 1 = 116509 per inset pixel.
    for (int32_t i : {0, 1, 135, 269}) {
        for (int32_t j : {0, 1, 200, 358}) {
            const int32_t sx = static_cast<int32_t>((static_cast<uint32_t>(j) * 116833U) >> 16);
            const int32_t sy = static_cast<int32_t>((static_cast<uint32_t>(i) * 116509U) >> 16);
            EXPECT_EQ(PixelAt(screen.View(), x + j, y + i), PixelAt(camera.View(), sx, sy))
                << i << "," << j;
        }
    }
    EXPECT_EQ(PixelAt(screen.View(), x - 1, y), (std::vector<uint8_t>{0x11, 0x11, 0x11}));
    EXPECT_EQ(PixelAt(screen.View(), x + 359, y), (std::vector<uint8_t>{0x11, 0x11, 0x11}));
    EXPECT_EQ(PixelAt(screen.View(), x, y + 270), (std::vector<uint8_t>{0x11, 0x11, 0x11}));
    EXPECT_EQ(PixelAt(screen.View(), x, y - 1), (std::vector<uint8_t>{0x11, 0x11, 0x11}));
    EXPECT_TRUE(screen.GuardsIntact());
}

TEST(ScaleNearestIntoTest, InsetStickingOutOnTheRightIsMovedFlush) {
    std::mt19937 rng(16);
    Picture src(320, 240);
    src.FillRandom(rng);
    Picture canvas(1280, 720);
    canvas.Fill(0x22);
    ScaleNearestInto(canvas.View(), 1200, 0, FrameImage(nullptr, 320, 240), src.View());
    // Same size: the nearest step is 65537, so inset column j is source column j.
    for (int32_t i : {0, 100, 239}) {
        for (int32_t j : {0, 1, 160, 319}) {
            EXPECT_EQ(PixelAt(canvas.View(), 960 + j, i), PixelAt(src.View(), j, i));
        }
    }
    EXPECT_EQ(PixelAt(canvas.View(), 959, 0), (std::vector<uint8_t>{0x22, 0x22, 0x22}));
    EXPECT_EQ(PixelAt(canvas.View(), 960, 240), (std::vector<uint8_t>{0x22, 0x22, 0x22}));
    EXPECT_TRUE(canvas.GuardsIntact());
}

TEST(ScaleNearestIntoTest, InsetAboveTheTopIsMovedDown) {
    Picture src(2, 2);
    src.Fill(0x90);
    Picture canvas(10, 8);
    canvas.Fill(0);
    ScaleNearestInto(canvas.View(), 3, 7, FrameImage(nullptr, 4, 4), src.View());
    for (int32_t yy = 0; yy < 8; ++yy) {
        for (int32_t xx = 0; xx < 10; ++xx) {
            const bool inside = xx >= 3 && xx < 7 && yy >= 4;
            EXPECT_EQ(canvas.At(xx, yy)[0], inside ? 0x90 : 0) << xx << "," << yy;
        }
    }
}

TEST(ScaleNearestIntoTest, NegativePositionsAreClampedToTheCanvas) {
    std::mt19937 rng(17);
    Picture src(6, 5);
    src.FillRandom(rng);
    Picture canvas(20, 10);
    canvas.Fill(0x33);
    ScaleNearestInto(canvas.View(), -4, -3, FrameImage(nullptr, 6, 5), src.View());
    for (int32_t i = 0; i < 5; ++i) {
        for (int32_t j = 0; j < 6; ++j) {
            EXPECT_EQ(PixelAt(canvas.View(), j, i), PixelAt(src.View(), j, i));
        }
    }
    EXPECT_EQ(PixelAt(canvas.View(), 6, 0), (std::vector<uint8_t>{0x33, 0x33, 0x33}));
    EXPECT_TRUE(canvas.GuardsIntact());
}

TEST(ScaleNearestIntoTest, InsetLargerThanTheCanvasIsClipped) {
    std::mt19937 rng(18);
    Picture src(50, 40);
    src.FillRandom(rng);
    Picture canvas(16, 12, 4096);
    canvas.Fill(0x44);
    ScaleNearestInto(canvas.View(), 5, 5, FrameImage(nullptr, 100, 80), src.View());
    EXPECT_TRUE(canvas.GuardsIntact());
    // Clamped to (0, 0) and cut at the canvas edges; inset pixel (j, i) is source (j/2, i/2).
    const uint32_t xr = 50U * 65536U / 100U + 1U;
    const uint32_t yr = 40U * 65536U / 80U + 1U;
    for (int32_t i = 0; i < 12; ++i) {
        for (int32_t j = 0; j < 16; ++j) {
            const auto sx = static_cast<int32_t>((static_cast<uint32_t>(j) * xr) >> 16);
            const auto sy = static_cast<int32_t>((static_cast<uint32_t>(i) * yr) >> 16);
            EXPECT_EQ(PixelAt(canvas.View(), j, i), PixelAt(src.View(), sx, sy));
        }
    }
}

TEST(ScaleNearestIntoTest, StrongEnlargementNeverReadsPastTheSource) {
    // One source pixel followed in memory by a different pixel that is not part of the source.
    std::vector<uint8_t> memory = {10, 20, 30, 99, 99, 99};
    const FrameImage src(memory.data(), 1, 1);
    Picture canvas(1000, 1);
    ScaleNearestInto(canvas.View(), 0, 0, FrameImage(nullptr, 1000, 1), src);
    for (int32_t x = 0; x < 1000; ++x) {
        ASSERT_EQ(PixelAt(canvas.View(), x, 0), (std::vector<uint8_t>{10, 20, 30})) << x;
    }
}

TEST(ScaleNearestIntoTest, ZeroSizesDrawNothing) {
    Picture src(4, 4);
    src.Fill(0xEE);
    Picture canvas(8, 8);
    canvas.Fill(0);
    ScaleNearestInto(canvas.View(), 0, 0, FrameImage(nullptr, 0, 4), src.View());
    ScaleNearestInto(canvas.View(), 0, 0, FrameImage(nullptr, 4, 0), src.View());
    ScaleNearestInto(canvas.View(), 0, 0, FrameImage(nullptr, 4, 4), FrameImage(src.begin(), 0, 4));
    EXPECT_EQ(canvas.Pixels(), std::vector<uint8_t>(8 * 8 * 3, 0));
}

TEST(PasteImageTest, PasteAtRowZeroCoversTheBottomRows) {
    std::mt19937 rng(19);
    Picture img(4, 3);
    img.FillRandom(rng);
    Picture canvas(10, 8);
    canvas.Fill(0x55);
    EXPECT_EQ(PasteImage(canvas.View(), 2, 0, img.View()), 1);
    for (int32_t y = 0; y < 8; ++y) {
        for (int32_t x = 0; x < 10; ++x) {
            if (x >= 2 && x < 6 && y < 3) {
                EXPECT_EQ(PixelAt(canvas.View(), x, y), PixelAt(img.View(), x - 2, y));
            } else {
                EXPECT_EQ(PixelAt(canvas.View(), x, y), (std::vector<uint8_t>{0x55, 0x55, 0x55}));
            }
        }
    }
}

TEST(PasteImageTest, StickingOutIsMovedFlushAndNegativeIsClamped) {
    Picture img(3, 2);
    img.Fill(0x77);
    Picture canvas(8, 6);
    canvas.Fill(0);
    PasteImage(canvas.View(), 7, 5, img.View());  // moved to (5, 4)
    EXPECT_EQ(canvas.At(5, 4)[0], 0x77);
    EXPECT_EQ(canvas.At(7, 5)[0], 0x77);
    EXPECT_EQ(canvas.At(4, 4)[0], 0);
    EXPECT_EQ(canvas.At(5, 3)[0], 0);

    canvas.Fill(0);
    PasteImage(canvas.View(), -2, -9, img.View());  // clamped to (0, 0)
    EXPECT_EQ(canvas.At(0, 0)[0], 0x77);
    EXPECT_EQ(canvas.At(2, 1)[0], 0x77);
    EXPECT_EQ(canvas.At(3, 0)[0], 0);
    EXPECT_EQ(canvas.At(0, 2)[0], 0);
    EXPECT_TRUE(canvas.GuardsIntact());
}

TEST(PasteImageTest, ImageLargerThanTheCanvasIsClipped) {
    std::mt19937 rng(20);
    Picture img(30, 20);
    img.FillRandom(rng);
    Picture canvas(12, 9, 2048);
    EXPECT_EQ(PasteImage(canvas.View(), 3, 3, img.View()), 1);
    EXPECT_TRUE(canvas.GuardsIntact());
    for (int32_t y = 0; y < 9; ++y) {
        for (int32_t x = 0; x < 12; ++x) {
            EXPECT_EQ(PixelAt(canvas.View(), x, y), PixelAt(img.View(), x, y));
        }
    }
}

TEST(PasteImageTest, EmptyImageChangesNothing) {
    Picture canvas(4, 4);
    canvas.Fill(9);
    std::vector<uint8_t> nothing(3, 1);
    EXPECT_EQ(PasteImage(canvas.View(), 0, 0, FrameImage(nothing.data(), 1, 0)), 1);
    EXPECT_EQ(PasteImage(canvas.View(), 0, 0, FrameImage(nothing.data(), 1, -3)), 1);
    EXPECT_EQ(canvas.Pixels(), std::vector<uint8_t>(4 * 4 * 3, 9));
}

}  // namespace
}  // namespace capture
