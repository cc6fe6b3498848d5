// Raw video frames and the four image operations that compose picture-in-picture frames.
//
// A frame is packed 24-bit pixels in blue, green, red order, rows of exactly width x 3 bytes,
// stored bottom-up: row 0 is the bottom row of the picture, so positions count x from the left
// edge and y from the bottom edge. All operations are integer-only and allocate nothing except
// the halving scratch buffer of ScaleDownStepwise.
#ifndef BROADCASTER_CAPTURE_FRAME_IMAGE_H
#define BROADCASTER_CAPTURE_FRAME_IMAGE_H

#include <cstddef>
#include <cstdint>

namespace capture {

// A non-owning view of a packed BGR frame. `stride` is always width x 3.
struct FrameImage {
    uint8_t* data = nullptr;  // first byte of row 0 (the bottom row)
    int32_t stride = 0;       // bytes from one row to the next
    int32_t width = 0;        // pixels per row
    int32_t height = 0;       // rows

    FrameImage() = default;
    FrameImage(uint8_t* pixels, int32_t w, int32_t h)
        : data(pixels), stride(w * 3), width(w), height(h) {}

    // Bytes the picture occupies (0 for a non-positive size).
    size_t SizeBytes() const {
        return width > 0 && height > 0
                   ? static_cast<size_t>(width) * static_cast<size_t>(height) * 3U
                   : 0U;
    }
    uint8_t* Pixel(int32_t x, int32_t y) const {
        return data + static_cast<ptrdiff_t>(y) * stride + static_cast<ptrdiff_t>(x) * 3;
    }
};

// Largest width or height the fixed-point resizers accept: source positions are 16.16 values in
// signed 32-bit integers. Larger pictures are refused like zero-sized ones (nothing is written).
inline constexpr int32_t kMaxScaleDimension = 32767;

// Fills the whole destination with the source resized bilinearly (16.16 steps, 8-bit fractions,
// truncated weighted sums). Does nothing when a width or height is 0 (or negative, or too large).
void ScaleBilinear(const FrameImage& dst, const FrameImage& src);

// Halves the source while both halves stay larger than the destination, then ScaleBilinear.
// Uses a process-wide scratch buffer (grown when a source is larger than any before) and the
// source's own pixels as the second halving buffer: the source's pixels are not usable afterwards.
// Calls are serialised by a process-wide lock.
void ScaleDownStepwise(const FrameImage& dst, const FrameImage& src);

// Each destination pixel the rounded mean of the 2 x 2 source pixels it covers. The destination
// must be exactly half the source in each direction (an odd last row or column of the source is
// left out); otherwise, or for a zero size, nothing is written. Reads the source only.
void HalveInto(const FrameImage& dst, const FrameImage& src);

// Draws the source, resized to size.width x size.height by nearest neighbour, into the canvas at
// (x, y). An inset sticking out on the right or at the top is moved flush with that edge;
// negative positions are taken as 0 and whatever still lies outside the canvas is not drawn.
void ScaleNearestInto(const FrameImage& canvas, int32_t x, int32_t y, const FrameImage& size,
                      const FrameImage& src);

// Copies the image unchanged into the canvas at (x, y), moved and clipped like
// ScaleNearestInto. Returns 1.
int PasteImage(const FrameImage& canvas, int32_t x, int32_t y, const FrameImage& img);

}  // namespace capture

#endif  // BROADCASTER_CAPTURE_FRAME_IMAGE_H
