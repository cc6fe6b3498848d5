#include "app/platform/desktop_entry.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "app/launch.h"
#include "app/platform/file_io.h"
#include "app/platform/process.h"
#include "app/platform/program_path.h"

namespace app::platform {

int RegisterUrlProtocol(const std::string& where) {
    std::string dir = where;
    if (dir.empty()) {
        const char* data = std::getenv("XDG_DATA_HOME");
        const char* home = std::getenv("HOME");
        if (data != nullptr && *data == '/') {
            dir = std::string(data) + "/applications";
        } else if (home != nullptr && *home == '/') {
            dir = std::string(home) + "/.local/share/applications";
        } else {
            return 1;
        }
    }
    const std::string text = DesktopEntryText(ProgramPath());
    if (text.empty())
        return 1;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    ReplaceFileAtomically(dir + "/" + kDesktopEntryName, text);
    // xdg-mime may take long (it runs further helpers): never on the caller's thread, and never
    // for more than a few seconds.
    std::thread([] {
        RunQuietly({"xdg-mime", "default", kDesktopEntryName, "x-scheme-handler/zembra.publish"},
                   std::chrono::seconds(5));
    }).detach();
    return 1;
}

}  // namespace app::platform
