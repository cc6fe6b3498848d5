#include <windows.h>

#include <string>

#include "app/platform/program_path.h"
#include "basis/platform/wide_text.h"

namespace app::platform {

std::string ProgramPath() {
    // Long paths need more than MAX_PATH: the buffer grows until the whole name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return basis::Utf8FromWide(path);
        }
        if (path.size() >= 32768)
            return {};
        path.resize(path.size() * 2);
    }
}

std::string ProgramFolder() {
    const std::string path = ProgramPath();
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

bool ProgramBeside(const std::string& name) {
    const std::wstring path = basis::WideFromUtf8(ProgramFolder() + "\\" + name + ".exe");
    const DWORD attributes =
        path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void EnterProgramFolder() {
    const std::wstring folder = basis::WideFromUtf8(ProgramFolder());
    if (folder.empty() || SetCurrentDirectoryW(folder.c_str()) == 0) {
        // Relative paths then resolve against wherever the program was started.
    }
}

}  // namespace app::platform
