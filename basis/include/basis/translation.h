// The texts a program shows, in the user's language. Each text is written in the program's own
// language (Chinese) and looked up by a context and that source text in a table made from the
// translator's Qt Linguist file; a text without a translation shows as written.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace basis {

struct Translation {
    const char* context;
    const char* source;
    const char* text;
};

// Chooses the table of the user's language (sorted by context, then source, bytewise); an empty
// one shows the source texts. Set at start-up, before other threads show texts. False, and
// nothing changes, when the table is out of order.
bool UseTranslations(std::span<const Translation> table);

// The text for `source` in the chosen language, or `source` itself. Both strings must outlive
// the program (literals): the result is one of them or the table's.
const char* Translate(const char* context, const char* source);

// `text` with %1 ... %9 replaced by the arguments in one pass, as Qt's arg() does: an argument's
// own "%1" stays as it is. A number with no argument stays as written.
std::string Substitute(std::string_view text, std::initializer_list<std::string_view> arguments);

}  // namespace basis
