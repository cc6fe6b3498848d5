#include "capture/xvfb_display.h"

#include <X11/Xlib.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace capture::test {

XvfbDisplay::~XvfbDisplay() {
    Stop();
}

int XvfbDisplay::FreeNumber() {
    const int first = static_cast<int>(::getpid() % 500);
    for (int i = 0; i < 1000; ++i) {
        const std::string n = std::to_string(60 + (first + i) % 1000);
        std::error_code ignored;
        if (!std::filesystem::exists("/tmp/.X11-unix/X" + n, ignored) &&
            !std::filesystem::exists("/tmp/.X" + n + "-lock", ignored))
            return 60 + (first + i) % 1000;
    }
    return -1;
}

bool XvfbDisplay::Start(const std::string& screen, int number) {
    if (number >= 0)
        return StartOn(screen, number);
    // Another process may take the number between the check and the start: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int candidate = FreeNumber();
        if (candidate >= 0 && StartOn(screen, candidate))
            return true;
    }
    return false;
}

bool XvfbDisplay::StartOn(const std::string& screen, int number) {
    Stop();
    number_ = number;
    if (!server_.Start({"Xvfb", Name(), "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
                       "/dev/null"))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    // Ready once it accepts connections; ended on its own: the number was taken or it failed.
    while (server_.Running() && std::chrono::steady_clock::now() < deadline) {
        if (Display* probe = XOpenDisplay(Name().c_str())) {
            XCloseDisplay(probe);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    return false;
}

void XvfbDisplay::Stop() {
    server_.Stop(SIGTERM);
}

}  // namespace capture::test
