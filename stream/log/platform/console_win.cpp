#include <windows.h>

#include <cstdio>

#include "log/platform/console.h"

namespace rtmp::log {

void ShowConsoleColor(int attribute) noexcept {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // Only a console has colours (not a pipe or a file).
    if (out == nullptr || out == INVALID_HANDLE_VALUE || GetConsoleMode(out, &mode) == 0)
        return;
    // What was written in the old colour goes out first.
    std::fflush(stdout);
    const WORD colour = attribute == 3 || attribute == 4
                            ? static_cast<WORD>(attribute)
                            : FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
    SetConsoleTextAttribute(out, colour);
}

}  // namespace rtmp::log
