// Where the running program lives: the files it ships with sit in its own folder.
#pragma once

#include <string>

namespace app::platform {

// Full path of the running program; "" when it cannot be told.
std::string ProgramPath();
// Folder of the running program ("." when it cannot be told).
std::string ProgramFolder();
// Makes the program's folder the current directory.
void EnterProgramFolder();
// Whether the program called name (on Windows name.exe) is installed in this program's folder.
bool ProgramBeside(const std::string& name);

}  // namespace app::platform
