// Child processes for tests, started from an argument vector (never a command line a shell
// splits). On Linux they are spawned directly; a Windows test program under Wine starts the test
// peers (nginx, ffmpeg, ffprobe) as the Linux programs they are (platform/child_process_*.cpp).
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace rtmp::test {

// Signals for ChildProcess::Stop, by their POSIX numbers on every system: the children of a
// Windows test program are Linux programs too (a Windows one is ended by either).
inline constexpr int kTerminateSignal = 15;  // SIGTERM
inline constexpr int kKillSignal = 9;        // SIGKILL

struct ProcessResult {
    bool started = false;   // false: the program could not be spawned (see err)
    bool timedOut = false;  // killed because it ran past the time limit
    int exitCode = -1;      // exit status, or 128 + signal number when a signal ended it
    std::string out, err;
    bool Succeeded() const { return started && !timedOut && exitCode == 0; }
};

// Runs argv (argv[0] searched in PATH, stdin /dev/null) for at most `limit`; status and output.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds limit = std::chrono::seconds(60));
// RunProcess of the words of `command`, each "{}" replaced by the ToolPath of the next of
// `files`.
ProcessResult RunTool(const std::string& command, const std::vector<std::filesystem::path>& files,
                      std::chrono::milliseconds limit = std::chrono::seconds(120));

// A background child whose stdout and stderr go to one log file. The destructor ends it.
class ChildProcess {
  public:
    ChildProcess();
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts it, stdout and stderr appended to `logFile` (stderr to `errFile` if given); false
    // when it could not be spawned or one is already running.
    bool Start(const std::vector<std::string>& argv, const std::filesystem::path& logFile,
               const std::filesystem::path& errFile = {});
    bool Running() { return !Reap(false); }
    int64_t Pid() const { return pid_; }
    // Waits up to `limit` for it to end: its exit status, or nullopt while it runs.
    std::optional<int> Wait(std::chrono::milliseconds limit);
    // Sends `signal`, waits up to `grace`, then kills it. Returns the exit status (-1 if none ran).
    int Stop(int signal, std::chrono::milliseconds grace = std::chrono::seconds(5));

  private:
    struct SystemHandle;  // what the system gave for the running child (platform file)

    // Whether no child runs (any that ended is reaped and its status kept); waits if `block`.
    bool Reap(bool block);
    void Signal(int signal);

    std::unique_ptr<SystemHandle> system_;
    int64_t pid_ = -1;
    int exitCode_ = -1;
};

// Polls `done` every 10 ms until it holds or `limit` passed; whether it holds.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

// Text of a file, empty when it cannot be read.
std::string ReadTextFile(const std::filesystem::path& path);

// A fresh temp directory, removed by the destructor unless TUTORLANE_KEEP_TEMP is set.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "tutorlane");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// The name of a file of the test program for the programs it starts, which are Linux programs
// also when the test program is a Windows one under Wine: the Unix name of the file then.
std::string ToolPath(const std::filesystem::path& path);
// The test program's name of a file the programs it starts name `toolPath`.
std::filesystem::path FromToolPath(const std::string& toolPath);
// Whether the programs the tests start run as root (nginx then wants "user root;").
bool ToolsRunAsRoot();
// The test program's own executable file.
std::filesystem::path OwnProgram();

}  // namespace rtmp::test
