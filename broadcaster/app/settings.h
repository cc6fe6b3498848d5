// The broadcaster's settings: the user's config.ini read into BroadcastSettings, and the values the
// user changed in the window written back.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "app/ini_file.h"
#include "capture/broadcast_settings.h"
#include "capture/message_sink.h"
#include "capture/screen_capture_choice.h"

namespace app {

using capture::MessageSink;

using capture::BroadcastSettings;

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
constexpr size_t kScreenSettingReadBytes = 255;
constexpr size_t kTlsCaFileReadBytes = 4095;

using ScreenSizeFn = std::function<std::pair<int, int>()>;

// Reads the file into settings and dialog; 0 (after "参数有误!") when the address has no '&'.
// The local copy is on unless LocalCopy is 0; LocalCopyFolder "" (or absent) is the default
// folder, chosen when a broadcast starts. TlsCaFile names a PEM file of certificate authorities
// trusted for an rtmps:// address besides the system's.
// VideoWidth and VideoHeight (16 to 4096) and FrameRate (1 to 60) size the frame buffers and the
// frame timer: one outside its range (0 is "not set" and allowed) is refused with a message
// naming the key and the range, read as 0, and the result is 0 too; outOfRange tells that case.
int LoadSettings(const IniFile& ini, const ScreenSizeFn& screenSize, MessageSink& messages,
                 BroadcastSettings& settings, DialogValues& dialog, bool* outOfRange = nullptr);
// The teacher's message for a setting outside low..high.
std::string SettingOutOfRangeMessage(const char* key, int value, int low, int high);
// Writes the four user-editable values that differ from the last loaded ones; a failed write is
// told to failures.
int SaveChangedSettings(const IniFile& ini, const BroadcastSettings& settings,
                        const DialogValues& dialog, MessageSink* failures = nullptr);

// The screen grabber's settings: ScreenCapture (auto, x11 or portal) and the screen-cast
// portal's restore token, which the returned options write back whenever the desktop hands out a
// new one (so the desktop asks the user once, not at every broadcast).
capture::ScreenCaptureOptions LoadScreenCaptureOptions(const IniFile& ini);
// The screen size LoadSettings falls back to, from the grabber that ScreenCapture chooses.
ScreenSizeFn ScreenSizeFor(const capture::ScreenCaptureOptions& screen);

}  // namespace app
