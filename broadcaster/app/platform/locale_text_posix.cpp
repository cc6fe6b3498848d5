#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "app/platform/locale_text.h"

namespace app::platform {
namespace {

// Bytes of the UTF-8 sequence that starts with lead (1 for a byte that starts none).
size_t SequenceLength(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0)
        return 2;
    if ((lead & 0xF0) == 0xE0)
        return 3;
    if ((lead & 0xF8) == 0xF0)
        return 4;
    return 1;
}

// "en" of "en_US.UTF-8", "en@euro" or "en"; empty for the C and POSIX locales.
std::string LanguageOf(std::string_view locale) {
    locale = locale.substr(0, locale.find_first_of("_.@:"));
    if (locale == "C" || locale == "POSIX")
        return {};
    std::string code;
    for (const char c : locale) {
        if (!std::isalpha(static_cast<unsigned char>(c)))
            return {};
        code += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return code;
}

const char* Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::vector<std::string> UserLanguages() {
    const char* locale = Variable("LC_ALL");
    if (locale == nullptr)
        locale = Variable("LC_MESSAGES");
    if (locale == nullptr)
        locale = Variable("LANG");
    const std::string language = LanguageOf(locale != nullptr ? locale : "C");
    if (language.empty())
        return {};
    const char* list = Variable("LANGUAGE");
    std::vector<std::string> languages;
    for (std::string_view rest = list != nullptr ? list : ""; !rest.empty();) {
        const size_t colon = rest.find(':');
        const std::string entry = LanguageOf(rest.substr(0, colon));
        if (!entry.empty() &&
            std::find(languages.begin(), languages.end(), entry) == languages.end())
            languages.push_back(entry);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    if (languages.empty())
        languages.push_back(language);
    return languages;
}

std::string ToProgramCharset(const std::string& utf8) {
    const char* charset = nl_langinfo(CODESET);
    if (charset == nullptr || strcasecmp(charset, "UTF-8") == 0 || strcasecmp(charset, "utf8") == 0)
        return utf8;
    iconv_t cd = iconv_open(charset, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return utf8;
    std::string out;
    // One character at a time, so that one the character set lacks becomes '?' alone.
    for (size_t at = 0; at < utf8.size();) {
        const size_t length =
            std::min(SequenceLength(static_cast<unsigned char>(utf8[at])), utf8.size() - at);
        std::string one = utf8.substr(at, length);
        at += length;
        char buf[16];
        char* in = one.data();
        size_t inLeft = one.size();
        char* o = buf;
        size_t outLeft = sizeof buf;
        if (iconv(cd, &in, &inLeft, &o, &outLeft) == static_cast<size_t>(-1)) {
            out.push_back('?');
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        } else {
            out.append(buf, static_cast<size_t>(o - buf));
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace app::platform
