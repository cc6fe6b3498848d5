#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace rtmp::test {
namespace {

using Clock = std::chrono::steady_clock;

int StatusToCode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

std::vector<char*> ArgPointers(const std::vector<std::string>& argv) {
    std::vector<char*> ptrs;
    ptrs.reserve(argv.size() + 1);
    for (const std::string& a : argv)
        ptrs.push_back(const_cast<char*>(a.c_str()));
    ptrs.push_back(nullptr);
    return ptrs;
}

// The read and write ends of two pipes, closed on scope exit.
struct Pipes {
    std::array<int, 4> fd{-1, -1, -1, -1};  // out read, out write, err read, err write
    ~Pipes() {
        for (int f : fd)
            if (f >= 0)
                ::close(f);
    }
    void Close(int i) {
        ::close(fd[static_cast<size_t>(i)]);
        fd[static_cast<size_t>(i)] = -1;
    }
};

// posix_spawn file actions and attributes released on scope exit.
class SpawnSetup {
  public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        // The child gets default signal handling whatever the test runner changed.
        sigset_t all;
        sigemptyset(&all);
        posix_spawnattr_setsigmask(&attr, &all);
        sigset_t def;
        sigemptyset(&def);
        sigaddset(&def, SIGINT);
        sigaddset(&def, SIGTERM);
        sigaddset(&def, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &def);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
};

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    ProcessResult result;
    if (argv.empty()) {
        result.err = "empty command";
        return result;
    }
    Pipes p;
    if (::pipe2(&p.fd[0], O_CLOEXEC) != 0 || ::pipe2(&p.fd[2], O_CLOEXEC) != 0) {
        result.err = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, p.fd[1], 1);
    posix_spawn_file_actions_adddup2(&setup.actions, p.fd[3], 2);
    std::vector<char*> args = ArgPointers(argv);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
    p.Close(1);
    p.Close(3);
    if (rc != 0) {
        result.err = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return result;
    }
    result.started = true;

    const Clock::time_point deadline = Clock::now() + limit;
    std::array<pollfd, 2> fds{pollfd{p.fd[0], POLLIN, 0}, pollfd{p.fd[2], POLLIN, 0}};
    std::array<std::string*, 2> sinks{&result.out, &result.err};
    int open = 2;
    std::array<char, 4096> chunk{};
    while (open > 0) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        int n = ::poll(fds.data(), fds.size(), static_cast<int>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::kill(pid, SIGKILL);
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t got = ::read(fds[i].fd, chunk.data(), chunk.size());
            if (got > 0) {
                sinks[i]->append(chunk.data(), static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;  // end of output
                --open;
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = StatusToCode(status);
    return result;
}

ChildProcess::~ChildProcess() {
    Stop(SIGTERM);
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::filesystem::path& logFile) {
    if (argv.empty() || Running())
        return false;
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 1, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&setup.actions, 1, 2);
    std::vector<char*> args = ArgPointers(argv);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ) != 0)
        return false;
    pid_ = pid;
    exitCode_ = -1;
    return true;
}

bool ChildProcess::Reap(bool block) {
    if (pid_ < 0)
        return true;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        exitCode_ = StatusToCode(status);
        pid_ = -1;
        return true;
    }
    if (r < 0) {  // not our child any more
        pid_ = -1;
        return true;
    }
    return false;
}

bool ChildProcess::Running() {
    return !Reap(false);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (!WaitUntil([&] { return Reap(false); }, limit))
        return std::nullopt;
    return exitCode_;
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds grace) {
    if (pid_ < 0)
        return exitCode_;
    if (Reap(false))
        return exitCode_;
    ::kill(pid_, signal);
    if (Wait(grace))
        return exitCode_;
    ::kill(pid_, SIGKILL);
    Reap(true);
    return exitCode_;
}

std::string ReadTextFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buf.data();
}

TempDir::~TempDir() {
    if (std::getenv("TUTORLANE_KEEP_TEMP") != nullptr)
        return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace rtmp::test
