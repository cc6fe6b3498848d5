// The headless Wayland desktop of wayland_desktop.sh as a test fixture: started in a temp
// folder, ready when the script says so, ended (with everything it started) by the destructor.
#ifndef TESTS_BROADCASTER_WAYLAND_WAYLAND_DESKTOP_H
#define TESTS_BROADCASTER_WAYLAND_WAYLAND_DESKTOP_H

#include <filesystem>
#include <string>

#include "support/child_process.h"

namespace capture::test {

class WaylandDesktop {
  public:
    WaylandDesktop() = default;
    ~WaylandDesktop();
    WaylandDesktop(const WaylandDesktop&) = delete;
    WaylandDesktop& operator=(const WaylandDesktop&) = delete;

    // Starts the desktop (size like "1280x720", background "#rrggbb") and points this process
    // at it (its session bus, runtime folder and Wayland display; no X display), so that what
    // the test starts is a client of it. False, with Error() set, when it did not come up.
    bool Start(const std::string& size, const std::string& background);
    const std::filesystem::path& Dir() const { return dir_.Path(); }
    const std::string& Error() const { return error_; }

  private:
    rtmp::test::TempDir dir_{"wayland-desktop"};
    rtmp::test::ChildProcess script_;
    std::string error_;
};

}  // namespace capture::test

#endif  // TESTS_BROADCASTER_WAYLAND_WAYLAND_DESKTOP_H
