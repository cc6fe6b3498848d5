#include "capture/capture_video.h"

#include <optional>
#include <utility>

#include "basis/thread_name.h"
#include "capture/camera_format.h"
#include "capture/video_device_list.h"

namespace capture {
namespace {

// The streaming thread looks at its running flag at least this often.
constexpr int kDequeueTimeoutMs = 100;

}  // namespace

CCaptureVideo::CCaptureVideo(std::unique_ptr<VideoDeviceLayer> layer, MessageSink* messages)
    : layer_(std::move(layer)), messages_(messages) {}

CCaptureVideo::~CCaptureVideo() {
    Stop();
}

int CCaptureVideo::Fail(const char* text) {
    if (deviceOpen_) {
        layer_->Close();
        deviceOpen_ = false;
    }
    if (text != nullptr && messages_ != nullptr) {
        messages_->ShowMessage(text);
    }
    return 1;
}

int CCaptureVideo::Start(int deviceIndex, PreviewSink* preview, int width, int height,
                         int frameRate) {
    if (started_) {
        return 1;
    }
    const std::optional<std::vector<VideoDeviceEntry>> cameras = ListCameras(*layer_);
    if (!cameras.has_value()) {
        return Fail(nullptr);
    }
    if (deviceIndex < 0 || static_cast<size_t>(deviceIndex) >= cameras->size() || width <= 0 ||
        height <= 0) {
        return Fail(kSizeFailedText);
    }
    if (!layer_->Open((*cameras)[static_cast<size_t>(deviceIndex)].node)) {
        return Fail(kInterfacesFailedText);
    }
    deviceOpen_ = true;
    VideoDeviceCaps caps;
    if (!layer_->QueryCaps(caps) || !caps.canCapture || !caps.canStream) {
        return Fail(kInterfacesFailedText);
    }

    // The size goes to the device in the capture format of its choice.
    const std::optional<uint32_t> chosen = ChooseCaptureFormat(layer_->EnumerateFormats());
    if (!chosen.has_value()) {
        return Fail(kSizeFailedText);
    }
    VideoFormat original;
    const bool haveOriginal = layer_->GetFormat(original);
    VideoFormat wanted;
    wanted.pixelFormat = *chosen;
    wanted.width = static_cast<uint32_t>(width);
    wanted.height = static_cast<uint32_t>(height);
    if (!layer_->SetFormat(wanted)) {
        if (haveOriginal) {
            layer_->SetFormat(original);
        }
        return Fail(kSizeFailedText);
    }

    // Frames come out as RGB24 at the size the device settled on.
    VideoFormat output;
    output.pixelFormat = kPixelRgb24;
    output.width = wanted.width;
    output.height = wanted.height;
    if (!layer_->SetFormat(output) || output.pixelFormat != kPixelRgb24 || output.width == 0 ||
        output.height == 0) {
        return Fail(kMediaTypeFailedText);
    }
    // A device without frame-rate control keeps its own rate.
    if (frameRate > 0) {
        layer_->SetFrameInterval(1, static_cast<uint32_t>(frameRate));
    }
    if (!layer_->RequestBuffers(kBufferCount)) {
        return Fail(kBuildFailedText);
    }

    enabled_ = false;
    sink_ = nullptr;
    deviceFormat_ = output;
    width_ = static_cast<uint32_t>(width);
    height_ = static_cast<uint32_t>(height);
    frame_.assign(CameraFrameBytes(width_, height_), 0);
    preview_ = preview;
    started_ = true;
    if (!layer_->StreamOn()) {
        return Fail(kRunFailedText);
    }
    streaming_ = true;
    running_ = true;
    thread_ = std::thread([this] { StreamLoop(); });
    return 0;
}

int CCaptureVideo::Stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (streaming_) {
        layer_->StreamOff();
        streaming_ = false;
    }
    if (deviceOpen_) {
        layer_->Close();
        deviceOpen_ = false;
    }
    return 0;
}

void CCaptureVideo::StreamLoop() {
    basis::NameThisThread("camera-stream");
    VideoFrame frame;
    std::optional<double> firstTimestamp;
    while (running_) {
        const VideoDeviceLayer::DequeueResult got = layer_->DequeueFrame(kDequeueTimeoutMs, frame);
        if (got == VideoDeviceLayer::DequeueResult::kTimeout) {
            continue;
        }
        if (got != VideoDeviceLayer::DequeueResult::kFrame) {
            break;
        }
        // A frame shorter than its format says is skipped.
        if (!ConvertRgbTopDownToBgrBottomUp(frame.bytes, deviceFormat_.width, deviceFormat_.height,
                                            deviceFormat_.bytesPerLine, frame_, width_, height_)) {
            continue;
        }
        if (!firstTimestamp.has_value()) {
            firstTimestamp = frame.timestampSeconds;
        }
        CameraFrameSink* const sink = sink_;
        if (enabled_ && sink != nullptr) {
            sink->OnVideoFrame(frame.timestampSeconds - *firstTimestamp, frame_.data(),
                               static_cast<int>(frame_.size()));
        }
        if (preview_ != nullptr) {
            preview_->OnPreviewFrame(frame_.data(), static_cast<int>(width_),
                                     static_cast<int>(height_));
        }
    }
}

}  // namespace capture
