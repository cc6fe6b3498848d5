// The window's texts in the program's language for as long as an object of this class lives:
// Qt's translator for the window's own texts, the compiled-in table for the texts it shares with
// the console, and the classroom page's texts (see CShockwaveFlash::TranslatePage).
#pragma once

#include <QTranslator>
#include <string>

#include "app/translations.h"

namespace app {

class WindowLanguage {
  public:
    // language: kEnglish, or empty for the texts as written.
    explicit WindowLanguage(const std::string& language = ProgramLanguage());
    ~WindowLanguage();
    WindowLanguage(const WindowLanguage&) = delete;
    WindowLanguage& operator=(const WindowLanguage&) = delete;

    // True when the translation was found and is in use (always false for the texts as written).
    bool Translated() const { return installed_; }

  private:
    QTranslator translator_;
    bool installed_ = false;
};

}  // namespace app
