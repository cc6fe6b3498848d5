// Picture operations: the resizers and insets that compose picture-in-picture frames, the pointer
// arrow, and pictures of a shared Wayland screen (32-bit pixels, top-down, padded rows, two byte
// orders) into the broadcaster's packed BGR bottom-up frame with the arrow blended in.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

#include "capture/broadcast_feeder.h"
#include "capture/frame_image.h"
#include "capture/pointer_arrow.h"
#include "capture/preview_picture.h"
#include "capture/shared_screen_frame.h"

namespace capture {
namespace {

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 4096;

// An owned picture with guard bytes of kGuard before and after it, to catch stray writes
// (comparisons of `bytes` include them).
struct Picture {
    int32_t width, height;
    std::vector<uint8_t> bytes;
    Picture(int32_t w, int32_t h, uint8_t fill = 0)
        : width(w), height(h), bytes(static_cast<size_t>(w * h) * 3U + 2 * kGuardBytes, kGuard) {
        std::fill(begin(), end(), fill);
    }
    uint8_t* begin() { return bytes.data() + kGuardBytes; }
    uint8_t* end() { return bytes.data() + bytes.size() - kGuardBytes; }
    FrameImage View() { return FrameImage(begin(), width, height); }
    void FillRandom(std::mt19937& rng) {
        std::generate(begin(), end(), [&] { return static_cast<uint8_t>(rng() >> 24); });
    }
};

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
            for (int c = 0; c < 3; ++c) {
                const int64_t top = at(ix, iy)[c] * (256 - u) + at(ix + 1, iy)[c] * u;
                const int64_t bottom = at(ix, iy + 1)[c] * (256 - u) + at(ix + 1, iy + 1)[c] * u;
                dst.Pixel(x, y)[c] = static_cast<uint8_t>((top * (256 - v) + bottom * v) / 65536);
            }
        }
    }
}

TEST(ScaleBilinearTest, MatchesTheClampedReferenceOverRandomAndScreenSizes) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int32_t> small(1, 12);
    std::uniform_int_distribution<int32_t> large(1, 260);
    // Screen-sized resizes, then tiny pictures (1 and 2 pixels exercise the edge bands alone) mixed
    // with larger ones, up- and downscaling independently in each direction.
    std::vector<std::array<int32_t, 4>> sizes = {
        {640, 480, 359, 270}, {1920, 1080, 480, 270}, {1280, 720, 640, 360}, {240, 135, 160, 89}};
    for (int round = 0; round < 600; ++round) {
        auto pick = [&](int r) { return r % 3 == 0 ? small(rng) : large(rng); };
        sizes.push_back({pick(round), pick(round + 1), pick(round + 2), pick(round / 2)});
    }
    for (const auto& [sw, sh, dw, dh] : sizes) {
        SCOPED_TRACE(::testing::Message() << sw << "x" << sh << " -> " << dw << "x" << dh);
        Picture src(sw, sh);
        src.FillRandom(rng);
        Picture fast(dw, dh);
        Picture reference(dw, dh);
        ScaleBilinear(fast.View(), src.View());
        ReferenceBilinear(reference.View(), src.View());
        ASSERT_EQ(fast.bytes, reference.bytes);  // guards included
    }

    // Halving chains: each listed size in turn by ScaleBilinear, then the destination. The scratch
    // buffer is shared, so the rows run in order and the last one needs it to grow.
    struct Row {
        int32_t sw, sh, dw, dh;
        std::vector<std::pair<int32_t, int32_t>> halvings;
    };
    const Row rows[] = {
        {64, 36, 8, 4, {{32, 18}, {16, 9}}},
        {1920, 1080, 160, 90, {{960, 540}, {480, 270}, {240, 135}}},
        {1280, 720, 640, 360, {}},  // half size: resized directly
        {2560, 1440, 160, 90, {{1280, 720}, {640, 360}, {320, 180}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.sw << "x" << row.sh);
        Picture src(row.sw, row.sh);
        src.FillRandom(rng);
        std::vector<uint8_t> srcAfter = src.bytes;
        std::vector<std::vector<uint8_t>> steps;
        FrameImage current = src.View();
        for (const auto& [w, h] : row.halvings) {
            steps.emplace_back(static_cast<size_t>(w) * static_cast<size_t>(h) * 3U);
            const FrameImage half(steps.back().data(), w, h);
            ScaleBilinear(half, current);
            current = half;
        }
        Picture expected(row.dw, row.dh);
        ScaleBilinear(expected.View(), current);
        // The halvings alternate between a scratch buffer and the source: the second one is
        // written into the source, whose other bytes and guards stay.
        if (steps.size() > 1)
            std::copy(steps[1].begin(), steps[1].end(), srcAfter.begin() + kGuardBytes);

        Picture dst(row.dw, row.dh);
        ScaleDownStepwise(dst.View(), src.View());
        EXPECT_EQ(dst.bytes, expected.bytes);
        EXPECT_EQ(src.bytes, srcAfter);
    }
}

