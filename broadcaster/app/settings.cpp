#include "app/settings.h"

#include "app/launch.h"
#include "app/local_copy.h"
#include "app/user_config.h"
#include "basis/translation.h"

namespace app {
namespace {

// The widest and tallest picture the H.264 encoder takes; a larger screen size in the file is
// taken as no size, like 0, rather than sizing frame buffers of gigabytes from it.
constexpr int kMaxScreenSide = 8192;
// The camera picture: a macroblock at least, and no side longer than the H.264 level the encoder
// writes allows (4.0: 8192 macroblocks, so at most 256 of them, 4096 pixels, in a row or column).
// Odd sizes are fine: the encoder drops the last column or row.
constexpr int kMinVideoSide = 16;
constexpr int kMaxVideoSide = 4096;
// The frame timer's period is 1000 / FrameRate ms: 16 ms at the most frames.
constexpr int kMinFrameRate = 1;
constexpr int kMaxFrameRate = 60;

}  // namespace

std::string SettingOutOfRangeMessage(const char* key, int value, int low, int high) {
    return basis::Substitute(
        basis::Translate("settings", "设置有误: %1=%2, 应为 %3 到 %4"),
        {key, std::to_string(value), std::to_string(low), std::to_string(high)});
}

int LoadSettings(const IniFile& ini, const ScreenSizeFn& screenSize, MessageSink& messages,
                 BroadcastSettings& s, DialogValues& dialog, bool* outOfRange) {
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
    s.LocalCopy = ini.GetInt("Device", "LocalCopy", 1) != 0 ? 1 : 0;
    s.LocalCopyFolder = ini.GetString("Device", "LocalCopyFolder", "", kLocalCopyFolderReadBytes);
    s.TlsCaFile = ini.GetString("Device", "TlsCaFile", "", kTlsCaFileReadBytes);

    bool refused = false;
    const auto limit = [&](const char* key, int& value, int low, int high) {
        if (value == 0 || (value >= low && value <= high))
            return;
        messages.ShowMessage(SettingOutOfRangeMessage(key, value, low, high));
        value = 0;
        refused = true;
    };
    limit("VideoWidth", s.VideoWidth, kMinVideoSide, kMaxVideoSide);
    limit("VideoHeight", s.VideoHeight, kMinVideoSide, kMaxVideoSide);
    limit("FrameRate", s.FrameRate, kMinFrameRate, kMaxFrameRate);
    if (outOfRange != nullptr)
        *outOfRange = refused;

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
        messages.ShowMessage(basis::Translate("settings", "参数有误!"));
        return 0;
    }
    dialog.meetingId = plain.substr(amp + 1);
    s.publishUrl = plain.substr(0, amp);
    return refused ? 0 : 1;
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
