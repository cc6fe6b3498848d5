#include <unistd.h>

#include <cstdio>

#include "log/platform/console.h"

namespace rtmp::log {
namespace {

const char* AnsiFor(int attribute) {
    switch (attribute) {
        case 3:
            return "\033[36m";  // cyan
        case 4:
            return "\033[31m";  // red
        default:
            return "\033[0m";
    }
}

}  // namespace

void ShowConsoleColor(int attribute) noexcept {
    if (isatty(STDOUT_FILENO) == 0)
        return;
    std::fputs(AnsiFor(attribute), stdout);
    std::fflush(stdout);
}

}  // namespace rtmp::log
