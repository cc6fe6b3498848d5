// The program's language: English for a user who reads English, otherwise the program's own
// Chinese texts as written. The translations come from the translator's Qt Linguist file
// (broadcaster/translations): the window loads it as Qt's .qm, and every program has the shared
// texts (settings, launch, local copy, connection, screen sharing) compiled in as a table.
#pragma once

#include <span>
#include <string>

#include "basis/translation.h"

namespace app {

constexpr char kEnglish[] = "en";

// kEnglish when English comes first among the user's languages the program has (English and its
// own Chinese), empty for the texts as written.
std::string ProgramLanguage();

// Shows the shared texts in `language` from now on (empty: as written).
void UseProgramLanguage(const std::string& language);

// The finished English translations, sorted for basis::UseTranslations.
std::span<const basis::Translation> EnglishTexts();

}  // namespace app
