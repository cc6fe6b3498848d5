#include <windows.h>

#include <mutex>

#include "capture/platform/screen_dpi_win.h"
#include "capture/screen_size.h"

namespace capture {
namespace {

using SetContextCall = BOOL(WINAPI*)(HANDLE);

}  // namespace

void BecomeDpiAware() {
    static std::once_flag done;
    std::call_once(done, [] {
        // Per monitor (version 2) came with Windows 10 1703: looked up, so that the program still
        // starts on older systems, which get the system-wide awareness.
        const HMODULE user = GetModuleHandleW(L"user32.dll");
        const auto setContext = user == nullptr
                                    ? nullptr
                                    : reinterpret_cast<SetContextCall>(reinterpret_cast<void (*)()>(
                                          GetProcAddress(user, "SetProcessDpiAwarenessContext")));
        // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
        if (setContext != nullptr && setContext(reinterpret_cast<HANDLE>(-4)) != 0)
            return;
        SetProcessDPIAware();
    });
}

std::pair<int, int> PrimaryScreenSize() {
    BecomeDpiAware();
    return {GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

}  // namespace capture
