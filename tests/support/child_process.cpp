#include "support/child_process.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace rtmp::test {

ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    // Output to files, not pipes: nothing to drain, and a grandchild holding them does not matter.
    const TempDir dir("run_process");
    ChildProcess child;
    if (!child.Start(argv, dir / "out", dir / "err"))
        return {false, false, -1, "", "cannot start " + (argv.empty() ? "nothing" : argv[0])};
    const std::optional<int> code = child.Wait(limit);
    const int exitCode = code ? *code : child.Stop(kKillSignal);
    return {true, !code, exitCode, ReadTextFile(dir / "out"), ReadTextFile(dir / "err")};
}

ProcessResult RunTool(const std::string& command, const std::vector<std::filesystem::path>& files,
                      std::chrono::milliseconds limit) {
    std::vector<std::string> argv;
    std::istringstream words(command);
    auto file = files.begin();
    for (std::string w; words >> w;)
        argv.push_back(w == "{}" && file != files.end() ? ToolPath(*file++) : w);
    return RunProcess(argv, limit);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
    return WaitUntil([&] { return Reap(false); }, limit) ? std::optional(exitCode_) : std::nullopt;
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds grace) {
    if (Reap(false))
        return exitCode_;
    Signal(signal);
    if (!Wait(grace)) {
        Signal(kKillSignal);
        Reap(true);
    }
    return exitCode_;
}

std::string ReadTextFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TempDir::~TempDir() {
    std::error_code ec;
    if (std::getenv("TUTORLANE_KEEP_TEMP") == nullptr)
        std::filesystem::remove_all(path_, ec);
}

}  // namespace rtmp::test
