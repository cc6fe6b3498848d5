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

}  // namespace basis

#endif  // BASIS_TEXT_H
