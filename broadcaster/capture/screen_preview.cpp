#include "capture/screen_preview.h"

#include <utility>

namespace capture {
namespace {

// The broadcast's own limit on a screen frame's side.
constexpr int kMaxSide = kMaxScaleDimension;

}  // namespace

ScreenPreview::~ScreenPreview() {
    Stop();
}

bool ScreenPreview::Start(GrabFn grab, int width, int height, PreviewSink* sink) {
    Stop();
    if (!grab || sink == nullptr || width <= 0 || height <= 0 || width > kMaxSide ||
        height > kMaxSide)
        return false;
    grab_ = std::move(grab);
    sink_ = sink;
    width_ = width;
    height_ = height;
    // The grabber writes only what changed: it starts on a frame of its own.
    frame_.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 3, 0);
    return StartTimerRate(static_cast<uint32_t>(PreviewPicture::kLeastRate));
}

void ScreenPreview::Stop() {
    StopTimer();
    grab_ = nullptr;
}

void ScreenPreview::OnTimer() {
    if (grab_(frame_.data(), width_, height_))
        picture_.Send(FrameImage(frame_.data(), width_, height_), *sink_);
}

}  // namespace capture
