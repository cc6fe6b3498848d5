#include <clocale>
#include <csignal>
#include <cstdio>

#include "app/platform/console.h"

namespace app::platform {
namespace {

void (*g_onStop)() = nullptr;

void OnSignal(int) {
    if (g_onStop != nullptr)
        g_onStop();
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void PrepareConsole() {
    std::setlocale(LC_ALL, "");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

void CallOnStopRequest(void (*onStop)()) {
    g_onStop = onStop;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}

}  // namespace app::platform
