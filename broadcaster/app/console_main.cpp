// Runs one broadcast from the user's config.ini (or --config FILE) exactly as the window's start
// button does, without the window: load the settings, build the feeder, start, print the progress
// once a second, stop. The local copy's file is printed at the start and at the end.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/connect_failure_text.h"
#include "app/launch.h"
#include "app/local_copy.h"
#include "app/platform/console.h"
#include "app/platform/desktop_entry.h"
#include "app/platform/program_path.h"
#include "app/settings.h"
#include "app/translations.h"
#include "app/user_config.h"
#include "basis/translation.h"
#include "capture/broadcast_feeder.h"
#include "capture/screen_size.h"
#include "ocelix/ocelix.h"

namespace {

std::atomic<bool> g_stop{false};

void OnStopRequest() {
    g_stop = true;
}

class ConsoleMessages final : public capture::MessageSink {
  public:
    void ShowMessage(const std::string& text) override { std::printf("%s\n", text.c_str()); }
};

void Usage() {
    std::fprintf(stderr, "%s\n",
                 basis::Translate("console",
                                  "usage: broadcast_console [--seconds N] [--config FILE] "
                                  "[--audio-device DEVICE] [--local-copy DIR | --no-local-copy] "
                                  "[--ca-file PEM] [zembra.publish://...]"));
}

void PrintStatus(void* encoder, const capture::BroadcastSettings& settings) {
    OcelixStats s{};
    if (OCELIX_GetStatsEx(encoder, &s, sizeof s) == 0)
        return;
    const int seconds = s.elapsedMs / 1000;
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    const auto n = [](auto value) { return std::to_string(value); };
    // Each part a text of its own: translated alone, none needs to know the others' order.
    const std::string parts[] = {
        clock,
        basis::Substitute(basis::Translate("console", "frames %1"), {n(s.framesEncoded)}),
        basis::Substitute(basis::Translate("console", "%1 kbit/s (target %2)"),
                          {n(s.sendKbps), n(s.targetKbps)}),
        basis::Substitute(basis::Translate("console", "delay %1 ms"), {n(s.queueDelayMs)}),
        basis::Substitute(basis::Translate("console", "skipped %1"), {n(s.framesSkipped)}),
        basis::Substitute(basis::Translate("console", "dropped %1"), {n(s.packetsDropped)}),
        basis::Substitute(basis::Translate("console", "audio blocks %1"), {n(s.audioPacketsSent)}),
        s.connected != 0 ? basis::Translate("console", "up")
                         : basis::Translate("console", "reconnecting"),
        basis::Substitute(basis::Translate("console", "reconnects %1"), {n(s.reconnects)}),
    };
    std::string line;
    for (const std::string& part : parts)
        line += (line.empty() ? "" : "  ") + part;
    std::printf("%s\n", line.c_str());
    if (s.connected == 0 && app::IsSecurityFailure(s.connectError)) {
        std::printf("%s\n",
                    app::ConnectFailureText(s.connectError, settings.publishUrl, settings.TlsCaFile)
                        .c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    app::platform::PrepareConsole();
    app::UseProgramLanguage(app::ProgramLanguage());
    long seconds = -1;
    std::string config;
    std::string launchUrl;
    std::string audioDevice;
    std::optional<std::string> copyFolder;  // "": no copy; none: as the settings say
    std::optional<std::string> caFile;      // none: as the settings say
    const std::vector<std::string> args = app::platform::ProgramArguments(argc, argv);
    const size_t count = args.size();
    for (size_t i = 1; i < count; ++i) {
        const std::string& arg = args[i];
        if (arg == "--seconds" && i + 1 < count) {
            seconds = std::strtol(args[++i].c_str(), nullptr, 10);
        } else if (arg == "--config" && i + 1 < count) {
            config = args[++i];
        } else if (arg == "--audio-device" && i + 1 < count) {
            audioDevice = args[++i];
        } else if (arg == "--local-copy" && i + 1 < count && !args[i + 1].empty()) {
            copyFolder = args[++i];
        } else if (arg == "--ca-file" && i + 1 < count) {
            caFile = args[++i];
        } else if (arg == "--no-local-copy") {
            copyFolder = "";
        } else if (arg.rfind(app::kLaunchPrefix, 0) == 0 && i + 1 == count) {
            // Last only: the shell puts the URL, which a web page wrote, in the registered
            // command's quotes, and a quote in it would close them early; whatever then
            // follows as further arguments (another settings file, a copy folder on someone's
            // share, an authority to trust) is the page's, not the teacher's.
            launchUrl = arg;
        } else {
            Usage();
            return 2;
        }
    }
    ConsoleMessages messages;
    // Where the window is installed it takes zembra.publish:// URLs; without it (on Windows,
    // where there is no window) this program does, and registers itself at every start as the
    // window does.
    if (!app::platform::ProgramBeside("broadcaster"))
        app::platform::RegisterUrlProtocol();
    if (config.empty()) {
        // As the window does: the user's own settings, made from the program folder's.
        app::platform::EnterProgramFolder();
        const app::UserConfig user =
            app::PrepareUserConfig(app::platform::ProgramFolder() + "/config.ini");
        if (!user.error.empty())
            messages.ShowMessage(app::SettingsWriteFailedMessage(user.error));
        config = user.path;
    }
    const app::IniFile ini(config);
    if (!launchUrl.empty()) {
        const std::optional<std::string> address = app::LaunchAddress(launchUrl.c_str());
        if (address && !app::AddressFits(*address)) {
            messages.ShowMessage(app::AddressTooLongMessage(*address));
            return 2;
        }
        app::ParseLaunchUrl(launchUrl.c_str(), ini, &messages);
    }
    if (ini.GetString("Device", "Address", "", app::kAddressReadBytes).empty()) {
        app::MakeQuickClassAddress(ini, messages, static_cast<uint32_t>(std::time(nullptr)));
    }

    app::BroadcastSettings settings;
    app::DialogValues dialog;
    const capture::ScreenCaptureOptions screen = app::LoadScreenCaptureOptions(ini);
    if (app::LoadSettings(ini, app::ScreenSizeFor(screen), messages, settings, dialog) == 0) {
        return 2;
    }
    settings.audioDevice = audioDevice;  // "" is the primary capture device
    if (copyFolder) {
        settings.LocalCopy = copyFolder->empty() ? 0 : 1;
        settings.LocalCopyFolder = *copyFolder;
    }
    if (caFile)
        settings.TlsCaFile = *caFile;
    app::PrepareLocalCopy(settings, dialog.meetingId, std::time(nullptr));
    if (settings.ScreenWidth <= 0 && (settings.VideoStyle == capture::STYLE_SCREEN ||
                                      settings.VideoStyle == capture::STYLE_SCREEN_WITH_CAMERA)) {
        std::fprintf(stderr, "%s\n",
                     basis::Translate("console",
                                      "no screen to capture: no display could be opened; set "
                                      "ScreenWidth and ScreenHeight (or DISPLAY on Linux)"));
    }

    app::platform::CallOnStopRequest(OnStopRequest);
    capture::CBroadcastFeeder feeder(&settings, capture::DefaultFeederDevices(&messages, screen));
    std::printf("%s\n",
                basis::Substitute(basis::Translate("console", "classroom %1: publishing to %2"),
                                  {dialog.meetingId, settings.publishUrl})
                    .c_str());
    if (feeder.Start(nullptr) == 0) {
        if (feeder.ScreenRefused())
            return 1;  // the reason is printed already
        const std::string why =
            app::ConnectFailureText(feeder.ConnectError(), settings.publishUrl, settings.TlsCaFile);
        std::fprintf(
            stderr, "%s\n",
            basis::Substitute(basis::Translate("console", "%1: cannot connect and publish to %2"),
                              {why, settings.publishUrl})
                .c_str());
        return 1;
    }
    const bool copyWanted = !settings.localCopyPath.empty();
    std::printf("%s\n", app::CopyConsoleLine(feeder.LocalCopy(), copyWanted, false).c_str());
    const std::string& url = settings.publishUrl;
    const size_t slash = url.rfind('/');
    const size_t scheme = url.find("://");
    const size_t hostEnd = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (slash != std::string::npos && hostEnd != std::string::npos && hostEnd < slash) {
        const std::string command =
            "ffplay -rtmp_app " + url.substr(hostEnd + 1, slash - hostEnd - 1) +
            " -rtmp_playpath " + url.substr(slash + 1) + " " + url.substr(0, hostEnd);
        std::printf(
            "%s\n",
            basis::Substitute(basis::Translate("console", "watch it with: %1"), {command}).c_str());
    }
    const auto start = std::chrono::steady_clock::now();
    auto next = start + std::chrono::seconds(1);
    // A status line each second; --seconds N ends after the Nth. The lines are counted rather than
    // the clock read: a wait may end a moment early (Windows' sleeps round down to whole
    // milliseconds), which must not cost a whole further second.
    long lines = 0;
    while (!g_stop.load()) {
        std::this_thread::sleep_until(next);
        next += std::chrono::seconds(1);
        PrintStatus(feeder.Encoder(), settings);
        if (seconds >= 0 && ++lines >= seconds)
            break;
    }
    feeder.Stop();
    std::printf("%s\n", basis::Translate("console", "直播结束!"));
    std::printf("%s\n", app::CopyConsoleLine(feeder.LocalCopy(), copyWanted, true).c_str());
    return 0;
}
