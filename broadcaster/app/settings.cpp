#include "app/settings.h"

#include "app/launch.h"
#include "app/user_config.h"

namespace app {
namespace {

// The widest and tallest picture the H.264 encoder takes; a larger screen size in the file is
// taken as no size, like 0, rather than sizing frame buffers of gigabytes from it.
constexpr int kMaxScreenSide = 8192;

}  // namespace

int LoadSettings(const IniFile& ini, const ScreenSizeFn& screenSize, MessageSink& messages,
                 BroadcastSettings& s, DialogValues& dialog) {
    if (const std::string error = ini.ReadError(); !error.empty())
        messages.ShowMessage(SettingsReadFailedMessage(error));
    s.Address = ini.GetString("Device", "Address", "", kAddressReadBytes);
    const auto device = [&](const char* key) { return ini.GetInt("Device", key, 0); };
    const auto audio = [&](const char* key) { return ini.GetInt("Audio", key, 0); };
    s.DeviceID = device("DeviceID");
    s.VideoWidth = device("VideoWidth");
    s.VideoHeight = device("VideoHeight");
    s.Interval = device("Interval");
    s.Quality = device("Quality");
    s.Bitrate = device("Bitrate");
    s.FrameRate = device("FrameRate");
    s.HaveAudio = device("HaveAudio");
    s.Record = device("Record");
    s.SamplesPerSec = audio("SamplesPerSec");
    s.BitsPerSample = audio("BitsPerSample");
    s.Chanels = audio("Chanels");
    s.ScreenWidth = device("ScreenWidth");
    s.ScreenHeight = device("ScreenHeight");
    s.VideoX = device("VideoX");
    s.VideoY = device("VideoY");
    s.VideoStyle = device("VideoStyle");
    s.ScreenRate = device("ScreenRate");

    if (s.ScreenWidth <= 0 || s.ScreenHeight <= 0 || s.ScreenWidth > kMaxScreenSide ||
        s.ScreenHeight > kMaxScreenSide) {
        const auto [w, h] = screenSize ? screenSize() : std::pair<int, int>{0, 0};
        s.ScreenWidth = w;
        s.ScreenHeight = h;
    }
    s.ScreenWidth -= s.ScreenWidth % 4;
    s.ScreenHeight -= s.ScreenHeight % 4;

    dialog.address = s.Address;
    dialog.haveAudio = s.HaveAudio;
    dialog.videoDeviceIndex = s.DeviceID;
    dialog.bitrate = s.Bitrate;
    dialog.pictureType = s.VideoStyle;

    std::string plain = s.Address;
    UnshiftAddress(plain);
    const size_t amp = plain.rfind('&');
    if (amp == std::string::npos) {
        dialog.meetingId = plain;
        s.publishUrl.clear();
        messages.ShowMessage("参数有误!");
        return 0;
    }
    dialog.meetingId = plain.substr(amp + 1);
    s.publishUrl = plain.substr(0, amp);
    return 1;
}

int SaveChangedSettings(const IniFile& ini, const BroadcastSettings& s, const DialogValues& d,
                        MessageSink* failures) {
    bool failed = false;
    const auto write = [&](const char* key, int value) {
        std::string error;
        if (failed || ini.WriteString("Device", key, std::to_string(value), &error))
            return;
        failed = true;  // one message for the whole save
        if (failures != nullptr)
            failures->ShowMessage(SettingsWriteFailedMessage(error));
    };
    if (d.haveAudio != s.HaveAudio)
        write("HaveAudio", d.haveAudio);
    if (d.videoDeviceIndex != s.DeviceID)
        write("DeviceID", d.videoDeviceIndex);
    if (d.bitrate != s.Bitrate)
        write("Bitrate", d.bitrate);
    if (d.pictureType != s.VideoStyle)
        write("VideoStyle", d.pictureType);
    return 1;
}

capture::ScreenCaptureOptions LoadScreenCaptureOptions(const IniFile& ini) {
    capture::ScreenCaptureOptions screen;
    screen.mode = capture::ParseScreenCaptureMode(
        ini.GetString("Device", "ScreenCapture", "auto", kScreenSettingReadBytes));
    screen.restoreToken =
        ini.GetString("Device", "ScreenCaptureToken", "", kScreenSettingReadBytes);
    screen.saveRestoreToken = [ini](const std::string& token) {
        ini.WriteString("Device", "ScreenCaptureToken", token);
    };
    return screen;
}

ScreenSizeFn ScreenSizeFor(const capture::ScreenCaptureOptions& screen) {
    const capture::ScreenCaptureMode mode = screen.mode;
    return [mode] { return capture::DefaultScreenSize(mode); };
}

}  // namespace app
