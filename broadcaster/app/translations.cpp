#include "app/translations.h"

#include "app/platform/locale_text.h"

namespace app {

std::string ProgramLanguage() {
    return platform::UserLanguage() == kEnglish ? kEnglish : "";
}

void UseProgramLanguage(const std::string& language) {
    basis::UseTranslations(language == kEnglish ? EnglishTexts()
                                                : std::span<const basis::Translation>{});
}

}  // namespace app
