#include "app/platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>

extern char** environ;

namespace app::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Starts argv with input and errors on /dev/null and its output on outFd (/dev/null when -1).
pid_t Spawn(const std::vector<std::string>& argv, int outFd) {
    if (argv.empty())
        return -1;
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits for pid until deadline, then kills it; true when it exited with status 0.
bool Reap(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            return false;
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool RunQuietly(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    const pid_t pid = Spawn(argv, -1);
    return pid > 0 && Reap(pid, Clock::now() + limit);
}

std::optional<std::string> RunForOutput(const std::vector<std::string>& argv,
                                        std::chrono::milliseconds limit) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::nullopt;
    const pid_t pid = Spawn(argv, pipeFds[1]);
    close(pipeFds[1]);
    if (pid <= 0) {
        close(pipeFds[0]);
        return std::nullopt;
    }
    const auto deadline = Clock::now() + limit;
    std::string out;
    char block[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{pipeFds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        const ssize_t n = read(pipeFds[0], block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const size_t room = kMaxHelperOutput - out.size();
        out.append(block, std::min(static_cast<size_t>(n), room));
    }
    close(pipeFds[0]);
    if (!Reap(pid, deadline))
        return std::nullopt;
    return out;
}

bool OpenInFileManager(const std::string& folder) {
    // The shell ends at once and leaves xdg-open (and the file manager it may wait for) running
    // on its own.
    return RunQuietly({"sh", "-c", "xdg-open \"$0\" &", folder}, std::chrono::seconds(5));
}

}  // namespace app::platform
