// Child processes for tests, started with posix_spawnp and an argument vector (never a shell).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace rtmp::test {

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
// RunProcess of the words of `command`, each "{}" replaced by the next of `files`.
ProcessResult RunTool(const std::string& command, const std::vector<std::filesystem::path>& files,
                      std::chrono::milliseconds limit = std::chrono::seconds(120));

// A background child whose stdout and stderr go to one log file. The destructor ends it.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(SIGTERM); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts it, stdout and stderr appended to `logFile` (stderr to `errFile` if given); false
    // when it could not be spawned or one is already running.
    bool Start(const std::vector<std::string>& argv, const std::filesystem::path& logFile,
               const std::filesystem::path& errFile = {});
    bool Running() { return !Reap(false); }
    pid_t Pid() const { return pid_; }
    // Waits up to `limit` for it to end: its exit status, or nullopt while it runs.
    std::optional<int> Wait(std::chrono::milliseconds limit);
    // Sends `signal`, waits up to `grace`, then kills it. Returns the exit status (-1 if none ran).
    int Stop(int signal, std::chrono::milliseconds grace = std::chrono::seconds(5));

  private:
    bool Reap(bool block);

    pid_t pid_ = -1;
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

}  // namespace rtmp::test
