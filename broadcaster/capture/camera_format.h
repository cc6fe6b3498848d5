#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace capture {

// The capture format for a device's format list (in the device's own order): the first format
// that is RGB24, YUYV or MJPEG, else the last one listed; nullopt for an empty list.
std::optional<uint32_t> ChooseCaptureFormat(const std::vector<uint32_t>& listed);

// Bytes of a camera frame as the sink gets it: packed BGR, rows of exactly width * 3 bytes.
size_t CameraFrameBytes(uint32_t width, uint32_t height);

// Turns an RGB24 picture (top row first, rows srcStride bytes apart, srcStride 0 meaning
// srcWidth * 3) into the camera frame layout: BGR, bottom row first, dstWidth x dstHeight with
// rows of dstWidth * 3 bytes. When the sizes differ the picture is scaled to the destination
// (nearest pixel), so the whole camera view stays in the frame. False, with dst untouched, when
// src is shorter than the picture it should hold, dst is not CameraFrameBytes(dstWidth,
// dstHeight) long, or a size is 0.
bool ConvertRgbTopDownToBgrBottomUp(std::span<const uint8_t> src, uint32_t srcWidth,
                                    uint32_t srcHeight, uint32_t srcStride, std::span<uint8_t> dst,
                                    uint32_t dstWidth, uint32_t dstHeight);

}  // namespace capture
