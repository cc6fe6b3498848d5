// The screen in the preview while nothing is broadcast: grabbed a few times a second into a frame
// of the broadcast's screen size, and each new picture made small for the preview.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "basis/periodic_timer.h"
#include "capture/preview_picture.h"
#include "capture/sinks.h"

namespace capture {

class ScreenPreview final : public basis::CMMTimer {
  public:
    using GrabFn = std::function<bool(uint8_t* dst, int width, int height)>;

    ScreenPreview() = default;
    ~ScreenPreview() override;
    ScreenPreview(const ScreenPreview&) = delete;
    ScreenPreview& operator=(const ScreenPreview&) = delete;

    // Grabs the top-left width x height of the screen PreviewPicture::kLeastRate times a second
    // and sends each changed picture to the sink, which must outlive the preview. False (and
    // nothing runs) for an unusable size or a missing grabber.
    bool Start(GrabFn grab, int width, int height, PreviewSink* sink);
    void Stop();

  protected:
    void OnTimer() override;

  private:
    GrabFn grab_;
    PreviewSink* sink_ = nullptr;
    std::vector<uint8_t> frame_;
    int width_ = 0;
    int height_ = 0;
    PreviewPicture picture_;
};

}  // namespace capture
