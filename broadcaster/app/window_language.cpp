#include "app/window_language.h"

#include <QCoreApplication>

namespace app {

WindowLanguage::WindowLanguage(const std::string& language) {
    if (language.empty())
        return;
    // Built from the translator's file into the program's resources.
    if (translator_.load(
            QStringLiteral(":/i18n/tutorlane_%1.qm").arg(QString::fromStdString(language))))
        installed_ = QCoreApplication::installTranslator(&translator_);
    if (installed_)
        UseProgramLanguage(language);
}

WindowLanguage::~WindowLanguage() {
    if (!installed_)
        return;
    QCoreApplication::removeTranslator(&translator_);
    UseProgramLanguage({});
}

}  // namespace app
