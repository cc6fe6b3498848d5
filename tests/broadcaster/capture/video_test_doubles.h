// Test doubles for the camera capture: a video device layer whose devices and frames the test
// describes, and sinks that record what reaches them.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "audio_test_doubles.h"
#include "capture/sinks.h"
#include "capture/video_device_layer.h"

namespace capture::test {

struct FakeVideoNode {
    int opens = -1;  // how many more opens succeed; -1: every one
    VideoDeviceCaps caps;
    std::vector<uint32_t> formats;
};

struct FakeVideoState {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::vector<std::string>> nodes = std::vector<std::string>{};
    std::map<std::string, FakeVideoNode> devices;
    // Device behaviour.
    VideoFormat current{kPixelYuyv, 320, 240, 640};
    bool refuseCaptureSize = false;                       // S_FMT in a device format fails
    bool refuseRgb = false;                               // S_FMT RGB24 fails
    std::optional<std::pair<uint32_t, uint32_t>> settle;  // the size the device settles on
    uint32_t rgbPadding = 0;                              // extra bytes at the end of each RGB row
    bool failBuffers = false;
    bool failStreamOn = false;
    std::deque<VideoFrame> frames;
    // A camera in real time instead: a picture of this RGB colour at the asked size and rate,
    // or at a rate of its own.
    std::optional<std::array<uint8_t, 3>> solidRgb;
    std::optional<uint32_t> solidFps;
    // What was asked.
    std::vector<std::string> opened;
    std::vector<VideoFormat> setFormats;
    std::vector<std::pair<uint32_t, uint32_t>> intervals;
    uint32_t bufferCount = 0;
    int streamOns = 0;
    int streamOffs = 0;
    int closes = 0;
    int dequeuesInProgress = 0;
    bool closedWhileDequeuing = false;

    void AddCamera(const std::string& node, const std::string& card, std::vector<uint32_t> formats,
                   bool canCapture = true) {
        nodes->push_back(node);
        devices[node] =
            FakeVideoNode{-1, VideoDeviceCaps{card, canCapture, true}, std::move(formats)};
    }
    void PushFrame(std::vector<uint8_t> bytes, double timestamp) {
        std::lock_guard<std::mutex> lock(mutex);
        frames.push_back(VideoFrame{std::move(bytes), timestamp});
        changed.notify_all();
    }
};

// Only DequeueFrame runs on the camera's streaming thread; CCaptureVideo makes every other call
// from the thread that starts and stops it, before the streaming thread starts or after it ended.
// So only DequeueFrame and Close (which records a close during a dequeue) take the lock.
class FakeVideoLayer final : public VideoDeviceLayer {
  public:
    explicit FakeVideoLayer(std::shared_ptr<FakeVideoState> state) : state_(std::move(state)) {}

    std::optional<std::vector<std::string>> ListNodes() override { return state_->nodes; }
    bool Open(const std::string& node) override {
        const auto found = state_->devices.find(node);
        if (found == state_->devices.end() || found->second.opens == 0)
            return false;
        if (found->second.opens > 0)
            --found->second.opens;
        state_->opened.push_back(node);
        return true;
    }
    void Close() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->closes;
        state_->closedWhileDequeuing |= state_->dequeuesInProgress > 0;
    }
    bool QueryCaps(VideoDeviceCaps& caps) override {
        caps = state_->devices.at(state_->opened.back()).caps;
        return true;
    }
    std::vector<uint32_t> EnumerateFormats() override {
        return state_->devices.at(state_->opened.back()).formats;
    }
    bool GetFormat(VideoFormat& format) override {
        format = state_->current;
        return true;
    }
    bool SetFormat(VideoFormat& format) override {
        state_->setFormats.push_back(format);
        const bool rgb = format.pixelFormat == kPixelRgb24;
        if (rgb ? state_->refuseRgb
                : (state_->refuseCaptureSize && !(format.width == state_->current.width &&
                                                  format.height == state_->current.height)))
            return false;
        if (!rgb && state_->settle.has_value())
            std::tie(format.width, format.height) = *state_->settle;
        format.bytesPerLine = format.width * (rgb ? 3 : 2) + (rgb ? state_->rgbPadding : 0);
        state_->current = format;
        return true;
    }
    bool SetFrameInterval(uint32_t numerator, uint32_t denominator) override {
        state_->intervals.emplace_back(numerator, denominator);
        return true;
    }
    bool RequestBuffers(uint32_t count) override {
        state_->bufferCount = count;
        return !state_->failBuffers;
    }
    bool StreamOn() override {
        ++state_->streamOns;
        return !state_->failStreamOn;
    }
    bool StreamOff() override {
        ++state_->streamOffs;
        return true;
    }
    DequeueResult DequeueFrame(int timeoutMs, VideoFrame& frame) override {
        std::unique_lock<std::mutex> lock(state_->mutex);
        if (state_->solidRgb.has_value()) {
            const auto [num, den] =
                state_->solidFps ? std::pair(1u, *state_->solidFps) : state_->intervals.back();
            const auto period = std::chrono::microseconds(1000000LL * num / den);
            state_->changed.wait_for(lock, period);  // paces the frames
            frame.bytes.resize(state_->current.width * state_->current.height * 3);
            for (size_t i = 0; i < frame.bytes.size(); ++i)
                frame.bytes[i] = (*state_->solidRgb)[i % 3];
            frame.timestampSeconds = solidTime_;
            solidTime_ += std::chrono::duration<double>(period).count();
            return DequeueResult::kFrame;
        }
        ++state_->dequeuesInProgress;
        const bool got = state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                  [&] { return !state_->frames.empty(); });
        --state_->dequeuesInProgress;
        if (!got)
            return DequeueResult::kTimeout;
        frame = std::move(state_->frames.front());
        state_->frames.pop_front();
        return DequeueResult::kFrame;
    }

  private:
    std::shared_ptr<FakeVideoState> state_;
    double solidTime_ = 0;
};

// A frame or a preview as a sink got it (a frame has no size, a preview no time).
struct SinkPicture {
    std::vector<uint8_t> bytes;
    double time = 0;
    int width = 0;
    int height = 0;
    bool operator==(const SinkPicture&) const = default;
};

class RecordingFrameSink final : public CameraFrameSink, public PreviewSink {
  public:
    void OnVideoFrame(double sampleTime, const uint8_t* data, int length) override {
        frames.Add({{data, data + length}, sampleTime});
    }
    void OnPreviewFrame(const uint8_t* bgrBottomUp, int width, int height) override {
        previews.Add({{bgrBottomUp, bgrBottomUp + width * height * 3}, 0, width, height});
    }
    // Waits up to timeout until at least `count` previews came (each after its frame's turn).
    bool WaitForPreviews(size_t count, std::chrono::milliseconds timeout) {
        return rtmp::test::WaitUntil([&] { return previews.Items().size() >= count; }, timeout);
    }

    Recorder<SinkPicture> frames;
    Recorder<SinkPicture> previews;
};

}  // namespace capture::test
