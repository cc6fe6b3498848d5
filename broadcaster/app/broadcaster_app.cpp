#include "app/broadcaster_app.h"

#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>

#include "app/broadcaster_dlg.h"
#include "app/launch.h"
#include "app/message_box.h"
#include "app/skin.h"

namespace app {

void PrepareProcess() {
    std::setlocale(LC_ALL, "");
    // The engine's sandbox can't start for root.
    if (geteuid() == 0)
        setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    // No GPU process: the page is drawn in software, which every display (Xvfb included) has.
    const char* flags = std::getenv("QTWEBENGINE_CHROMIUM_FLAGS");
    std::string all = flags != nullptr ? flags : "";
    if (all.find("--disable-gpu") == std::string::npos) {
        all += all.empty() ? "--disable-gpu" : " --disable-gpu";
        setenv("QTWEBENGINE_CHROMIUM_FLAGS", all.c_str(), 1);
    }
}

int CBroadcasterApp::InitInstance(const char* commandLine) {
    CBroadcasterDlg dialog;
    RegisterUrlProtocol();
    const IniFile ini(kConfigFile);
    if (ParseLaunchUrl(commandLine, ini) == 0) {
        WindowMessageSink noOwner;  // the window isn't up yet
        MakeQuickClassAddress(ini, noOwner, static_cast<uint32_t>(std::time(nullptr)));
    }
    dialog.exec();
    StopSkin();
    return 0;
}

}  // namespace app
