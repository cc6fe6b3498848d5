// Helper programs the application starts.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace app::platform {

// Runs argv (found on PATH) with its input and output on /dev/null and waits for it; a helper
// still running after limit is killed. True when it exited with status 0.
bool RunQuietly(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

}  // namespace app::platform
