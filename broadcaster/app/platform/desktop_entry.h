// Makes the program the handler of zembra.publish:// URLs for this user: on Linux the desktop
// entry (its text comes from app/launch.h), on Windows the URL protocol's keys among the user's
// classes in the registry (the command from app/launch.h).
#pragma once

#include <string>

namespace app::platform {

// Registers the program as the handler of zembra.publish:// URLs, per user, without
// administrator rights.
// Linux: the desktop entry, written at once, and xdg-mime (when present) run in the background
// with a time limit; `where` is the applications folder, empty for $XDG_DATA_HOME/applications or
// ~/.local/share/applications.
// Windows: the keys zembra.publish, its DefaultIcon and shell\open\command under
// HKEY_CURRENT_USER\<where>, empty for Software\Classes (what HKEY_CLASSES_ROOT shows this
// user).
// Returns 1: a desktop without the registration still runs the program.
int RegisterUrlProtocol(const std::string& where = "");

}  // namespace app::platform
