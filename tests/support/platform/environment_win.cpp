// The process's environment block (what GetEnvironmentVariableW reads, and children inherit)
// and the C runtime's copy of it (what getenv reads) are changed together.
#include <windows.h>

#include <cstdlib>

#include "basis/platform/wide_text.h"
#include "support/environment.h"

namespace rtmp::test {

std::optional<std::string> GetEnvironment(const std::string& name) {
    const std::wstring wide = basis::WideFromUtf8(name);
    const DWORD needed = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (needed == 0)
        return std::nullopt;
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(wide.c_str(), value.data(), needed);
    value.resize(length < needed ? length : 0);
    return basis::Utf8FromWide(value);
}

void SetEnvironment(const std::string& name, const std::string& value) {
    const std::wstring wideName = basis::WideFromUtf8(name), wideValue = basis::WideFromUtf8(value);
    _wputenv((wideName + L"=" + wideValue).c_str());
    SetEnvironmentVariableW(wideName.c_str(), wideValue.c_str());  // also an empty value
}

void UnsetEnvironment(const std::string& name) {
    const std::wstring wideName = basis::WideFromUtf8(name);
    SetEnvironmentVariableW(wideName.c_str(), nullptr);
    _wputenv((wideName + L"=").c_str());  // "NAME=" removes it
}

int64_t OwnProcessId() {
    return GetCurrentProcessId();
}

}  // namespace rtmp::test
