#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "capture/sinks.h"
#include "capture/video_device_layer.h"

namespace capture {

// Runs the camera: picks the device by its position in the camera list, asks it for the size
// and frame rate, and hands every frame, as packed BGR rows bottom-up of exactly width * 3
// bytes, to the camera frame sink (once enabled) and then to the preview sink, from a streaming
// thread of its own. If the device settles on another size than asked, its frames are scaled
// to the asked size, so the sinks always get width x height pictures.
//
// A CCaptureVideo starts once: after Stop it does not start again (use a new one).
class CCaptureVideo {
  public:
    static constexpr const char* kInterfacesFailedText = "Failed to get video interfaces!";
    static constexpr const char* kSizeFailedText = "Failed to set camera video size!";
    static constexpr const char* kMediaTypeFailedText = "Fail to set media type!";
    static constexpr const char* kBuildFailedText = "Can't build the graph";
    static constexpr const char* kRunFailedText = "Couldn't run the graph!";
    static constexpr uint32_t kBufferCount = 4;

    explicit CCaptureVideo(std::unique_ptr<VideoDeviceLayer> layer = MakeSystemVideoDeviceLayer(),
                           MessageSink* messages = nullptr);
    ~CCaptureVideo();
    CCaptureVideo(const CCaptureVideo&) = delete;
    CCaptureVideo& operator=(const CCaptureVideo&) = delete;

    // 0 when frames are flowing; 1 when already started or on a failure, which (except when
    // the device nodes cannot be listed at all) shows its text on the message sink. The frame
    // sink is disabled and cleared by a start. frameRate <= 0 leaves the device's rate.
    int Start(int deviceIndex, PreviewSink* preview, int width, int height, int frameRate);
    // Ends the streaming thread and releases the device; returns 0.
    int Stop();

    // The frame sink and its switch; set after Start, read by the streaming thread.
    void SetSink(CameraFrameSink* sink) { sink_ = sink; }
    void EnableFrames(bool enabled) { enabled_ = enabled; }

    // What the device delivers after a successful start (RGB24 at the device's size).
    const VideoFormat& DeviceFormat() const { return deviceFormat_; }

  private:
    int Fail(const char* text);
    void StreamLoop();

    std::unique_ptr<VideoDeviceLayer> layer_;
    MessageSink* messages_ = nullptr;
    bool started_ = false;
    bool deviceOpen_ = false;
    bool streaming_ = false;
    std::atomic<bool> running_{false};
    std::atomic<bool> enabled_{false};
    std::atomic<CameraFrameSink*> sink_{nullptr};
    PreviewSink* preview_ = nullptr;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    VideoFormat deviceFormat_;
    std::vector<uint8_t> frame_;
    std::thread thread_;
};

}  // namespace capture
