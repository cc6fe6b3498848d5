#include "wayland/wayland_desktop.h"

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace capture::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

WaylandDesktop::~WaylandDesktop() {
    if (script_.Pid() > 0)
        script_.Stop(SIGTERM, 20s);
}

bool WaylandDesktop::Start(const std::string& size, const std::string& background) {
    if (!script_.Start({"bash", TUTORLANE_WAYLAND_DESKTOP, Dir().string(), size, background},
                       Dir() / "desktop.log")) {
        error_ = "cannot run " TUTORLANE_WAYLAND_DESKTOP;
        return false;
    }
    // The first start on a machine may also build the portal backend (seconds).
    const auto deadline = std::chrono::steady_clock::now() + 300s;
    while (!fs::exists(Dir() / "ready")) {
        if (!script_.Running() || std::chrono::steady_clock::now() > deadline) {
            error_ =
                "the desktop did not come up:\n" + rtmp::test::ReadTextFile(Dir() / "desktop.log");
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    std::istringstream env(rtmp::test::ReadTextFile(Dir() / "env"));
    for (std::string line; std::getline(env, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
    unsetenv("DISPLAY");
    return true;
}

}  // namespace capture::test
