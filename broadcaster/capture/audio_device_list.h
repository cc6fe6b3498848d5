#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace capture {

// One entry of the sound-capture device list. identity is the PCM name to open; it is empty
// for the primary capture device, which is always the first entry.
struct AudioDeviceEntry {
    std::string identity;
    std::string description;
};

// One PCM hint as the platform reports it (ioid empty when the hint has none).
struct AudioPcmHint {
    std::string name;
    std::string description;
    std::optional<std::string> ioid;
};

inline constexpr size_t kMaxAudioDeviceIdentities = 20;
inline constexpr const char* kPrimaryCaptureDescription = "Primary Sound Capture Driver";
// The PCM the primary capture device stands for (on Windows the default capture endpoint).
inline constexpr const char* kPrimaryCapturePcm = "default";

// The capture device list from PCM hints, in hint order: the primary device first, then each
// hint that can capture (no direction or "Input"), except the silent "null" PCM, keeping at most
// kMaxAudioDeviceIdentities identities. Line breaks in descriptions become " - ".
std::vector<AudioDeviceEntry> BuildAudioDeviceList(const std::vector<AudioPcmHint>& hints);

// The capture devices of this machine: on Linux the ALSA PCM hints, built with
// BuildAudioDeviceList; on Windows the active capture endpoints (the identity is the endpoint's
// id), after the primary device.
std::vector<AudioDeviceEntry> EnumerateCaptureDevices();

}  // namespace capture
