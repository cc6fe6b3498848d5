#include "basis/translation.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace basis {
namespace {

// Texts are shown a few times a second at most: a lock costs nothing that matters.
std::mutex tableLock;
std::span<const Translation> chosen;

bool Before(const Translation& a, const char* context, const char* source) {
    const int byContext = std::strcmp(a.context, context);
    return byContext < 0 || (byContext == 0 && std::strcmp(a.source, source) < 0);
}

}  // namespace

bool UseTranslations(std::span<const Translation> table) {
    for (std::size_t i = 1; i < table.size(); ++i) {
        if (!Before(table[i - 1], table[i].context, table[i].source))
            return false;
    }
    const std::lock_guard lock(tableLock);
    chosen = table;
    return true;
}

const char* Translate(const char* context, const char* source) {
    const std::lock_guard lock(tableLock);
    const auto found = std::lower_bound(
        chosen.begin(), chosen.end(), 0,
        [&](const Translation& entry, int) { return Before(entry, context, source); });
    if (found == chosen.end() || std::strcmp(found->context, context) != 0 ||
        std::strcmp(found->source, source) != 0)
        return source;
    return found->text;
}

std::string Substitute(std::string_view text, std::initializer_list<std::string_view> arguments) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool marker =
            text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9';
        const std::size_t index = marker ? static_cast<std::size_t>(text[i + 1] - '1') : 0;
        if (marker && index < arguments.size()) {
            out += *(arguments.begin() + index);
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace basis
