#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/video_device_layer.h"

namespace capture {

// A camera: its device node and the name shown to the user (the driver's card name).
struct VideoDeviceEntry {
    std::string node;
    std::string name;
};

// The cameras in the order the camera setting counts them: the listed nodes, in ascending
// number order, that can capture video; nodes that cannot be opened or asked are left out.
// nullopt when the nodes cannot be listed.
std::optional<std::vector<VideoDeviceEntry>> ListCameras(VideoDeviceLayer& layer);

// The camera names of this machine, in the same order (for the device list).
std::vector<std::string> EnumerateVideoDevices();

}  // namespace capture
