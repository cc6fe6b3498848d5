// The broadcaster's settings record: read from the settings file by the application, read by
// the feeder while a broadcast runs.
#pragma once

#include <optional>
#include <string>

namespace capture {

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
    // empty optional when none was chosen. Set when a broadcast starts, not when loading.
    std::optional<std::string> audioDevice;
    int HaveAudio = 0;
    int Record = 0;
    int SamplesPerSec = 0;
    int BitsPerSample = 0;
    int Chanels = 0;
    // The local copy of the lesson: made unless LocalCopy is 0, in LocalCopyFolder ("": the
    // user's videos folder).
    int LocalCopy = 1;
    std::string LocalCopyFolder;
    // The copy's file for this broadcast, "" for none. Set when a broadcast starts.
    std::string localCopyPath;
    // For an rtmps:// address: a PEM file of authorities trusted besides the system's (a
    // school's own); "" for none.
    std::string TlsCaFile;
};

}  // namespace capture
