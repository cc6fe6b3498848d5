// Test doubles for the audio capture: a device fed by the test, a sink and a message sink that
// record what reaches them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "capture/audio_capture_device.h"
#include "capture/sinks.h"
#include "support/child_process.h"

namespace capture::test {

// What the test sees of a FakeAudioDevice after handing it to a CCaptureAudio.
struct FakeAudioState {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint8_t> pending;  // captured bytes not yet read
    bool woken = false;
    std::atomic<bool> holdWaits = false;  // Wait never reports data (the thread stays asleep)
    bool failOpen = false;
    bool failRead = false;
    std::atomic<int> waitsInProgress = 0;
    int callsDuringWait = 0;  // Stop and Close calls while a Wait was in progress
    std::vector<std::string> opened;
    std::tuple<AudioFormat, uint32_t, uint32_t> configured;  // format, period bytes and count
    int starts = 0;
    int stops = 0;
    int closes = 0;
    int wakes = 0;

    void Push(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        pending.insert(pending.end(), bytes.begin(), bytes.end());
        changed.notify_all();
    }
};

// Open, Configure and Start come from the thread that starts the capture, before its notification
// thread runs: they take no lock.
class FakeAudioDevice final : public AudioCaptureDevice {
  public:
    explicit FakeAudioDevice(std::shared_ptr<FakeAudioState> state) : state_(std::move(state)) {}

    bool Open(const std::string& name) override {
        state_->opened.push_back(name);
        return !state_->failOpen;
    }
    bool Configure(const AudioFormat& format, uint32_t periodBytes, uint32_t periodCount) override {
        state_->configured = {format, periodBytes, periodCount};
        return true;
    }
    bool Start() override {
        ++state_->starts;
        return true;
    }
    WaitResult Wait(int timeoutMs) override {
        std::unique_lock<std::mutex> lock(state_->mutex);
        ++state_->waitsInProgress;
        const bool any = state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return state_->woken || (!state_->holdWaits && !state_->pending.empty());
        });
        --state_->waitsInProgress;
        if (state_->woken) {
            state_->woken = false;
            return WaitResult::kWoken;
        }
        return any ? WaitResult::kReady : WaitResult::kTimeout;
    }
    void Wake() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->woken = true;
        ++state_->wakes;
        state_->changed.notify_all();
    }
    int64_t Read(uint8_t* dest, uint32_t maxBytes) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->failRead)
            return -1;
        const size_t n = std::min<size_t>(maxBytes, state_->pending.size());
        std::copy(state_->pending.begin(), state_->pending.begin() + static_cast<long>(n), dest);
        state_->pending.erase(state_->pending.begin(),
                              state_->pending.begin() + static_cast<long>(n));
        return static_cast<int64_t>(n);
    }
    bool Stop() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->stops;
        state_->callsDuringWait += state_->waitsInProgress > 0;
        return true;
    }
    void Close() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->closes;
        state_->callsDuringWait += state_->waitsInProgress > 0;
    }

  private:
    std::shared_ptr<FakeAudioState> state_;
};

// What a sink was handed, in order, for a test on another thread to read.
template <typename T>
class Recorder {
  public:
    void Add(T item) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(item));
    }
    std::vector<T> Items() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }

  private:
    std::mutex mutex_;
    std::vector<T> items_;
};

// Records every call with its bytes.
class RecordingAudioSink final : public AudioSink, Recorder<std::vector<uint8_t>> {
  public:
    void OnAudioData(const uint8_t* data, int length) override {
        Add({data, data + length});
        bytes_ += static_cast<size_t>(length);
    }
    // Waits up to timeout until at least `bytes` bytes arrived.
    bool WaitForBytes(size_t bytes, std::chrono::milliseconds timeout) {
        return rtmp::test::WaitUntil([&] { return bytes_ >= bytes; }, timeout);
    }
    std::vector<std::vector<uint8_t>> Calls() { return Items(); }

  private:
    std::atomic<size_t> bytes_{0};
};

class RecordingMessageSink final : public MessageSink, Recorder<std::string> {
  public:
    void ShowMessage(const std::string& text) override { Add(text); }
    std::vector<std::string> Texts() { return Items(); }
};

// count bytes of a stream that repeats only every 251 bytes, from its byte `first` on: no block of
// a power-of-two size equals another or a shifted one, and a looping buffer of such a size holds
// different bytes at the same place on each round.
inline std::vector<uint8_t> Pattern(size_t count, size_t first) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(first++ % 251);
    return bytes;
}

}  // namespace capture::test
