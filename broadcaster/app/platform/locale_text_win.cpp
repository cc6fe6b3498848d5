#include "app/platform/locale_text.h"

namespace app::platform {

std::string ToProgramCharset(const std::string& utf8) {
    return utf8;
}

}  // namespace app::platform
