// Helper programs the application starts.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace app::platform {

// Runs argv (found on PATH) with its input and output on /dev/null and waits for it; a helper
// still running after limit is killed. True when it exited with status 0.
bool RunQuietly(const std::vector<std::string>& argv, std::chrono::milliseconds limit);
// Runs argv (found on PATH) with its input and errors on /dev/null and returns what it wrote to
// its output (at most kMaxHelperOutput bytes are kept); none when it could not run, did not exit
// with status 0 or ran past limit (then it is killed).
constexpr size_t kMaxHelperOutput = 64 * 1024;
std::optional<std::string> RunForOutput(const std::vector<std::string>& argv,
                                        std::chrono::milliseconds limit);
// Shows a folder in the desktop's file manager (xdg-open), without waiting for it.
bool OpenInFileManager(const std::string& folder);

}  // namespace app::platform
