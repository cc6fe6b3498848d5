#include "app/preview_bridge.h"

#include <QImage>
#include <QMetaObject>
#include <QPixmap>
#include <memory>

namespace app {

void PreviewBridge::OnPreviewFrame(const uint8_t* bgrBottomUp, int width, int height) {
    if (bgrBottomUp == nullptr || width <= 0 || height <= 0 || width > 8192 || height > 8192)
        return;
    frames_.fetch_add(1);
    // A frame still waiting for the UI thread is not followed by another: the UI thread never
    // falls behind the camera.
    if (framePending_->exchange(true))
        return;
    const QImage view(bgrBottomUp, width, height, width * 3, QImage::Format_BGR888);
    // mirrored() copies: the camera's buffer may be reused as soon as this returns.
    auto image = std::make_shared<QImage>(view.mirrored(false, true));
    QPointer<QLabel> area = area_;
    std::shared_ptr<std::atomic<bool>> pending = framePending_;
    if (area.isNull()) {
        framePending_->store(false);
        return;
    }
    QMetaObject::invokeMethod(
        area.data(),
        [area, image, pending] {
            pending->store(false);
            if (area.isNull())
                return;
            area->setPixmap(QPixmap::fromImage(image->scaled(
                area->contentsRect().size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
        },
        Qt::QueuedConnection);
}

}  // namespace app
