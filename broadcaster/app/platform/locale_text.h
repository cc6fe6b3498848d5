// The user's language, and text in the character set the program hands to the system and shows
// to the user.
#pragma once

#include <string>
#include <vector>

namespace app::platform {

// Valid UTF-8 text in the program's character set: on Linux the locale's (UTF-8 on current
// desktops; characters another set lacks become '?'); on Windows UTF-8 itself, because the
// program's texts stay UTF-8 there and every system call gets them as UTF-16.
std::string ToProgramCharset(const std::string& utf8);

// The languages the user reads, most preferred first, as lower-case ISO 639 codes ("en", "zh");
// none when the system names none. Linux follows gettext: LANGUAGE's entries, unless the locale
// is C, else the language of LC_ALL, LC_MESSAGES or LANG. Windows: the user's display language.
std::vector<std::string> UserLanguages();

}  // namespace app::platform
