// Fake RTMP layer, clock and encoders that record what the encoder instance does with them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backends.h"

namespace ocelix::testing {

struct SentPacket {
    int type, timestamp, length;
    bool key;
};

// What the fake RTMP layer was asked, in order, and what it answers.
struct RtmpRecord {
    std::mutex mutex;
    // "width=640" (metadata), "connect <url>", "publish <mode>", "metadata" (sent),
    // "metadata freed unsent", "disconnect"
    std::vector<std::string> calls;
    std::vector<SentPacket> sent;
    std::atomic<int> connectResult{1}, publishResult{1}, state{0}, released{0};

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    std::vector<SentPacket> Sent() {
        std::lock_guard<std::mutex> lock(mutex);
        return sent;
    }
    void Call(std::string s) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(std::move(s));
    }
};

struct FakeRtmp final : RtmpLayer {
    explicit FakeRtmp(RtmpRecord* r) : r_(r) {}
    void* Create() override { return r_; }  // never dereferenced
    void Release(void*) override { r_->released.fetch_add(1); }
    int Connect(void*, const char* url) override {
        r_->Call(std::string("connect ") + url);
        r_->state.store(r_->connectResult.load());
        return r_->connectResult.load();
    }
    int Publish(void*, const char* mode) override {
        r_->Call(std::string("publish ") + mode);
        return r_->publishResult.load();
    }
    int GetState(void*) override { return r_->state.load(); }
    int SendStream(void*, const uint8_t* data, int length, int ts, int type) override {
        std::lock_guard<std::mutex> lock(r_->mutex);
        r_->sent.push_back({type, ts, length, length > 4 && (data[4] & 0x1F) == 5});
        return 1;
    }
    int Disconnect(void*) override {
        r_->Call("disconnect");
        r_->state.store(0);
        return 1;
    }
    void* CreateMetaData() override { return r_; }
    int AddMetaDataDouble(void* m, const char* name, double v) override {
        return AddMetaDataString(m, name, std::to_string(static_cast<int>(v)).c_str());
    }
    int AddMetaDataString(void*, const char* name, const char* v) override {
        r_->Call(std::string(name) + "=" + v);
        return 1;
    }
    int ApplyMetaData(void*, void*) override {
        const bool up = r_->state.load() != 0;
        r_->Call(up ? "metadata" : "metadata freed unsent");
        return up ? 1 : 0;
    }
    RtmpRecord* r_;
};

struct FakeClock final : TickClock {
    explicit FakeClock(std::atomic<uint32_t>* now) : now_(now) {}
    uint32_t NowMs() override { return now_->load(); }
    std::atomic<uint32_t>* now_;
};

struct EncoderRecord {
    std::atomic<int> opened{0}, closed{0}, keyRequests{0}, encoded{0}, converted{0}, bitrate{0},
        audioClosed{0};
    std::vector<uint8_t> lastInput;  // the picture encoded last
    // Clock the encoder double advances per encoded frame (its cost), when set.
    std::atomic<uint32_t>* clock = nullptr;
    uint32_t costMs = 0;
    // Pictures held back before the first comes out, as an encoder with frame threads does.
    int delayPictures = 0;
    // How long opening the video encoder takes.
    std::chrono::milliseconds openTime{0};
};

// Encodes each frame as one 50-byte Annex B slice, IDR for the first frame and for every frame
// after a key request, filled with the first byte of the picture.
struct FakeVideo final : VideoEncoder {
    explicit FakeVideo(EncoderRecord* r) : r_(r) {}
    bool Open(const EncoderConfig& c) override {
        r_->opened.fetch_add(1);
        std::this_thread::sleep_for(r_->openTime);
        size_ = c.width * c.height * 3;
        return true;
    }
    int FrameSize() const override { return size_; }
    bool Encode(const uint8_t* frame, const uint8_t** data, int* length) override {
        if (frame != nullptr) {
            r_->converted.fetch_add(1);
            r_->lastInput.assign(frame, frame + size_);
        }
        if (r_->clock != nullptr)
            r_->clock->fetch_add(r_->costMs);
        const bool key = r_->encoded.fetch_add(1) == 0 || std::exchange(keyNext_, false);
        held_.push_back({0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41)});
        held_.back().resize(50, r_->lastInput.empty() ? 0 : r_->lastInput[0]);
        const bool out = static_cast<int>(held_.size()) > r_->delayPictures;
        if (out) {
            out_ = std::move(held_.front());
            held_.pop_front();
        }
        *data = out ? out_.data() : nullptr;
        *length = out ? static_cast<int>(out_.size()) : 0;
        return true;
    }
    void RequestKeyFrame() override {
        r_->keyRequests.fetch_add(1);
        keyNext_ = true;
    }
    bool SetBitrate(int kbps) override {
        r_->bitrate.store(kbps);
        return true;
    }
    void Close() override { r_->closed.fetch_add(1); }
    EncoderRecord* r_;
    int size_ = 0;
    std::vector<uint8_t> out_;
    std::deque<std::vector<uint8_t>> held_;
    bool keyNext_ = false;
};

// Gives a 20-byte frame for every block of 1024 samples per channel.
struct FakeAudio final : AudioEncoder {
    explicit FakeAudio(EncoderRecord* r) : r_(r) {}
    bool Open(int, int, int channels) override {
        input_.assign(2048 * static_cast<size_t>(channels), 0);
        return true;
    }
    int SamplesPerCall() const override { return static_cast<int>(input_.size() / 2); }
    int PrimingSamples() const override { return 1024; }
    uint8_t* Input() override { return input_.data(); }
    void Encode(const uint8_t** data, int* length) override {
        out_.assign(20, 0xAA);
        *data = out_.data();
        *length = 20;
    }
    void Close() override { r_->audioClosed.fetch_add(1); }
    EncoderRecord* r_;
    std::vector<uint8_t> input_, out_;
};

}  // namespace ocelix::testing
