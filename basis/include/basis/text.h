// Small text helpers shared by the settings file and the capture options.
#ifndef BASIS_TEXT_H
#define BASIS_TEXT_H

#include <cctype>
#include <cstddef>
#include <string_view>

namespace basis {

// Whether a and b hold the same text when ASCII letters are compared without case.
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The text without the white space at either end.
inline std::string_view TrimSpace(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

}  // namespace basis

#endif  // BASIS_TEXT_H
