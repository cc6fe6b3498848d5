// Child processes on POSIX systems: posix_spawnp with an argument vector, waitpid and kill.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include "support/child_process.h"

extern char** environ;

namespace rtmp::test {

struct ChildProcess::SystemHandle {};

ChildProcess::ChildProcess() = default;

ChildProcess::~ChildProcess() {
    Stop(kTerminateSignal);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::filesystem::path& logFile,
                         const std::filesystem::path& errFile) {
    if (argv.empty() || Running())
        return false;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&files);
    posix_spawnattr_init(&attr);
    // Default signal handling and no blocked signal, whatever the test runner set.
    sigset_t none, reset;
    sigemptyset(&none);
    sigfillset(&reset);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &reset);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int append = O_WRONLY | O_CREAT | O_APPEND;
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, logFile.c_str(), append, 0644);
    posix_spawn_file_actions_addopen(&files, 2, (errFile.empty() ? logFile : errFile).c_str(),
                                     append, 0644);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &files, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    exitCode_ = -1;
    pid_ = spawned == 0 ? pid : -1;
    return spawned == 0;
}

bool ChildProcess::Reap(bool block) {
    if (pid_ < 0)
        return true;
    int status = 0;
    pid_t r = 0;
    while ((r = ::waitpid(static_cast<pid_t>(pid_), &status, block ? 0 : WNOHANG)) < 0 &&
           errno == EINTR) {
    }
    if (r == 0)
        return false;
    if (r == pid_)  // else it is not our child any more
        exitCode_ = WIFEXITED(status)     ? WEXITSTATUS(status)
                    : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                          : -1;
    pid_ = -1;
    return true;
}

void ChildProcess::Signal(int signal) {
    ::kill(static_cast<pid_t>(pid_), signal);
}

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
}

std::string ToolPath(const std::filesystem::path& path) {
    return path.string();
}

std::filesystem::path FromToolPath(const std::string& toolPath) {
    return toolPath;
}

bool ToolsRunAsRoot() {
    return ::geteuid() == 0;
}

std::filesystem::path OwnProgram() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

}  // namespace rtmp::test
