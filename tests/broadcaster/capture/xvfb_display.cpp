#include "capture/xvfb_display.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

extern char** environ;

namespace capture::test {
namespace {

using Clock = std::chrono::steady_clock;

bool NumberInUse(int number) {
    const std::string n = std::to_string(number);
    std::error_code ignored;
    return std::filesystem::exists("/tmp/.X11-unix/X" + n, ignored) ||
           std::filesystem::exists("/tmp/.X" + n + "-lock", ignored);
}

}  // namespace

XvfbDisplay::~XvfbDisplay() {
    Stop();
}

int XvfbDisplay::FreeNumber() {
    const int first = 60 + static_cast<int>(::getpid() % 500);
    for (int i = 0; i < 1000; ++i) {
        const int number = 60 + (first - 60 + i) % 1000;
        if (!NumberInUse(number)) {
            return number;
        }
    }
    return -1;
}

bool XvfbDisplay::Start(const std::string& screen, int number) {
    if (number >= 0) {
        return StartOn(screen, number);
    }
    // Another process may take the number between the check and the start: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int candidate = FreeNumber();
        if (candidate >= 0 && StartOn(screen, candidate)) {
            return true;
        }
    }
    return false;
}

bool XvfbDisplay::StartOn(const std::string& screen, int number) {
    Stop();
    std::vector<std::string> args = {
        "Xvfb",    ":" + std::to_string(number), "-screen", "0", screen, "-nolisten", "tcp",
        "-noreset"};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return false;
    }
    pid_ = pid;
    number_ = number;

    const std::string name = Name();
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // ended on its own: the number was taken or the server failed
            return false;
        }
        if (Display* probe = XOpenDisplay(name.c_str())) {
            XCloseDisplay(probe);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    return false;
}

void XvfbDisplay::Stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

}  // namespace capture::test
