#include "app/skin.h"

#include <QApplication>
#include <QFile>

namespace app {

void StartSkin(const QString& path) {
    QFile file(path);
    constexpr qint64 kMaxSkinBytes = 1 << 20;
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxSkinBytes)
        return;
    qApp->setStyleSheet(QString::fromUtf8(file.readAll()));
}

void StopSkin() {
    qApp->setStyleSheet(QString());
}

}  // namespace app
