// UTF-8 text of the libraries to and from the UTF-16 text of Windows' wide calls (paths,
// environment, thread names). Only Windows builds have it.
#pragma once

#include <string>
#include <string_view>

namespace basis {

// Invalid sequences become U+FFFD.
std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);

}  // namespace basis
