#include "basis/annexb.h"

namespace basis {

std::size_t FindStartCode(std::span<const uint8_t> s, std::size_t from) {
    for (std::size_t i = from; i + 2 < s.size(); ++i) {
        if (s[i + 2] > 1) {
            i += 2;  // none of the three bytes ending here can start a start code
            continue;
        }
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1)
            return i;
    }
    return s.size();
}

std::size_t FindLongStartCode(std::span<const uint8_t> s, std::size_t from) {
    // A long code at i is a short one at i + 1 behind a zero byte.
    for (std::size_t i = FindStartCode(s, from + 1); i < s.size(); i = FindStartCode(s, i + 1)) {
        if (s[i - 1] == 0)
            return i - 1;
    }
    return s.size();
}

std::size_t StartCodeLength(std::span<const uint8_t> s) {
    if (s.size() >= 4 && s[0] == 0 && s[1] == 0 && s[2] == 0 && s[3] == 1)
        return 4;
    if (s.size() >= 3 && s[0] == 0 && s[1] == 0 && s[2] == 1)
        return 3;
    return 0;
}

}  // namespace basis