// Insets drawn by ScaleNearestInto (inset size given) and PasteImage (inset size 0: the image's
// own): where each lands, moved flush at the far edges, clamped at the near ones and clipped.
TEST(InsetPlacementTest, LandsWhereTheRowSaysAndZeroSizesChangeNothing) {
    struct Row {
        int32_t cw, ch, sw, sh, iw, ih, x, y, placedX, placedY;
    };
    const Row rows[] = {
        {1920, 1080, 640, 480, 359, 270, 1500, 700, 1500, 700},  // the feeder's camera inset
        {1280, 720, 320, 240, 320, 240, 1200, 0, 960, 0},        // sticking out on the right
        {10, 8, 2, 2, 4, 4, 3, 7, 3, 4},                         // above the top
        {20, 10, 6, 5, 6, 5, -4, -3, 0, 0},                      // negative position
        {16, 12, 50, 40, 100, 80, 5, 5, 0, 0},                   // larger than the canvas
        {1000, 1, 1, 1, 1000, 1, 0, 0, 0, 0},                    // never reads past the source
        {10, 8, 4, 3, 0, 0, 2, 0, 2, 0},
        {8, 6, 3, 2, 0, 0, 7, 5, 5, 4},
        {8, 6, 3, 2, 0, 0, -2, -9, 0, 0},
        {12, 9, 30, 20, 0, 0, 3, 3, 0, 0},
    };
    std::mt19937 rng(15);
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << "row " << &r - rows);
        Picture src(r.sw, r.sh);
        src.FillRandom(rng);
        Picture canvas(r.cw, r.ch, 0x11);
        const bool paste = r.iw == 0;
        const int32_t iw = paste ? r.sw : r.iw;
        const int32_t ih = paste ? r.sh : r.ih;
        if (paste)
            EXPECT_EQ(PasteImage(canvas.View(), r.x, r.y, src.View()), 1);
        else
            ScaleNearestInto(canvas.View(), r.x, r.y, FrameImage(nullptr, iw, ih), src.View());
        // Inset pixel (j, i) is source pixel (j * step >> 16, i * step >> 16) with the 16.16
        // step source / inset + 1, kept inside the source.
        Picture expected(r.cw, r.ch, 0x11);
        const int64_t xr = int64_t{r.sw} * 65536 / iw + 1;
        const int64_t yr = int64_t{r.sh} * 65536 / ih + 1;
        for (int32_t i = 0; i < ih && r.placedY + i < r.ch; ++i)
            for (int32_t j = 0; j < iw && r.placedX + j < r.cw; ++j) {
                const uint8_t* from = src.View().Pixel(std::min<int32_t>((j * xr) >> 16, r.sw - 1),
                                                       std::min<int32_t>((i * yr) >> 16, r.sh - 1));
                std::copy(from, from + 3, expected.View().Pixel(r.placedX + j, r.placedY + i));
            }
        EXPECT_EQ(canvas.bytes, expected.bytes);
    }
    // Zero sizes anywhere change nothing.
    Picture src(8, 6);
    src.FillRandom(rng);
    Picture dst(4, 3, 0x3C);
    const std::vector<uint8_t> before = dst.bytes;
    ScaleBilinear(FrameImage(dst.begin(), 0, 3), src.View());
    ScaleBilinear(FrameImage(dst.begin(), 4, 0), src.View());
    ScaleBilinear(dst.View(), FrameImage(src.begin(), 0, 6));
    ScaleBilinear(dst.View(), FrameImage(src.begin(), 8, 0));
    ScaleDownStepwise(dst.View(), FrameImage(src.begin(), 0, 6));
    ScaleNearestInto(dst.View(), 0, 0, FrameImage(nullptr, 0, 4), src.View());
    ScaleNearestInto(dst.View(), 0, 0, FrameImage(nullptr, 4, 0), src.View());
    ScaleNearestInto(dst.View(), 0, 0, FrameImage(nullptr, 4, 4), FrameImage(src.begin(), 0, 4));
    EXPECT_EQ(PasteImage(dst.View(), 0, 0, FrameImage(src.begin(), 1, 0)), 1);
    EXPECT_EQ(PasteImage(dst.View(), 0, 0, FrameImage(src.begin(), 1, -3)), 1);
    EXPECT_EQ(dst.bytes, before);

    // The insets' sizes: the camera at a quarter of the screen's height with the camera's aspect,
    // the screen at a quarter of the camera's width with the screen's aspect; none when the picture
    // that gives the aspect has no size, or without a rate.
    struct SizeRow {
        int sw, sh, vw, vh, rate;   // the screen's size, the camera's, the screen rate
        std::array<int, 4> insets;  // the camera's width and height, the screen's
    };
    const SizeRow sizeRows[] = {{640, 480, 320, 240, 4, {159, 120, 80, 60}},
                                {640, 480, 320, 0, 4, {0, 0, 80, 60}},
                                {0, 480, 320, 240, 4, {159, 120, 0, 0}},
                                {640, 480, 320, 240, 0, {0, 0, 0, 0}}};
    for (const SizeRow& r : sizeRows) {
        BroadcastSettings s;
        std::tie(s.ScreenWidth, s.ScreenHeight, s.VideoWidth, s.VideoHeight) =
            std::tie(r.sw, r.sh, r.vw, r.vh);
        const InsetSize camera = CameraInsetSize(s, r.rate);
        const InsetSize screen = ScreenInsetSize(s, r.rate);
        EXPECT_EQ((std::array{camera.width, camera.height, screen.width, screen.height}), r.insets)
            << r.sw << " " << r.vh << " " << r.rate;
    }
}

