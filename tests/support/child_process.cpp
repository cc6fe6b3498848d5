#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace rtmp::test {
namespace {

int StatusToCode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

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
        for (const int signal : {SIGINT, SIGTERM, SIGPIPE})
            sigaddset(&def, signal);
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
    // Output goes to files rather than pipes: nothing to drain while waiting, and a grandchild
    // that keeps the output open does not hold the wait up.
    const TempDir dir("run_process");
    ChildProcess child;
    if (!child.Start(argv, dir / "out", dir / "err")) {
        result.err = "cannot start " + (argv.empty() ? std::string("an empty command") : argv[0]);
        return result;
    }
    result.started = true;
    const std::optional<int> code = child.Wait(limit);
    result.timedOut = !code.has_value();
    result.exitCode = code ? *code : child.Stop(SIGKILL);
    result.out = ReadTextFile(dir / "out");
    result.err = ReadTextFile(dir / "err");
    return result;
}

ChildProcess::~ChildProcess() {
    Stop(SIGTERM);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::filesystem::path& logFile,
                         const std::filesystem::path& errFile) {
    if (argv.empty() || Running())
        return false;
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 1, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (errFile.empty())
        posix_spawn_file_actions_adddup2(&setup.actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&setup.actions, 2, errFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
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
