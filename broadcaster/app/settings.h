// The broadcaster's settings: "./config.ini" read into BroadcastSettings, and the values the
// user changed in the window written back.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "app/ini_file.h"
#include "app/message_sink.h"

namespace app {

enum VideoStyle : int {
    STYLE_SCREEN = 0,
    STYLE_CAMERA = 1,
    STYLE_SCREEN_WITH_CAMERA = 2,
    STYLE_CAMERA_WITH_SCREEN = 3,
};

struct BroadcastSettings {
    int DeviceID = 0;
    int VideoStyle = 0;
    int VideoWidth = 0;
    int VideoHeight = 0;
    int VideoX = 0;
    int VideoY = 0;
    int ScreenWidth = 0;
    int ScreenHeight = 0;
    int ScreenRate = 0;
    int FrameRate = 0;
    int Interval = 0;
    int Quality = 0;
    int Bitrate = 0;
    std::string Address;     // as stored (shifted)
    std::string publishUrl;  // derived from Address
    // Capture device chosen in the window: "" the primary device, a PCM name otherwise;
    // empty optional when none was chosen. Set when a broadcast starts, not by LoadSettings.
    std::optional<std::string> audioDevice;
    int HaveAudio = 0;
    int Record = 0;
    int SamplesPerSec = 0;
    int BitsPerSample = 0;
    int Chanels = 0;
};

// The values the window's controls show.
struct DialogValues {
    int haveAudio = 0;
    int videoDeviceIndex = 0;
    int bitrate = 0;
    int pictureType = 0;
    std::string address;
    std::string meetingId;
};

constexpr size_t kAddressReadBytes = 99;

using ScreenSizeFn = std::function<std::pair<int, int>()>;

// Reads the file into settings and dialog; 0 (after "参数有误!") when the address has no '&'.
int LoadSettings(const IniFile& ini, const ScreenSizeFn& screenSize, MessageSink& messages,
                 BroadcastSettings& settings, DialogValues& dialog);
// Writes the four user-editable values that differ from the last loaded ones.
int SaveChangedSettings(const IniFile& ini, const BroadcastSettings& settings,
                        const DialogValues& dialog);

}  // namespace app
