// Addresses as a classroom page hands them over: shifted as config.ini stores them, and inside a
// launch URL.
#pragma once

#include <cctype>
#include <string>

#include "app/launch.h"

namespace app::test {

inline std::string Shifted(std::string plain) {
    ShiftAddress(plain);
    return plain;
}

// A launch URL whose payload stores `plain` (shifted) as the address: every byte but letters and
// digits percent-encoded, then a last '&' whose text is not stored.
inline std::string LaunchUrl(const std::string& plain) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string url = kLaunchPrefix;
    for (unsigned char c : Shifted(plain)) {
        if (std::isalnum(c) != 0)
            url.push_back(static_cast<char>(c));
        else
            url += {'%', kHex[c >> 4], kHex[c & 15]};
    }
    return url + "&1";
}

}  // namespace app::test
