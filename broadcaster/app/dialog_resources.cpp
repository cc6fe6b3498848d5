#include "app/dialog_resources.h"

#include <QCoreApplication>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace app {
namespace {

const QColor kBrandBlue(0x1f, 0x6f, 0xc5);
const QColor kBrandOrange(0xf3, 0x8b, 0x1f);

// A play triangle inside a rounded square: the program's mark.
void DrawMark(QPainter& p, const QRectF& r) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kBrandBlue);
    p.drawRoundedRect(r, r.width() * 0.2, r.height() * 0.2);
    QPainterPath triangle;
    triangle.moveTo(r.left() + r.width() * 0.38, r.top() + r.height() * 0.25);
    triangle.lineTo(r.left() + r.width() * 0.75, r.center().y());
    triangle.lineTo(r.left() + r.width() * 0.38, r.top() + r.height() * 0.75);
    triangle.closeSubpath();
    p.setBrush(Qt::white);
    p.drawPath(triangle);
    p.setBrush(kBrandOrange);
    p.drawEllipse(QPointF(r.right() - r.width() * 0.18, r.top() + r.height() * 0.18),
                  r.width() * 0.09, r.height() * 0.09);
}

}  // namespace

QIcon ApplicationIcon() {
    QIcon icon;
    for (int side : {16, 32, 48, 64}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        DrawMark(p, QRectF(0, 0, side, side));
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QPixmap LogoPicture(QSize size) {
    QPixmap pixmap(size);
    pixmap.fill(Qt::white);
    QPainter p(&pixmap);
    const qreal h = size.height();
    DrawMark(p, QRectF(2, 2, h - 4, h - 4));
    QFont big(QStringLiteral("Noto Sans CJK SC"));
    big.setPixelSize(static_cast<int>(h * 0.42));
    big.setBold(true);
    p.setFont(big);
    p.setPen(kBrandBlue);
    p.drawText(QRectF(h + 4, 0, size.width() - h - 4, h * 0.6), Qt::AlignLeft | Qt::AlignBottom,
               QStringLiteral("Tutorlane"));
    QFont small(QStringLiteral("Noto Sans CJK SC"));
    small.setPixelSize(static_cast<int>(h * 0.24));
    p.setFont(small);
    p.setPen(QColor(0x55, 0x55, 0x55));
    p.drawText(QRectF(h + 4, h * 0.6, size.width() - h - 4, h * 0.4), Qt::AlignLeft | Qt::AlignTop,
               QCoreApplication::translate("window", "新一代网络教学系统"));
    return pixmap;
}

QPixmap PreviewPlaceholder(QSize size) {
    QPixmap pixmap(size);
    QPainter p(&pixmap);
    QLinearGradient shade(0, 0, 0, size.height());
    shade.setColorAt(0, QColor(0x2b, 0x2f, 0x36));
    shade.setColorAt(1, QColor(0x14, 0x16, 0x1a));
    p.fillRect(pixmap.rect(), shade);
    p.setRenderHint(QPainter::Antialiasing);
    // A camera outline.
    const qreal cx = size.width() / 2.0;
    const qreal cy = size.height() / 2.0 - size.height() * 0.08;
    const qreal w = size.width() * 0.28;
    const qreal h = w * 0.62;
    p.setPen(QPen(QColor(0x8a, 0x93, 0xa0), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(cx - w / 2 - w * 0.12, cy - h / 2, w, h), 4, 4);
    QPainterPath lens;
    lens.moveTo(cx + w / 2 - w * 0.12, cy - h * 0.15);
    lens.lineTo(cx + w / 2 + w * 0.2, cy - h * 0.38);
    lens.lineTo(cx + w / 2 + w * 0.2, cy + h * 0.38);
    lens.lineTo(cx + w / 2 - w * 0.12, cy + h * 0.15);
    p.drawPath(lens);
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(12);
    p.setFont(font);
    p.drawText(QRectF(0, cy + h / 2 + 6, size.width(), 20), Qt::AlignHCenter | Qt::AlignTop,
               QCoreApplication::translate("window", "视频预览"));
    return pixmap;
}

QStringList PictureTypeTexts() {
    return {QCoreApplication::translate("window", "仅直播电脑桌面"),
            QCoreApplication::translate("window", "仅直播摄像头"),
            QCoreApplication::translate("window", "画中画（大画面是桌面）"),
            QCoreApplication::translate("window", "画中画（大画面是摄像头）")};
}

QString FooterText() {
    return QCoreApplication::translate("window",
                                       "Tutorlane 新一代网络教学系统 · 网络课堂直播客户端");
}

}  // namespace app
