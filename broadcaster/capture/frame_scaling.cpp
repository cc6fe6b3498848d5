#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "capture/frame_image.h"

namespace capture {
namespace {

constexpr int32_t kOne = 65536;   // 1.0 in 16.16 fixed point
constexpr int32_t kHalf = 32768;  // 0.5 in 16.16 fixed point

bool Usable(const FrameImage& image) {
    return image.data != nullptr && image.width > 0 && image.height > 0 &&
           image.width <= kMaxScaleDimension && image.height <= kMaxScaleDimension;
}

// One destination pixel from its four neighbours and the 8-bit fractions u (across) and v (up).
inline void BlendPixel(uint8_t* out, const uint8_t* p00, const uint8_t* p10, const uint8_t* p01,
                       const uint8_t* p11, int32_t u, int32_t v) {
    const int32_t w11 = u * v;
    const int32_t w10 = 256 * u - w11;
    const int32_t w01 = 256 * v - w11;
    const int32_t w00 = kOne - w01 - w10 - w11;
    for (int c = 0; c < 3; ++c) {
        out[c] =
            static_cast<uint8_t>((p00[c] * w00 + p01[c] * w01 + p10[c] * w10 + p11[c] * w11) >> 16);
    }
}

// The pixel at source position (sx, sy), neighbours clamped into the source.
inline void ClampedPixel(uint8_t* out, const FrameImage& src, int32_t sx, int32_t sy) {
    const int32_t ix = sx >> 16;
    const int32_t iy = sy >> 16;
    const int32_t u = (sx >> 8) & 255;
    const int32_t v = (sy >> 8) & 255;
    const int32_t lastX = src.width - 1;
    const int32_t lastY = src.height - 1;
    const int32_t xa = std::clamp(ix, 0, lastX);
    const int32_t xb = std::clamp(ix + 1, 0, lastX);
    const int32_t ya = std::clamp(iy, 0, lastY);
    const int32_t yb = std::clamp(iy + 1, 0, lastY);
    BlendPixel(out, src.Pixel(xa, ya), src.Pixel(xb, ya), src.Pixel(xa, yb), src.Pixel(xb, yb), u,
               v);
}

// Columns [from, to) of destination row `y`, every fetch clamped.
void ClampedSpan(const FrameImage& dst, const FrameImage& src, int32_t y, int32_t sy, int32_t x0,
                 int32_t xr, int32_t from, int32_t to) {
    uint8_t* out = dst.Pixel(from, y);
    int32_t sx = x0 + from * xr;
    for (int32_t x = from; x < to; ++x, sx += xr, out += 3) {
        ClampedPixel(out, src, sx, sy);
    }
}

// Columns [from, to) of destination row `y` whose neighbours all lie inside the source: rows
// `row0` and `row0 + stride`, columns ix and ix + 1, read without clamping.
void InnerSpan(uint8_t* out, const uint8_t* row0, int32_t stride, int32_t v, int32_t sx, int32_t xr,
               int32_t count) {
    const uint8_t* row1 = row0 + stride;
    const int32_t vWeight = 256 * v;
    for (int32_t n = 0; n < count; ++n, sx += xr, out += 3) {
        const int32_t u = (sx >> 8) & 255;
        const int32_t offset = (sx >> 16) * 3;
        const uint8_t* p00 = row0 + offset;
        const uint8_t* p01 = row1 + offset;
        const int32_t w11 = u * v;
        const int32_t w10 = 256 * u - w11;
        const int32_t w01 = vWeight - w11;
        const int32_t w00 = kOne - w01 - w10 - w11;
        out[0] =
            static_cast<uint8_t>((p00[0] * w00 + p01[0] * w01 + p00[3] * w10 + p01[3] * w11) >> 16);
        out[1] =
            static_cast<uint8_t>((p00[1] * w00 + p01[1] * w01 + p00[4] * w10 + p01[4] * w11) >> 16);
        out[2] =
            static_cast<uint8_t>((p00[2] * w00 + p01[2] * w01 + p00[5] * w10 + p01[5] * w11) >> 16);
    }
}

// Where an inset of `extent` pixels placed at `pos` starts on a canvas of `limit` pixels: moved
// back flush with the far edge when it sticks out there, and never before the near edge.
int32_t PlaceOnCanvas(int32_t pos, int32_t extent, int32_t limit) {
    int64_t placed = pos;
    if (placed + extent > limit) {
        placed = static_cast<int64_t>(limit) - extent;
    }
    return static_cast<int32_t>(std::max<int64_t>(placed, 0));
}

// The halving scratch buffer shared by every ScaleDownStepwise call, and its lock.
struct HalvingScratch {
    std::mutex lock;
    std::vector<uint8_t> bytes;
};

HalvingScratch& Scratch() {
    static HalvingScratch scratch;
    return scratch;
}

}  // namespace

void ScaleBilinear(const FrameImage& dst, const FrameImage& src) {
    if (!Usable(dst) || !Usable(src)) {
        return;
    }
    const int32_t xr = (src.width * kOne) / dst.width + 1;
    const int32_t yr = (src.height * kOne) / dst.height + 1;
    const int32_t x0 = (xr >> 1) - kHalf;
    const int32_t y0 = (yr >> 1) - kHalf;

    // Rows [by0, by1) and columns [bx0, bx1) read all four neighbours inside the source.
    const int32_t by0 = std::min(1 - y0 / yr, dst.height);
    const int32_t bx0 = std::min(1 - x0 / xr, dst.width);
    const int32_t by1 =
        std::max(std::min(((src.height - 2) * kOne - y0) / yr + 1, dst.height), by0);
    const int32_t bx1 = std::max(std::min(((src.width - 2) * kOne - x0) / xr + 1, dst.width), bx0);

    int32_t sy = y0;
    for (int32_t y = 0; y < dst.height; ++y, sy += yr) {
        if (y < by0 || y >= by1) {
            ClampedSpan(dst, src, y, sy, x0, xr, 0, dst.width);
            continue;
        }
        ClampedSpan(dst, src, y, sy, x0, xr, 0, bx0);
        const uint8_t* row0 = src.data + static_cast<ptrdiff_t>(sy >> 16) * src.stride;
        InnerSpan(dst.Pixel(bx0, y), row0, src.stride, (sy >> 8) & 255, x0 + bx0 * xr, xr,
                  bx1 - bx0);
        ClampedSpan(dst, src, y, sy, x0, xr, bx1, dst.width);
    }
}

void ScaleDownStepwise(const FrameImage& dst, const FrameImage& src) {
    if (!Usable(dst) || !Usable(src)) {
        return;
    }
    HalvingScratch& scratch = Scratch();
    std::lock_guard<std::mutex> hold(scratch.lock);
    if (scratch.bytes.size() < src.SizeBytes()) {
        scratch.bytes.resize(src.SizeBytes());
    }
    FrameImage current = src;
    uint8_t* spare = scratch.bytes.data();
    while (current.width / 2 > dst.width && current.height / 2 > dst.height) {
        const FrameImage half(spare, current.width / 2, current.height / 2);
        ScaleBilinear(half, current);
        spare = current.data;
        current = half;
    }
    ScaleBilinear(dst, current);
}

void HalveInto(const FrameImage& dst, const FrameImage& src) {
    if (!Usable(dst) || !Usable(src) || dst.width != src.width / 2 ||
        dst.height != src.height / 2) {
        return;
    }
    const int32_t bytes = dst.width * 3;
    for (int32_t y = 0; y < dst.height; ++y) {
        const uint8_t* a = src.Pixel(0, 2 * y);
        const uint8_t* b = a + src.stride;
        uint8_t* out = dst.Pixel(0, y);
        for (int32_t i = 0, j = 0; i < bytes; i += 3, j += 6) {
            for (int32_t c = 0; c < 3; ++c) {
                out[i + c] = static_cast<uint8_t>(
                    (a[j + c] + a[j + 3 + c] + b[j + c] + b[j + 3 + c] + 2) >> 2);
            }
        }
    }
}

void ScaleNearestInto(const FrameImage& canvas, int32_t x, int32_t y, const FrameImage& size,
                      const FrameImage& src) {
    if (!Usable(src) || size.width <= 0 || size.height <= 0 || size.width > kMaxScaleDimension ||
        size.height > kMaxScaleDimension || canvas.data == nullptr || canvas.width <= 0 ||
        canvas.height <= 0) {
        return;
    }
    x = PlaceOnCanvas(x, size.width, canvas.width);
    y = PlaceOnCanvas(y, size.height, canvas.height);
    const int32_t columns = std::min(size.width, canvas.width - x);
    const int32_t rows = std::min(size.height, canvas.height - y);

    const uint32_t xr = static_cast<uint32_t>((src.width * kOne) / size.width + 1);
    const uint32_t yr = static_cast<uint32_t>((src.height * kOne) / size.height + 1);
    const uint32_t lastX = static_cast<uint32_t>(src.width - 1);
    const uint32_t lastY = static_cast<uint32_t>(src.height - 1);
    for (int32_t i = 0; i < rows; ++i) {
        const uint32_t sy = std::min((static_cast<uint32_t>(i) * yr) >> 16, lastY);
        const uint8_t* from = src.data + static_cast<ptrdiff_t>(sy) * src.stride;
        uint8_t* out = canvas.Pixel(x, y + i);
        uint32_t sx = 0;
        for (int32_t j = 0; j < columns; ++j, sx += xr, out += 3) {
            const uint8_t* p = from + std::min(sx >> 16, lastX) * 3;
            out[0] = p[0];
            out[1] = p[1];
            out[2] = p[2];
        }
    }
}

int PasteImage(const FrameImage& canvas, int32_t x, int32_t y, const FrameImage& img) {
    if (img.height <= 0 || img.width <= 0 || img.data == nullptr || canvas.data == nullptr ||
        canvas.width <= 0 || canvas.height <= 0) {
        return 1;
    }
    x = PlaceOnCanvas(x, img.width, canvas.width);
    y = PlaceOnCanvas(y, img.height, canvas.height);
    const int32_t columns = std::min(img.width, canvas.width - x);
    const int32_t rows = std::min(img.height, canvas.height - y);
    const size_t rowBytes = static_cast<size_t>(columns) * 3U;
    for (int32_t i = 0; i < rows; ++i) {
        std::memcpy(canvas.Pixel(x, y + i), img.data + static_cast<ptrdiff_t>(i) * img.stride,
                    rowBytes);
    }
    return 1;
}

}  // namespace capture
