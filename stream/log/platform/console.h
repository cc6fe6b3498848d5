// The colour of the log's lines on standard output, when that is a terminal or console.
#pragma once

namespace rtmp::log {

// attribute is a console text attribute: 3 cyan, 4 red, anything else the default colour.
void ShowConsoleColor(int attribute) noexcept;

}  // namespace rtmp::log
