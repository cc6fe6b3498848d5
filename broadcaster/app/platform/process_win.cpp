#include "app/platform/this_user_win.h"

#include <shellapi.h>

#include <algorithm>
#include <thread>

#include "app/platform/process.h"
#include "basis/platform/wide_text.h"

namespace app::platform {
namespace {

using Clock = std::chrono::steady_clock;

// One argument as the C runtime's command-line parser (CommandLineToArgvW) reads it back:
// quoted when it holds a blank, a tab or a quote, with the backslashes before a quote doubled.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
    if (!line.empty())
        line.push_back(L' ');
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line.push_back(L'"');
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line.push_back(c);
    }
    line.append(backslashes * 2, L'\\');
    line.push_back(L'"');
}

OwnedHandle OpenNul(DWORD access) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return OwnedHandle(CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   OPEN_EXISTING, 0, nullptr));
}

// Starts argv (found as CreateProcessW finds programs) with input and errors on NUL and its
// output on out (NUL when null), handing down these three handles and no other. An invalid
// handle when it could not start.
OwnedHandle Spawn(const std::vector<std::string>& argv, HANDLE out) {
    if (argv.empty())
        return {};
    std::wstring line;
    for (const std::string& a : argv)
        AppendArgument(line, basis::WideFromUtf8(a));
    const OwnedHandle input = OpenNul(GENERIC_READ);
    const OwnedHandle errors = OpenNul(GENERIC_WRITE);
    OwnedHandle nulOut;
    if (out == nullptr) {
        nulOut = OpenNul(GENERIC_WRITE);
        out = nulOut.Get();
    }
    if (!input.Valid() || !errors.Valid() || out == nullptr || out == INVALID_HANDLE_VALUE)
        return {};
    HANDLE handed[3] = {input.Get(), out, errors.Get()};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<BYTE> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (InitializeProcThreadAttributeList(attributes, 1, 0, &size) == 0)
        return {};
    PROCESS_INFORMATION process{};
    if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handed,
                                  sizeof handed, nullptr, nullptr) != 0) {
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = input.Get();
        startup.StartupInfo.hStdOutput = out;
        startup.StartupInfo.hStdError = errors.Get();
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                           CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                           &startup.StartupInfo, &process) == 0)
            process = PROCESS_INFORMATION{};
    }
    DeleteProcThreadAttributeList(attributes);
    if (process.hThread != nullptr)
        CloseHandle(process.hThread);
    return OwnedHandle(process.hProcess);
}

// Waits for the process until deadline, then ends it; true when it exited with status 0.
bool Reap(HANDLE process, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (WaitForSingleObject(process, static_cast<DWORD>(std::max<long long>(left, 0))) !=
        WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
        return false;
    }
    DWORD code = 1;
    return GetExitCodeProcess(process, &code) != 0 && code == 0;
}

}  // namespace

bool RunQuietly(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    const OwnedHandle process = Spawn(argv, nullptr);
    return process.Valid() && Reap(process.Get(), Clock::now() + limit);
}

std::optional<std::string> RunForOutput(const std::vector<std::string>& argv,
                                        std::chrono::milliseconds limit) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (CreatePipe(&readEnd, &writeEnd, &inherit, 0) == 0)
        return std::nullopt;
    const OwnedHandle reader(readEnd);
    OwnedHandle writer(writeEnd);
    SetHandleInformation(reader.Get(), HANDLE_FLAG_INHERIT, 0);
    const OwnedHandle process = Spawn(argv, writer.Get());
    writer.Reset();  // the child's copy is the only writer now: its end ends the output
    if (!process.Valid())
        return std::nullopt;
    const auto deadline = Clock::now() + limit;
    std::string out;
    char block[4096];
    while (Clock::now() < deadline) {
        DWORD waiting = 0;
        if (PeekNamedPipe(reader.Get(), nullptr, 0, nullptr, &waiting, nullptr) == 0)
            break;  // the child ended and its output was read
        if (waiting == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        DWORD got = 0;
        if (ReadFile(reader.Get(), block, std::min<DWORD>(waiting, sizeof block), &got, nullptr) ==
                0 ||
            got == 0)
            break;
        const size_t room = kMaxHelperOutput - out.size();
        out.append(block, std::min<size_t>(got, room));
    }
    if (!Reap(process.Get(), deadline))
        return std::nullopt;
    return out;
}

bool OpenInFileManager(const std::string& folder) {
    const std::wstring wide = basis::WideFromUtf8(folder);
    if (wide.empty())
        return false;
    // Explorer opens the folder on its own; nothing here waits for it.
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32;
}

}  // namespace app::platform
