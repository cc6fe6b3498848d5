// Camera frames for the preview area: each frame the camera thread hands over is copied into an
// image and shown on the UI thread, scaled to the area.
#pragma once

#include <QLabel>
#include <QPointer>
#include <atomic>
#include <memory>

#include "capture/sinks.h"

namespace app {

class PreviewBridge final : public capture::PreviewSink {
  public:
    explicit PreviewBridge(QLabel* area) : area_(area) {}
    // Runs on the camera thread.
    void OnPreviewFrame(const uint8_t* bgrBottomUp, int width, int height) override;
    // Frames received so far.
    int Frames() const { return frames_.load(); }

  private:
    QPointer<QLabel> area_;
    std::atomic<int> frames_{0};
    // Shared with the queued call, which may run after this object is gone.
    std::shared_ptr<std::atomic<bool>> framePending_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace app
