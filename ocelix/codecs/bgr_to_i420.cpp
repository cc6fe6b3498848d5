#include "codecs/bgr_to_i420.h"

#include <stdexcept>

#include <libyuv/convert.h>

extern "C" {
#include <libavutil/mem.h>
}

namespace ocelix {
namespace {

constexpr int kPlaneAlignment = 64;

int AlignUp(int value) {
    return (value + kPlaneAlignment - 1) / kPlaneAlignment * kPlaneAlignment;
}

}  // namespace

void BgrToI420::FreeDeleter::operator()(uint8_t* p) const {
    av_free(p);
}

BgrToI420::BgrToI420(int width, int height, int sourceStride)
    : width_(width), height_(height), sourceStride_(sourceStride) {
    if (width <= 0 || height <= 0 || (width & 1) != 0 || (height & 1) != 0 ||
        sourceStride < width * 3) {
        throw std::invalid_argument("BgrToI420: bad frame geometry");
    }
    strides_[0] = AlignUp(width);
    strides_[1] = AlignUp(width / 2);
    strides_[2] = strides_[1];
    const std::size_t lumaBytes = static_cast<std::size_t>(strides_[0]) * height;
    const std::size_t chromaBytes = static_cast<std::size_t>(strides_[1]) * (height / 2);
    storage_.reset(static_cast<uint8_t*>(av_mallocz(lumaBytes + 2 * chromaBytes)));
    if (!storage_) {
        throw std::bad_alloc();
    }
    planes_[0] = storage_.get();
    planes_[1] = planes_[0] + lumaBytes;
    planes_[2] = planes_[1] + chromaBytes;
}

BgrToI420::~BgrToI420() = default;

void BgrToI420::Convert(const uint8_t* frame, int frameRows) {
    if (frame == nullptr || frameRows < height_) {
        throw std::invalid_argument("BgrToI420: frame smaller than the picture");
    }
    // The displayed top row is the last one in memory: walk upwards with a negative stride.
    const uint8_t* top = frame + static_cast<std::size_t>(frameRows - 1) * sourceStride_;
    // libyuv's "RGB24" is B, G, R in memory order, the frames' layout.
    if (libyuv::RGB24ToI420(top, -sourceStride_, planes_[0], strides_[0], planes_[1], strides_[1],
                            planes_[2], strides_[2], width_, height_) != 0) {
        throw std::invalid_argument("BgrToI420: conversion refused");
    }
}

}  // namespace ocelix
