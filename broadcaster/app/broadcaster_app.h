// The program's start-up: URL protocol, launch address or quick classroom, the main window run
// modally, the skin stopped at the end.
#pragma once

namespace app {

// Prepares the process before the application object exists: the web engine's sandbox and
// flags, the locale.
void PrepareProcess();

class CBroadcasterApp {
  public:
    // commandLine: the launch URL (the text after the program's name), or null.
    // Returns the process's exit status.
    int InitInstance(const char* commandLine);
};

}  // namespace app
