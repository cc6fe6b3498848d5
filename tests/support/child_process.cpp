#include "support/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace rtmp::test {

ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    // Output to files, not pipes: nothing to drain, and a grandchild holding them does not matter.
    const TempDir dir("run_process");
    ChildProcess child;
    if (!child.Start(argv, dir / "out", dir / "err"))
        return {false, false, -1, "", "cannot start " + (argv.empty() ? "nothing" : argv[0])};
    const std::optional<int> code = child.Wait(limit);
    const int exitCode = code ? *code : child.Stop(SIGKILL);
    return {true, !code, exitCode, ReadTextFile(dir / "out"), ReadTextFile(dir / "err")};
}

ProcessResult RunTool(const std::string& command, const std::vector<std::filesystem::path>& files,
                      std::chrono::milliseconds limit) {
    std::vector<std::string> argv;
    std::istringstream words(command);
    auto file = files.begin();
    for (std::string w; words >> w;)
        argv.push_back(w == "{}" && file != files.end() ? (file++)->string() : w);
    return RunProcess(argv, limit);
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
    const int spawned = posix_spawnp(&pid_, args[0], &files, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    exitCode_ = -1;
    pid_ = spawned == 0 ? pid_ : -1;
    return spawned == 0;
}

bool ChildProcess::Reap(bool block) {
    if (pid_ < 0)
        return true;
    int status = 0;
    pid_t r = 0;
    while ((r = ::waitpid(pid_, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
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

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
    return WaitUntil([&] { return Reap(false); }, limit) ? std::optional(exitCode_) : std::nullopt;
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds grace) {
    if (Reap(false))
        return exitCode_;
    ::kill(pid_, signal);
    if (!Wait(grace)) {
        ::kill(pid_, SIGKILL);
        Reap(true);
    }
    return exitCode_;
}

std::string ReadTextFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (std::getenv("TUTORLANE_KEEP_TEMP") == nullptr)
        std::filesystem::remove_all(path_, ec);
}

}  // namespace rtmp::test
