#include "capture/camera_format.h"

#include "capture/video_device_layer.h"

namespace capture {

std::optional<uint32_t> ChooseCaptureFormat(const std::vector<uint32_t>& listed) {
    for (const uint32_t format : listed) {
        if (format == kPixelRgb24 || format == kPixelYuyv || format == kPixelMjpeg) {
            return format;
        }
    }
    if (listed.empty()) {
        return std::nullopt;
    }
    return listed.back();
}

size_t CameraFrameBytes(uint32_t width, uint32_t height) {
    return static_cast<size_t>(width) * height * 3;
}

bool ConvertRgbTopDownToBgrBottomUp(std::span<const uint8_t> src, uint32_t srcWidth,
                                    uint32_t srcHeight, uint32_t srcStride, std::span<uint8_t> dst,
                                    uint32_t dstWidth, uint32_t dstHeight) {
    if (srcWidth == 0 || srcHeight == 0 || dstWidth == 0 || dstHeight == 0) {
        return false;
    }
    const size_t srcRowBytes = static_cast<size_t>(srcWidth) * 3;
    const size_t stride = srcStride == 0 ? srcRowBytes : srcStride;
    if (stride < srcRowBytes) {
        return false;
    }
    const size_t srcNeeded = stride * (srcHeight - 1) + srcRowBytes;
    if (src.size() < srcNeeded || dst.size() != CameraFrameBytes(dstWidth, dstHeight)) {
        return false;
    }
    const size_t dstRowBytes = static_cast<size_t>(dstWidth) * 3;
    for (uint32_t row = 0; row < dstHeight; ++row) {
        // Destination rows run bottom-up: stored row `row` shows picture row dstHeight-1-row.
        const uint32_t pictureRow = dstHeight - 1 - row;
        const uint32_t srcRow = static_cast<uint32_t>(uint64_t{pictureRow} * srcHeight / dstHeight);
        const uint8_t* in = src.data() + stride * srcRow;
        uint8_t* out = dst.data() + dstRowBytes * row;
        for (uint32_t x = 0; x < dstWidth; ++x) {
            const size_t srcX =
                (dstWidth == srcWidth) ? x : static_cast<size_t>(uint64_t{x} * srcWidth / dstWidth);
            const uint8_t* pixel = in + srcX * 3;
            out[x * 3 + 0] = pixel[2];
            out[x * 3 + 1] = pixel[1];
            out[x * 3 + 2] = pixel[0];
        }
    }
    return true;
}

}  // namespace capture
