// Pictures and fixed texts of the window: the icon, the logo, the preview placeholder, the
// picture types and the footer. The pictures are drawn, not loaded.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QStringList>

namespace app {

QIcon ApplicationIcon();
QPixmap LogoPicture(QSize size);
QPixmap PreviewPlaceholder(QSize size);
// The picture-type list's entries, in VideoStyle order.
QStringList PictureTypeTexts();
QString FooterText();

}  // namespace app
