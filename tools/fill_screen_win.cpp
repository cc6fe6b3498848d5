// Covers the primary screen with one colour and puts the pointer at a given place, until it is
// ended; for the Windows end-to-end test, which then broadcasts that screen:
//   fill_screen.exe RRGGBB X Y
// Prints "ready" once the window is painted and the pointer is in place.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

COLORREF g_colour = RGB(0, 0, 0);

LRESULT CALLBACK OnMessage(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            HBRUSH brush = CreateSolidBrush(g_colour);
            FillRect(dc, &paint.rcPaint, brush);
            DeleteObject(brush);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, w, l);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::string(argv[1]).size() != 6) {
        std::fprintf(stderr, "usage: fill_screen RRGGBB X Y\n");
        return 2;
    }
    const unsigned long rgb = std::strtoul(argv[1], nullptr, 16);
    g_colour = RGB((rgb >> 16) & 255, (rgb >> 8) & 255, rgb & 255);
    SetProcessDPIAware();
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = OnMessage;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"TutorlaneFillScreen";
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    if (RegisterClassW(&windowClass) == 0)
        return 1;
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    HWND window = CreateWindowExW(WS_EX_TOPMOST, windowClass.lpszClassName, L"fill", WS_POPUP, 0, 0,
                                  width, height, nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return 1;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    SetCursorPos(std::atoi(argv[2]), std::atoi(argv[3]));
    std::printf("ready %dx%d\n", width, height);
    std::fflush(stdout);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
