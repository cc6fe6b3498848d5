#include <windows.h>

#include <cctype>

#include "app/platform/locale_text.h"

namespace app::platform {

std::string ToProgramCharset(const std::string& utf8) {
    return utf8;
}

std::vector<std::string> UserLanguages() {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (LCIDToLocaleName(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), name,
                         LOCALE_NAME_MAX_LENGTH, 0) == 0)
        return {};
    std::string code;
    for (const wchar_t* c = name; *c != L'\0' && *c != L'-'; ++c) {
        if (*c > 0x7F || !std::isalpha(static_cast<int>(*c)))
            return {};
        code += static_cast<char>(std::tolower(static_cast<int>(*c)));
    }
    if (code.empty())
        return {};
    return {code};
}

}  // namespace app::platform
