// The preview area's pictures: each picture a capture thread hands over is copied into an image,
// and the newest one is shown on the UI thread, fitted into the area on a dark ground.
#pragma once

#include <QImage>
#include <QLabel>
#include <QPointer>
#include <atomic>
#include <memory>
#include <mutex>

#include "capture/sinks.h"

namespace app {

class PreviewBridge final : public capture::PreviewSink {
  public:
    // Takes the area's size now: the area keeps its size.
    explicit PreviewBridge(QLabel* area);
    // Runs on the capture threads.
    void OnPreviewFrame(const uint8_t* bgrBottomUp, int width, int height) override;
    capture::PreviewBox Box() const override;
    // Pictures received so far.
    int Frames() const { return frames_.load(); }
    // UI thread: the placeholder again; a picture handed over before is not shown.
    void ShowPlaceholder();

  private:
    // Shared with the queued call, which may run after this object is gone.
    struct Slot {
        std::mutex mutex;
        QImage newest;        // not shown yet; null when none
        bool called = false;  // a call to show it is queued
    };
    static void ShowNewest(const QPointer<QLabel>& area, Slot& slot);

    QPointer<QLabel> area_;
    capture::PreviewBox box_;  // set once, before any capture thread starts
    std::atomic<int> frames_{0};
    std::shared_ptr<Slot> slot_ = std::make_shared<Slot>();
};

}  // namespace app
