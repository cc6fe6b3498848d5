#include "capture/xvfb_display.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace capture::test {

bool XvfbDisplay::Start(const std::string& screen, int number) {
    Stop();
    // Xvfb writes its display number and a newline to its standard output once it accepts
    // connections, choosing a free number itself when none is given.
    std::vector<std::string> argv{"Xvfb", "-displayfd", "1",   "-screen", "0",
                                  screen, "-nolisten",  "tcp", "-noreset"};
    if (number >= 0)
        argv.insert(argv.begin() + 1, ":" + std::to_string(number));
    const std::filesystem::path out = dir_ / "display";
    std::filesystem::remove(out);  // a restart appends to what the last server wrote
    std::string text;
    const auto done = [&] {
        text = rtmp::test::ReadTextFile(out);
        return text.find('\n') != std::string::npos || !server_.Running();
    };
    if (server_.Start(argv, out, "/dev/null") &&
        rtmp::test::WaitUntil(done, std::chrono::seconds(15)) &&
        std::sscanf(text.c_str(), "%d\n", &number_) == 1)
        return true;
    Stop();
    return false;
}

}  // namespace capture::test
