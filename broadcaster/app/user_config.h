// Where the teacher's settings live: config.ini in the user's own settings folder, made from the
// program folder's config.ini on first start (the program folder may be read-only).
#pragma once

#include <string>

namespace app {

struct UserConfig {
    std::string path;   // the file to read and write
    std::string error;  // why the user's file could not be made; "" when it could
};
// Makes sure the user's config.ini exists, copying defaultFile when it doesn't. Without a user
// folder the path is defaultFile (read-only use).
UserConfig PrepareUserConfig(const std::string& defaultFile);

// The settings file the window reads and writes: set once at start-up.
std::string SettingsPath();
void SetSettingsPath(const std::string& path);

// The teacher's message for a settings file that could not be written or read.
std::string SettingsWriteFailedMessage(const std::string& reason);
std::string SettingsReadFailedMessage(const std::string& reason);

}  // namespace app
