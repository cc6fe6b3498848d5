// The headless Wayland desktop of wayland_desktop.sh (1280 x 720, background #2080c0) as a
// fixture for a test suite: started in a temp folder before the suite's first test, ready when
// the script says so, and ended (with everything it started) after its last.
#ifndef TESTS_BROADCASTER_WAYLAND_WAYLAND_DESKTOP_H
#define TESTS_BROADCASTER_WAYLAND_WAYLAND_DESKTOP_H

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "support/child_process.h"

namespace capture::test {

using namespace std::chrono_literals;
using rtmp::test::ReadTextFile;
using rtmp::test::RunProcess;
using rtmp::test::WaitUntil;

class WaylandDesktopTest : public testing::Test {
  protected:
    // Starts the desktop and points this process at it (its session bus, runtime folder and
    // Wayland display; no X display), so that what the test starts is a client of it.
    static void SetUpTestSuite() {
        dir_ = std::make_unique<rtmp::test::TempDir>("wayland-desktop");
        script_ = std::make_unique<rtmp::test::ChildProcess>();
        ASSERT_TRUE(script_->Start(
            {"bash", TUTORLANE_WAYLAND_DESKTOP, Dir().string(), "1280x720", "#2080c0"},
            Dir() / "desktop.log"));
        // The first start on a machine may also build the portal backend (seconds).
        const auto ready = Dir() / "ready";
        ASSERT_TRUE(
            WaitUntil([&] { return std::filesystem::exists(ready) || !script_->Running(); }, 300s));
        ASSERT_TRUE(std::filesystem::exists(ready)) << "the desktop did not come up:\n"
                                                    << ReadTextFile(Dir() / "desktop.log");
        std::istringstream env(ReadTextFile(Dir() / "env"));
        for (std::string line; std::getline(env, line);) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos)
                setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
        }
        unsetenv("DISPLAY");
    }
    static void TearDownTestSuite() {
        script_->Stop(SIGTERM, 20s);
        dir_.reset();
    }
    static const std::filesystem::path& Dir() { return dir_->Path(); }

  private:
    static inline std::unique_ptr<rtmp::test::TempDir> dir_;
    static inline std::unique_ptr<rtmp::test::ChildProcess> script_;
};

}  // namespace capture::test

#endif  // TESTS_BROADCASTER_WAYLAND_WAYLAND_DESKTOP_H
