#include "app/preview_bridge.h"

#include <QMetaObject>
#include <QPainter>
#include <QPixmap>

#include "app/dialog_resources.h"

namespace app {
namespace {

const QColor kGround(0x14, 0x16, 0x1a);

}  // namespace

PreviewBridge::PreviewBridge(QLabel* area) : area_(area) {
    const QSize size = area->contentsRect().size() * area->devicePixelRatioF();
    box_ = {size.width(), size.height()};
}

capture::PreviewBox PreviewBridge::Box() const {
    return box_;
}

void PreviewBridge::OnPreviewFrame(const uint8_t* bgrBottomUp, int width, int height) {
    if (bgrBottomUp == nullptr || width <= 0 || height <= 0 || width > 8192 || height > 8192)
        return;
    frames_.fetch_add(1);
    const QImage view(bgrBottomUp, width, height, width * 3, QImage::Format_BGR888);
    // mirrored() copies: the capture's buffer may be reused as soon as this returns.
    QImage image = view.mirrored(false, true);
    {
        // Only the newest picture is kept: the UI thread never falls behind the capture.
        const std::lock_guard<std::mutex> lock(slot_->mutex);
        slot_->newest = std::move(image);
        if (slot_->called)
            return;
        slot_->called = true;
    }
    QMetaObject::invokeMethod(
        area_.data(), [area = area_, slot = slot_] { ShowNewest(area, *slot); },
        Qt::QueuedConnection);
}

void PreviewBridge::ShowNewest(const QPointer<QLabel>& area, Slot& slot) {
    QImage image;
    {
        const std::lock_guard<std::mutex> lock(slot.mutex);
        slot.called = false;
        image.swap(slot.newest);
    }
    if (area.isNull() || image.isNull())
        return;
    const qreal ratio = area->devicePixelRatioF();
    const QSize box = area->contentsRect().size() * ratio;
    // Pictures made for the box fit it already; a camera's own frames are fitted here.
    if (image.width() > box.width() || image.height() > box.height() ||
        (image.width() < box.width() && image.height() < box.height()))
        image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPixmap shown(box);
    shown.fill(kGround);
    QPainter painter(&shown);
    painter.drawImage((box.width() - image.width()) / 2, (box.height() - image.height()) / 2,
                      image);
    painter.end();
    shown.setDevicePixelRatio(ratio);
    area->setPixmap(shown);
}

void PreviewBridge::ShowPlaceholder() {
    {
        const std::lock_guard<std::mutex> lock(slot_->mutex);
        slot_->newest = QImage();
    }
    if (!area_.isNull())
        area_->setPixmap(PreviewPlaceholder(area_->contentsRect().size()));
}

}  // namespace app
