// Child processes of a Windows test program. Its test peers (nginx, ffmpeg, ffprobe) are Linux
// programs: Wine starts a Linux executable given to CreateProcess, but hands back no process
// handle, so they are started through a small runner (/bin/sh with a fixed script; the
// program's arguments are passed on as arguments, never parsed as shell text) that writes the
// program's pid and, once it ended, its exit status into files. Signals reach them through the
// runner's `kill`. A Windows program (a path ending in .exe) is a plain CreateProcess child.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <stdexcept>

#include "basis/platform/wide_text.h"
#include "support/child_process.h"

namespace rtmp::test {
namespace {

// The runner: $1 the folder of its files, $2 and $3 the program's output and error files, the
// program and its arguments after them. "failed" when there is no such program; "pid" once it
// runs; "status" once it ended (128 + the signal's number when a signal ended it).
constexpr const char* kRunnerScript =
    "d=$1 out=$2 err=$3; shift 3; "
    "if ! command -v \"$1\" >/dev/null 2>&1; then : >\"$d/failed\"; exit 127; fi; "
    "\"$@\" </dev/null >>\"$out\" 2>>\"$err\" & "
    "echo $! >\"$d/pid.new\" && mv \"$d/pid.new\" \"$d/pid\"; "
    "wait $!; echo $? >\"$d/status.new\" && mv \"$d/status.new\" \"$d/status\"";

// How long a Linux program may take to be running.
constexpr auto kStartLimit = std::chrono::seconds(20);

// One argument of a command line, as CommandLineToArgvW and the C runtime (and Wine for a
// Linux program) split it again.
std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');  // before the closing quote
    return out + L"\"";
}

std::wstring CommandLine(const std::vector<std::string>& argv) {
    std::wstring line;
    for (const std::string& arg : argv)
        line += (line.empty() ? L"" : L" ") + Quoted(basis::WideFromUtf8(arg));
    return line;
}

bool IsWindowsProgram(const std::string& program) {
    std::string end = program.substr(program.size() - std::min<size_t>(program.size(), 4));
    std::transform(end.begin(), end.end(), end.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return end == ".exe";
}

class Handle {
  public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

// A handle the child inherits, for appending to `path`, or reading the null device.
HANDLE InheritedFile(const std::filesystem::path& path, bool append) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       append ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool StartProcess(std::wstring commandLine, HANDLE in, HANDLE out, HANDLE err,
                  PROCESS_INFORMATION* started) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, started) != 0;
}

// Wine's own calls between Windows and Unix file names (absent on Windows itself).
template <typename Function>
Function WineCall(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

}  // namespace

struct ChildProcess::SystemHandle {
    HANDLE process = nullptr;         // a Windows program
    std::unique_ptr<TempDir> runner;  // a Linux program: the folder of its runner's files
    ~SystemHandle() {
        if (process != nullptr)
            CloseHandle(process);
    }
};

ChildProcess::ChildProcess() = default;

ChildProcess::~ChildProcess() {
    Stop(kTerminateSignal);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::filesystem::path& logFile,
                         const std::filesystem::path& errFile) {
    if (argv.empty() || Running())
        return false;
    exitCode_ = -1;
    system_.reset();
    const std::filesystem::path& errorFile = errFile.empty() ? logFile : errFile;
    if (IsWindowsProgram(argv[0])) {
        const Handle in(InheritedFile(L"NUL", false)), out(InheritedFile(logFile, true)),
            err(InheritedFile(errorFile, true));
        PROCESS_INFORMATION started{};
        if (!in.Valid() || !out.Valid() || !err.Valid() ||
            !StartProcess(CommandLine(argv), in.Get(), out.Get(), err.Get(), &started))
            return false;
        CloseHandle(started.hThread);
        system_ = std::make_unique<SystemHandle>();
        system_->process = started.hProcess;
        pid_ = started.dwProcessId;
        return true;
    }
    auto runner = std::make_unique<TempDir>("child");
    // The output files exist before the program runs, as on Linux.
    for (const auto* file : {&logFile, &errorFile})
        std::ofstream(*file, std::ios::app);
    std::vector<std::string> runnerArgv = {
        "/bin/sh",          "-c", kRunnerScript, "sh", ToolPath(runner->Path()), ToolPath(logFile),
        ToolPath(errorFile)};
    runnerArgv.insert(runnerArgv.end(), argv.begin(), argv.end());
    const Handle in(InheritedFile(L"NUL", false));
    PROCESS_INFORMATION started{};
    if (!StartProcess(CommandLine(runnerArgv), in.Get(), nullptr, nullptr, &started))
        return false;
    // Wine gives a Linux program no handles; should one come, it is not needed.
    for (HANDLE h : {started.hProcess, started.hThread})
        if (h != nullptr)
            CloseHandle(h);
    const std::filesystem::path pidFile = runner->Path() / "pid";
    const std::filesystem::path failedFile = runner->Path() / "failed";
    if (!WaitUntil([&] { return exists(pidFile) || exists(failedFile); }, kStartLimit) ||
        !exists(pidFile))
        return false;
    pid_ = std::strtoll(ReadTextFile(pidFile).c_str(), nullptr, 10);
    system_ = std::make_unique<SystemHandle>();
    system_->runner = std::move(runner);
    return pid_ > 0;
}

bool ChildProcess::Reap(bool block) {
    if (!system_)
        return true;
    if (system_->process != nullptr) {
        if (WaitForSingleObject(system_->process, block ? INFINITE : 0) != WAIT_OBJECT_0)
            return false;
        DWORD code = 0;
        exitCode_ = GetExitCodeProcess(system_->process, &code) != 0 ? static_cast<int>(code) : -1;
    } else {
        const std::filesystem::path status = system_->runner->Path() / "status";
        while (!exists(status)) {
            if (!block)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::string text = ReadTextFile(status);
        exitCode_ = text.empty() ? -1 : std::atoi(text.c_str());
    }
    system_.reset();
    pid_ = -1;
    return true;
}

void ChildProcess::Signal(int signal) {
    if (system_->process != nullptr)
        TerminateProcess(system_->process, static_cast<UINT>(128 + signal));
    else
        RunProcess({"kill", "-" + std::to_string(signal), std::to_string(pid_)});
}

TempDir::TempDir(const std::string& prefix) {
    static std::mt19937_64 random(std::random_device{}() ^ GetCurrentProcessId());
    static std::mutex mutex;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        std::lock_guard<std::mutex> lock(mutex);
        const std::filesystem::path candidate =
            std::filesystem::temp_directory_path() /
            (prefix + "_" + std::to_string(random() % 1000000000));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec))
            path_ = candidate;
    }
    if (path_.empty())
        throw std::runtime_error("no temp directory for " + prefix);
}

std::string ToolPath(const std::filesystem::path& path) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    static const auto unixName = WineCall<UnixName>("wine_get_unix_file_name");
    char* name = unixName != nullptr ? unixName(std::filesystem::absolute(path).c_str()) : nullptr;
    if (name == nullptr)
        return path.string();
    std::string text = name;
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

std::filesystem::path FromToolPath(const std::string& toolPath) {
    using DosName = wchar_t*(CDECL*)(const char*);
    static const auto dosName = WineCall<DosName>("wine_get_dos_file_name");
    wchar_t* name = dosName != nullptr ? dosName(toolPath.c_str()) : nullptr;
    if (name == nullptr)
        return toolPath;
    std::filesystem::path path = name;
    HeapFree(GetProcessHeap(), 0, name);
    return path;
}

bool ToolsRunAsRoot() {
    static const bool root = RunProcess({"id", "-u"}).out == "0\n";
    return root;
}

std::filesystem::path OwnProgram() {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, name.data(), DWORD(name.size()));
        if (length < name.size()) {
            name.resize(length);
            return name;
        }
        name.resize(name.size() * 2);
    }
}

}  // namespace rtmp::test
