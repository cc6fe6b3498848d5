#include "app/platform/program_path.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace app::platform {

std::string ProgramPath() {
    std::error_code ec;
    const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string ProgramFolder() {
    const std::string path = ProgramPath();
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool ProgramBeside(const std::string& name) {
    return access((ProgramFolder() + "/" + name).c_str(), X_OK) == 0;
}

void EnterProgramFolder() {
    if (chdir(ProgramFolder().c_str()) != 0) {
        // Relative paths then resolve against wherever the program was started.
    }
}

}  // namespace app::platform
