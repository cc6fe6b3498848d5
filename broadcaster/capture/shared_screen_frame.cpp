#include "capture/shared_screen_frame.h"

#include <algorithm>
#include <cstring>

#include "capture/frame_image.h"
#include "capture/pointer_arrow.h"

namespace capture {
namespace {

bool Readable(const SharedScreenFrame& f) {
    if (f.pixels == nullptr || f.width <= 0 || f.height <= 0)
        return false;
    // In size_t: a width near the int32 limit must not wrap the row's byte count.
    const size_t rowBytes = static_cast<size_t>(f.width) * 4U;
    if (f.stride <= 0 || static_cast<size_t>(f.stride) < rowBytes)
        return false;
    const size_t needed =
        static_cast<size_t>(f.stride) * static_cast<size_t>(f.height - 1) + rowBytes;
    return needed <= f.bytes;
}

}  // namespace

bool ConvertSharedScreenFrame(const SharedScreenFrame& frame, uint8_t* dst, int width, int height) {
    if (dst == nullptr || width <= 0 || height <= 0 || width > kMaxScaleDimension ||
        height > kMaxScaleDimension || !Readable(frame))
        return false;
    const int copyWidth = std::min(width, frame.width);
    const int copyHeight = std::min(height, frame.height);
    const size_t dstStride = static_cast<size_t>(width) * 3U;
    // Screen row y (top-down) lands in frame row height - 1 - y (bottom-up).
    const int redAt = frame.order == SharedPixelOrder::kBgrx ? 2 : 0;
    const int blueAt = 2 - redAt;
    for (int y = 0; y < height; ++y) {
        uint8_t* out = dst + static_cast<size_t>(height - 1 - y) * dstStride;
        if (y >= copyHeight) {
            std::memset(out, 0, dstStride);
            continue;
        }
        const uint8_t* in =
            frame.pixels + static_cast<size_t>(y) * static_cast<size_t>(frame.stride);
        for (int x = 0; x < copyWidth; ++x) {
            out[0] = in[blueAt];
            out[1] = in[1];
            out[2] = in[redAt];
            out += 3;
            in += 4;
        }
        std::memset(out, 0, static_cast<size_t>(width - copyWidth) * 3U);
    }
    if (frame.pointer)
        DrawPointer(FrameImage(dst, width, height), frame.pointer->x, frame.pointer->y);
    return true;
}

}  // namespace capture
