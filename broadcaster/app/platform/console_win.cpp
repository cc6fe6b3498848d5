#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/platform/console.h"

namespace app::platform {
namespace {

std::atomic<void (*)()> g_onStop{nullptr};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            if (auto onStop = g_onStop.load())
                onStop();
            return TRUE;
        case CTRL_CLOSE_EVENT:
            // Windows ends the process when this handler returns (or after 5 s): the broadcast
            // gets the time to stop cleanly first.
            if (auto onStop = g_onStop.load())
                onStop();
            std::this_thread::sleep_for(std::chrono::seconds(4));
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void PrepareConsole() {
    // The program's texts are UTF-8; a console shows them as such only in code page 65001.
    SetConsoleOutputCP(CP_UTF8);
    // The C runtime has no line buffering: unbuffered, each line goes out as it is printed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void CallOnStopRequest(void (*onStop)()) {
    g_onStop = onStop;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace app::platform
