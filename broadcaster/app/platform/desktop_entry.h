// The desktop entry that makes the program the handler of zembra.publish:// URLs (its text
// comes from app/launch.h).
#pragma once

#include <string>

namespace app::platform {

// Registers the program as the handler of zembra.publish:// URLs: the desktop entry, written
// at once, and xdg-mime (when present) run in the background with a time limit.
// applicationsDir empty: $XDG_DATA_HOME/applications or ~/.local/share/applications.
// Returns 1: a desktop without the entry still runs the program.
int RegisterUrlProtocol(const std::string& applicationsDir = "");

}  // namespace app::platform
