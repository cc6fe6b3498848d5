// The broadcaster's settings: the user's config.ini read into BroadcastSettings, and the values the
// user changed in the window written back.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "app/ini_file.h"
#include "app/message_sink.h"
#include "capture/broadcast_settings.h"

namespace app {

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

using ScreenSizeFn = std::function<std::pair<int, int>()>;

// Reads the file into settings and dialog; 0 (after "参数有误!") when the address has no '&'.
int LoadSettings(const IniFile& ini, const ScreenSizeFn& screenSize, MessageSink& messages,
                 BroadcastSettings& settings, DialogValues& dialog);
// Writes the four user-editable values that differ from the last loaded ones; a failed write is
// told to failures.
int SaveChangedSettings(const IniFile& ini, const BroadcastSettings& settings,
                        const DialogValues& dialog, MessageSink* failures = nullptr);

}  // namespace app