// Keeps the last preview picture it was handed.
struct RecordingPreview final : PreviewSink {
    explicit RecordingPreview(PreviewBox b) : box(b) {}
    void OnPreviewFrame(const uint8_t* bgr, int w, int h) override {
        shown.assign(bgr, bgr + static_cast<size_t>(w * h) * 3U);
        size = {w, h};
    }
    PreviewBox Box() const override { return box; }
    PreviewBox box, size;
    std::vector<uint8_t> shown;
};

// The preview's picture: the frame's shape fitted into the box (never enlarged), made from the
// frame without changing it, left and right, top and bottom where they were. Paced to at least
// five a second of the frame clock (every tick below that), and a change is always shown in the
// end.
TEST(PreviewPictureTest, FitsTheBoxLeavesTheFrameAndComesToRestOnTheLastChange) {
    const std::array<int, 6> fits[] = {
        {1920, 1080, 228, 174, 228, 128}, {640, 480, 228, 174, 228, 171},
        {1080, 1920, 228, 174, 97, 174},  {160, 120, 228, 174, 160, 120},
        {1920, 1080, 0, 0, 1920, 1080},   {5000, 2, 100, 100, 100, 1}};
    for (const auto& [w, h, bw, bh, fw, fh] : fits) {
        const PreviewBox fit = FitIntoBox(w, h, {bw, bh});
        EXPECT_EQ(std::pair(fit.width, fit.height), std::pair(fw, fh)) << w << "x" << h;
    }
    // Blue on the left, red on the right; green along the top rows (the last ones, bottom-up).
    for (const auto& [w, h] : {std::pair(1920, 1080), std::pair(400, 300)}) {
        Picture frame(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const std::array<uint8_t, 3> bgr = y >= h * 3 / 4
                                                       ? std::array<uint8_t, 3>{0, 255, 0}
                                                   : x < w / 2 ? std::array<uint8_t, 3>{255, 0, 0}
                                                               : std::array<uint8_t, 3>{0, 0, 255};
                std::copy(bgr.begin(), bgr.end(), frame.View().Pixel(x, y));
            }
        const std::vector<uint8_t> before = frame.bytes;
        RecordingPreview preview({228, 174});
        PreviewPicture().Send(frame.View(), preview);
        EXPECT_EQ(frame.bytes, before);
        const PreviewBox fit = FitIntoBox(w, h, preview.box);
        ASSERT_EQ(std::pair(preview.size.width, preview.size.height),
                  std::pair(fit.width, fit.height));
        const FrameImage shown(preview.shown.data(), fit.width, fit.height);
        const auto at = [&](double fx, double fy) {
            const uint8_t* p =
                shown.Pixel(static_cast<int>(fx * fit.width), static_cast<int>(fy * fit.height));
            return std::array{p[0], p[1], p[2]};
        };
        EXPECT_EQ(at(0.2, 0.3), (std::array<uint8_t, 3>{255, 0, 0})) << w;
        EXPECT_EQ(at(0.8, 0.3), (std::array<uint8_t, 3>{0, 0, 255})) << w;
        EXPECT_EQ(at(0.5, 0.9), (std::array<uint8_t, 3>{0, 255, 0})) << w;
    }

    // A halving: each pixel the rounded mean of the four it covers, an odd last row and column
    // left out; a destination of another size is not written.
    std::mt19937 rng(7);
    Picture odd(7, 5);
    odd.FillRandom(rng);
    Picture half(3, 2);
    HalveInto(half.View(), odd.View());
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < 3; ++c) {
                int sum = 2;
                for (const auto& [dx, dy] : {std::pair(0, 0), {1, 0}, {0, 1}, {1, 1}})
                    sum += odd.View().Pixel(2 * x + dx, 2 * y + dy)[c];
                EXPECT_EQ(half.View().Pixel(x, y)[c], sum / 4) << x << "," << y;
            }
    Picture wrong(4, 2, 0x11);
    const std::vector<uint8_t> untouched = wrong.bytes;
    HalveInto(wrong.View(), odd.View());
    EXPECT_EQ(wrong.bytes, untouched);

    for (const int rate : {60, 25, 15, 12, 10, 7, 5, 3, 1}) {
        PreviewPicture pacing;
        pacing.SetFrameRate(rate);
        int shown = 0;
        for (int tick = 0; tick < rate; ++tick)
            shown += pacing.Tick(true);
        EXPECT_GE(shown, std::min(rate, PreviewPicture::kLeastRate)) << rate;
        EXPECT_LE(shown, 2 * PreviewPicture::kLeastRate) << rate;
        // One change after a shown tick, then none: shown once, on a later tick.
        int later = 0;
        for (int tick = 0; tick < 2 * rate; ++tick)
            later += pacing.Tick(tick == 0);
        EXPECT_EQ(later, 1) << rate;
    }
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
    using enum SharedPixelOrder;
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
        SCOPED_TRACE(::testing::Message() << "case " << &c - cases);
        std::vector<uint8_t> source(
            static_cast<size_t>(std::max(c.stride, c.sourceWidth * 4) * c.sourceHeight), 0xEE);
        for (int y = 0; y < c.sourceHeight; ++y)
            for (int x = 0; x < c.sourceWidth; ++x) {
                const auto bgr = ScreenBgr(x, y);
                uint8_t* p = &source[static_cast<size_t>(y * c.stride + x * 4)];
                std::copy(bgr.begin(), bgr.end(), p);
                if (c.order == kRgbx)
                    std::swap(p[0], p[2]);
            }
        // The last row needs no padding: its bytes end the readable range.
        const size_t readable =
            static_cast<size_t>(c.stride * (c.sourceHeight - 1) + c.sourceWidth * 4) - c.missing;
        const SharedScreenFrame shared{source.data(), readable, c.sourceWidth, c.sourceHeight,
                                       c.stride,      c.order,  c.pointer};
        // 99 guard bytes on both sides: rows are stored bottom-up, so an arrow drawn past the
        // bottom edge would land in front of the picture.
        std::vector<uint8_t> frame(static_cast<size_t>(c.width * c.height * 3) + 2 * 99, 0x55);
        std::vector<uint8_t> expected = frame;
        EXPECT_EQ(ConvertSharedScreenFrame(shared, frame.data() + 99, c.width, c.height), c.usable);
        const SharedPointer tip = c.pointer.value_or(SharedPointer{-1, -1});
        const bool drawn = tip.x >= 0 && tip.y >= 0 && tip.x < c.width && tip.y < c.height;
        for (int y = 0; y < c.height && c.usable; ++y)
            for (int x = 0; x < c.width; ++x) {
                auto bgr = x < c.sourceWidth && y < c.sourceHeight ? ScreenBgr(x, y)
                                                                   : std::array<uint8_t, 3>{};
                const int ax = x - tip.x;
                const int ay = y - tip.y;
                if (drawn && ax >= 0 && ay >= 0 && ax < kPointerSize && ay < kPointerSize) {
                    const PointerPixel& p =
                        PointerArrow()[static_cast<size_t>(ay * kPointerSize + ax)];
                    bgr = {Blend(p.blue, bgr[0], p.alpha), Blend(p.green, bgr[1], p.alpha),
                           Blend(p.red, bgr[2], p.alpha)};
                }
                std::copy(bgr.begin(), bgr.end(),
                          expected.begin() + 99 + ((c.height - 1 - y) * c.width + x) * 3);
            }
        EXPECT_EQ(frame, expected);
    }

    // The arrow as designed: a change to its outline or rim changes how many of its pixels are
    // clear, rim, outline and fill. The top-right and bottom-left corners of the picture lie
    // outside the arrow; the tip is opaque outline.
    const PointerPicture& arrow = PointerArrow();
    std::array<int, 4> counts{};  // clear, rim, outline, fill
    for (const PointerPixel& p : arrow) {
        const bool fill = p.red == kPointerFill.red && p.green == kPointerFill.green &&
                          p.blue == kPointerFill.blue;
        ++counts[p.alpha == 0 ? 0 : p.alpha < 255 ? 1 : fill ? 3 : 2];
    }
    EXPECT_EQ(counts, (std::array<int, 4>{727, 81, 97, 119}));
    EXPECT_EQ(
        std::tuple(arrow[kPointerSize - 1].alpha, arrow[(kPointerSize - 1) * kPointerSize].alpha,
                   arrow[0].red, arrow[0].green, arrow[0].alpha),
        std::tuple(0, 0, kPointerOutline.red, kPointerOutline.green, 255));
}

}  // namespace
}  // namespace capture
