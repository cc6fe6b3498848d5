#include "capture/video_device_list.h"

namespace capture {

std::optional<std::vector<VideoDeviceEntry>> ListCameras(VideoDeviceLayer& layer) {
    const std::optional<std::vector<std::string>> nodes = layer.ListNodes();
    if (!nodes.has_value()) {
        return std::nullopt;
    }
    std::vector<VideoDeviceEntry> cameras;
    for (const std::string& node : *nodes) {
        if (!layer.Open(node)) {
            continue;
        }
        VideoDeviceCaps caps;
        const bool asked = layer.QueryCaps(caps);
        layer.Close();
        if (asked && caps.canCapture) {
            cameras.push_back(VideoDeviceEntry{node, caps.card});
        }
    }
    return cameras;
}

std::vector<std::string> EnumerateVideoDevices() {
    std::vector<std::string> names;
    const std::unique_ptr<VideoDeviceLayer> layer = MakeSystemVideoDeviceLayer();
    const std::optional<std::vector<VideoDeviceEntry>> cameras = ListCameras(*layer);
    if (cameras.has_value()) {
        for (const VideoDeviceEntry& camera : *cameras) {
            names.push_back(camera.name);
        }
    }
    return names;
}

}  // namespace capture
