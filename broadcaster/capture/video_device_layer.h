#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace capture {

// Four-character pixel format codes, as V4L2 writes them.
constexpr uint32_t FourCc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}
inline constexpr uint32_t kPixelRgb24 = FourCc('R', 'G', 'B', '3');
inline constexpr uint32_t kPixelYuyv = FourCc('Y', 'U', 'Y', 'V');
inline constexpr uint32_t kPixelMjpeg = FourCc('M', 'J', 'P', 'G');

struct VideoDeviceCaps {
    std::string card;
    bool canCapture = false;  // single-planar video capture
    bool canStream = false;   // streaming (mmap) I/O
};

struct VideoFormat {
    uint32_t pixelFormat = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bytesPerLine = 0;  // 0 when the device does not say
};

// One frame as the device hands it over: packed RGB24 rows, top row first, in `bytes`.
struct VideoFrame {
    std::vector<uint8_t> bytes;
    double timestampSeconds = 0.0;
};

// What the camera capture needs of a video device (V4L2 on Linux, Media Foundation on Windows). One
// device is open at a time. Open .. StreamOn run on one thread; DequeueFrame runs on the streaming
// thread while streaming; StreamOff and Close run after that thread has ended.
class VideoDeviceLayer {
  public:
    enum class DequeueResult { kFrame = 1, kTimeout, kError };

    virtual ~VideoDeviceLayer() = default;

    // The device nodes that may be cameras, in ascending number order (on Windows the video
    // capture devices' symbolic links, in the system's order); nullopt when the nodes
    // cannot be listed at all.
    virtual std::optional<std::vector<std::string>> ListNodes() = 0;
    virtual bool Open(const std::string& node) = 0;
    virtual void Close() = 0;
    virtual bool QueryCaps(VideoDeviceCaps& caps) = 0;
    // The device's own pixel formats, in the order it lists them.
    virtual std::vector<uint32_t> EnumerateFormats() = 0;
    virtual bool GetFormat(VideoFormat& format) = 0;
    // Asks for format; on success format holds what the device settled on.
    virtual bool SetFormat(VideoFormat& format) = 0;
    // Asks for numerator/denominator seconds per frame.
    virtual bool SetFrameInterval(uint32_t numerator, uint32_t denominator) = 0;
    // Sets up count capture buffers and queues them.
    virtual bool RequestBuffers(uint32_t count) = 0;
    virtual bool StreamOn() = 0;
    virtual bool StreamOff() = 0;
    // Waits up to timeoutMs for a frame converted to RGB24 and copies it into frame.
    virtual DequeueResult DequeueFrame(int timeoutMs, VideoFrame& frame) = 0;
};

// The system's implementation: libv4l2 on Linux (platform/v4l2_device_layer.cpp), Media
// Foundation on Windows (platform/mf_device_layer_win.cpp).
std::unique_ptr<VideoDeviceLayer> MakeSystemVideoDeviceLayer();

}  // namespace capture
