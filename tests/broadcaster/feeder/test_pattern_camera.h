// A camera for tests: one device that delivers a solid colour picture in real time at the rate
// it is asked for, as RGB24 rows top row first (what the V4L2 layer hands over).
#pragma once

#include <chrono>
#include <thread>

#include "capture/video_device_layer.h"

namespace capture::test {

class TestPatternCamera final : public VideoDeviceLayer {
  public:
    TestPatternCamera(uint8_t r, uint8_t g, uint8_t b) : r_(r), g_(g), b_(b) {}

    std::optional<std::vector<std::string>> ListNodes() override {
        return std::vector<std::string>{"/dev/video0"};
    }
    bool Open(const std::string&) override { return true; }
    void Close() override {}
    bool QueryCaps(VideoDeviceCaps& caps) override {
        caps.card = "Test Pattern Camera";
        caps.canCapture = caps.canStream = true;
        return true;
    }
    std::vector<uint32_t> EnumerateFormats() override { return {kPixelYuyv}; }
    bool GetFormat(VideoFormat& format) override {
        format = format_;
        return true;
    }
    bool SetFormat(VideoFormat& format) override {
        format.bytesPerLine = format.width * (format.pixelFormat == kPixelRgb24 ? 3 : 2);
        format_ = format;
        return true;
    }
    bool SetFrameInterval(uint32_t numerator, uint32_t denominator) override {
        if (denominator > 0 && numerator > 0)
            period_ = std::chrono::microseconds(1000000LL * numerator / denominator);
        return true;
    }
    bool RequestBuffers(uint32_t) override { return true; }
    bool StreamOn() override {
        next_ = std::chrono::steady_clock::now();
        return true;
    }
    bool StreamOff() override { return true; }
    DequeueResult DequeueFrame(int timeoutMs, VideoFrame& frame) override {
        const auto now = std::chrono::steady_clock::now();
        if (next_ - now > std::chrono::milliseconds(timeoutMs)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return DequeueResult::kTimeout;
        }
        std::this_thread::sleep_until(next_);
        next_ += period_;
        frame.bytes.resize(static_cast<size_t>(format_.width) * format_.height * 3);
        for (size_t i = 0; i < frame.bytes.size(); i += 3) {
            frame.bytes[i] = r_;
            frame.bytes[i + 1] = g_;
            frame.bytes[i + 2] = b_;
        }
        frame.timestampSeconds = seconds_;
        seconds_ += std::chrono::duration<double>(period_).count();
        return DequeueResult::kFrame;
    }

  private:
    uint8_t r_, g_, b_;
    VideoFormat format_{kPixelYuyv, 320, 240, 640};
    std::chrono::microseconds period_{100000};
    std::chrono::steady_clock::time_point next_;
    double seconds_ = 0;
};

}  // namespace capture::test
