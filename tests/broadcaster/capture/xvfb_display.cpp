#include "capture/xvfb_display.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace capture::test {

bool XvfbDisplay::Start(const std::string& screen, int number) {
    Stop();
    // Only the write end goes to Xvfb; the read end stays ours.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0 || fcntl(fds[1], F_SETFD, 0) != 0)
        return false;
    // Xvfb writes its display number and a newline to the inherited pipe once it accepts
    // connections, choosing a free number itself when none is given.
    std::vector<std::string> argv{"Xvfb",      "-displayfd", std::to_string(fds[1]),
                                  "-screen",   "0",          screen,
                                  "-nolisten", "tcp",        "-noreset"};
    if (number >= 0)
        argv.insert(argv.begin() + 1, ":" + std::to_string(number));
    const bool started = server_.Start(argv, "/dev/null");
    close(fds[1]);
    // Ready once the newline came.
    std::string text;
    pollfd ready{fds[0], POLLIN, 0};
    char c = 0;
    while (started && text.size() < 8 && poll(&ready, 1, 15000) > 0 && read(fds[0], &c, 1) == 1 &&
           c != '\n')
        text += c;
    close(fds[0]);
    if (c != '\n' || std::sscanf(text.c_str(), "%d", &number_) != 1) {
        Stop();
        return false;
    }
    return true;
}

}  // namespace capture::test
