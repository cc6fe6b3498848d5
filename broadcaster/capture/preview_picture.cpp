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
    const FrameImage small = [&] {
        small_.resize(static_cast<size_t>(fit.width) * static_cast<size_t>(fit.height) * 3);
        return FrameImage(small_.data(), fit.width, fit.height);
    }();
    if (frame.width / 2 > fit.width && frame.height / 2 > fit.height) {
        // The stepwise resizer spends its source: the first halving reads the frame into a
        // buffer of the preview's own, which the resizer may then use.
        half_.resize(static_cast<size_t>(frame.width / 2) * static_cast<size_t>(frame.height / 2) *
                     3);
        const FrameImage half(half_.data(), frame.width / 2, frame.height / 2);
        ScaleBilinear(half, frame);
        ScaleDownStepwise(small, half);
    } else {
        ScaleBilinear(small, frame);
    }
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
