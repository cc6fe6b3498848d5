#include <windows.h>

#include <string>

#include "basis/platform/wide_text.h"
#include "basis/thread_name.h"

namespace basis {
namespace {

using SetThreadDescriptionCall = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// SetThreadDescription came with Windows 10 (1607): looked up, so that the libraries still load
// on a system without it (where threads then keep no name).
SetThreadDescriptionCall FindSetThreadDescription() {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
        return nullptr;
    // Through a plain function type, which any function pointer may be cast to without a warning.
    return reinterpret_cast<SetThreadDescriptionCall>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadDescription")));
}

}  // namespace

void NameThisThread(const char* name) {
    static const SetThreadDescriptionCall setDescription = FindSetThreadDescription();
    if (setDescription == nullptr || name == nullptr)
        return;
    // At most 15 characters, as on Linux.
    std::wstring wide = WideFromUtf8(name);
    if (wide.size() > 15)
        wide.resize(15);
    setDescription(GetCurrentThread(), wide.c_str());
}

}  // namespace basis
