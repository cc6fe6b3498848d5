#include "codecs/bgr_to_i420.h"

#include <stdexcept>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace ocelix {
namespace {

constexpr int kPlaneAlignment = 64;

int AlignUp(int value) {
    return (value + kPlaneAlignment - 1) / kPlaneAlignment * kPlaneAlignment;
}

}  // namespace

void BgrToI420::SwsDeleter::operator()(SwsContext* context) const {
    sws_freeContext(context);
}

void BgrToI420::FreeDeleter::operator()(uint8_t* p) const {
    av_free(p);
}

BgrToI420::BgrToI420(int width, int height, int sourceStride)
    : width_(width), height_(height), sourceStride_(sourceStride) {
    if (width <= 0 || height <= 0 || (width & 1) != 0 || (height & 1) != 0 ||
        sourceStride < width * 3) {
        throw std::invalid_argument("BgrToI420: bad frame geometry");
    }
    sws_.reset(sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_YUV420P,
                              SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws_) {
        throw std::runtime_error("BgrToI420: no converter for this size");
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
    const uint8_t* const source[1] = {top};
    const int sourceStrides[1] = {-sourceStride_};
    sws_scale(sws_.get(), source, sourceStrides, 0, height_, planes_, strides_);
}

}  // namespace ocelix
