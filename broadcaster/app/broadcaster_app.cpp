#include "app/broadcaster_app.h"

#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>

#include "app/broadcaster_dlg.h"
#include "app/launch.h"
#include "app/launch_channel.h"
#include "app/message_box.h"
#include "app/platform/desktop_entry.h"
#include "app/platform/program_path.h"
#include "app/single_instance.h"
#include "app/skin.h"
#include "app/user_config.h"
#include "app/window_language.h"

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
    const WindowLanguage language;
    platform::EnterProgramFolder();
    // The instance check comes before any setting is read or written: a second start must not
    // change what the running window broadcasts to. Its launch URL goes to the running window,
    // which asks the teacher.
    // When the lock can't be taken safely, whether another window runs can't be told: the
    // program ends rather than run as a second one.
    const InstanceCheck instance = TakeInstanceLock();
    if (instance.state == InstanceState::kUnknown) {
        ShowAppMessage(nullptr, QString::fromStdString(UnknownInstanceMessage(instance.reason)));
        return 0;
    }
    if (instance.state == InstanceState::kRunning) {
        std::string text = RunningMessage();
        if (LaunchAddress(commandLine)) {
            const std::string failure = ForwardLaunchUrl(commandLine);
            if (!failure.empty())
                text = NotForwardedMessage(failure);
        }
        ShowAppMessage(nullptr, QString::fromStdString(text));
        return 0;
    }
    platform::RegisterUrlProtocol();
    WindowMessageSink noOwner;  // the window isn't up yet
    const UserConfig config = PrepareUserConfig(platform::ProgramFolder() + "/config.ini");
    SetSettingsPath(config.path);
    if (!config.error.empty())
        noOwner.ShowMessage(SettingsWriteFailedMessage(config.error));
    const IniFile ini(config.path);
    if (ParseLaunchUrl(commandLine, ini, &noOwner) == 0)
        MakeQuickClassAddress(ini, noOwner, static_cast<uint32_t>(std::time(nullptr)));
    CBroadcasterDlg dialog;
    dialog.exec();
    StopSkin();
    return 0;
}

}  // namespace app
