#include "capture/preview_picture.h"

#include <algorithm>

namespace capture {

PreviewBox FitIntoBox(int width, int height, PreviewBox box) {
    if (width <= 0 || height <= 0)
        return {};
    if (box.width <= 0 || box.height <= 0 || (width <= box.width && height <= box.height))
        return {width, height};
    // The side that meets the box's edge first sets the scale.
    const int64_t w = width;
    const int64_t h = height;
    PreviewBox fit;
    if (w * box.height >= h * box.width) {
        fit.width = box.width;
        fit.height = static_cast<int>(h * box.width / w);
    } else {
        fit.height = box.height;
        fit.width = static_cast<int>(w * box.height / h);
    }
    fit.width = std::max(fit.width, 1);
    fit.height = std::max(fit.height, 1);
    return fit;
}

void PreviewPicture::Send(const FrameImage& frame, PreviewSink& sink) {
    if (frame.data == nullptr || frame.width <= 0 || frame.height <= 0)
        return;
    const PreviewBox fit = FitIntoBox(frame.width, frame.height, sink.Box());
    if (fit.width == frame.width && fit.height == frame.height) {
        sink.OnPreviewFrame(frame.data, frame.width, frame.height);
        return;
    }
    // Halved by 2 x 2 means while the half is still no smaller than the box's size, then
    // resized: the last step reduces by less than two, where the bilinear resizer leaves out no
    // source pixel.
    FrameImage current = frame;
    std::vector<uint8_t>* spare = &halves_[0];
    while (current.width / 2 >= fit.width && current.height / 2 >= fit.height) {
        const size_t bytes =
            static_cast<size_t>(current.width / 2) * static_cast<size_t>(current.height / 2) * 3;
        if (spare->size() < bytes)
            spare->resize(bytes);
        const FrameImage half(spare->data(), current.width / 2, current.height / 2);
        HalveInto(half, current);
        current = half;
        spare = spare == &halves_[0] ? &halves_[1] : &halves_[0];
    }
    if (current.width == fit.width && current.height == fit.height) {
        sink.OnPreviewFrame(current.data, current.width, current.height);
        return;
    }
    small_.resize(static_cast<size_t>(fit.width) * static_cast<size_t>(fit.height) * 3);
    const FrameImage small(small_.data(), fit.width, fit.height);
    ScaleBilinear(small, current);
    sink.OnPreviewFrame(small.data, small.width, small.height);
}

void PreviewPicture::SetFrameRate(int frameRate) {
    ticksPerPreview_ = std::max(1, frameRate / kLeastRate);
    ticksSincePreview_ = ticksPerPreview_;  // the first frame is shown at once
    unshown_ = false;
}

bool PreviewPicture::Tick(bool changed) {
    unshown_ = unshown_ || changed;
    if (ticksSincePreview_ < ticksPerPreview_)
        ++ticksSincePreview_;
    if (!unshown_ || ticksSincePreview_ < ticksPerPreview_)
        return false;
    ticksSincePreview_ = 0;
    unshown_ = false;
    return true;
}

}  // namespace capture
