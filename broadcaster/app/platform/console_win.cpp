#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/platform/console.h"
#include "basis/platform/wide_text.h"

namespace app::platform {
namespace {

std::atomic<void (*)()> g_onStop{nullptr};
UINT g_previousCodePage = 0;

void RestoreCodePage() {
    if (g_previousCodePage != 0)
        SetConsoleOutputCP(g_previousCodePage);
}

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

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i)
        args.push_back(basis::Utf8FromWide(wide[i]));
    LocalFree(wide);
    return args;
}

void PrepareConsole() {
    // The program's texts are UTF-8; a console shows them as such only in code page 65001. The
    // console window may outlive the program (cmd.exe): it gets its code page back.
    g_previousCodePage = GetConsoleOutputCP();
    if (g_previousCodePage != 0 && SetConsoleOutputCP(CP_UTF8) != 0)
        std::atexit(RestoreCodePage);
    // The C runtime has no line buffering: unbuffered, each line goes out as it is printed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void CallOnStopRequest(void (*onStop)()) {
    g_onStop = onStop;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace app::platform
