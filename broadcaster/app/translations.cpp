#include "app/translations.h"

#include "app/platform/locale_text.h"

namespace app {

std::string ProgramLanguage() {
    // The first of the user's languages the program has: English, or its own Chinese (as in
    // LANGUAGE=de:en, where gettext would fall back to English too).
    for (const std::string& language : platform::UserLanguages()) {
        if (language == kEnglish)
            return kEnglish;
        if (language == "zh")
            return {};
    }
    return {};
}

void UseProgramLanguage(const std::string& language) {
    basis::UseTranslations(language == kEnglish ? EnglishTexts()
                                                : std::span<const basis::Translation>{});
}

}  // namespace app
