#include "app/user_config.h"

#include <mutex>

#include "app/launch.h"
#include "app/platform/file_io.h"
#include "app/platform/file_lock.h"
#include "basis/translation.h"

namespace app {
namespace {

std::mutex g_pathLock;
std::string& Path() {
    static std::string path = kConfigFile;
    return path;
}

}  // namespace

UserConfig PrepareUserConfig(const std::string& defaultFile) {
    UserConfig config;
    const std::string folder = platform::UserConfigFolder(&config.error);
    if (folder.empty()) {
        config.path = defaultFile;
        return config;
    }
    config.path = folder + "/config.ini";
    const platform::FileLock lock(config.path + ".lock");
    if (!lock.Held()) {
        config.error = lock.Error();
        return config;
    }
    const platform::FileRead mine = platform::ReadWholeFile(config.path);
    if (!mine.missing) {
        config.error = mine.error;  // an unreadable file is reported, never replaced
        return config;
    }
    const platform::FileRead shipped = platform::ReadWholeFile(defaultFile);
    if (!shipped.error.empty()) {
        config.error = shipped.error;
        return config;
    }
    config.error = platform::ReplaceFileAtomically(config.path, shipped.text);
    return config;
}

std::string SettingsPath() {
    std::lock_guard<std::mutex> guard(g_pathLock);
    return Path();
}

void SetSettingsPath(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_pathLock);
    Path() = path;
}

std::string SettingsWriteFailedMessage(const std::string& reason) {
    return basis::Translate("settings", "设置无法保存: ") + reason;
}

std::string SettingsReadFailedMessage(const std::string& reason) {
    return basis::Translate("settings", "设置无法读取: ") + reason;
}

}  // namespace app
