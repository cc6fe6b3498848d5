#include "capture/capture_audio.h"

#include <utility>

#include "basis/thread_name.h"

namespace capture {
namespace {

// The notification thread looks at its running flag at least this often.
constexpr int kWaitTimeoutMs = 200;

}  // namespace

CCaptureAudio::CCaptureAudio(std::unique_ptr<AudioCaptureDevice> device, MessageSink* messages)
    : device_(std::move(device)), messages_(messages) {}

CCaptureAudio::~CCaptureAudio() {
    Stop();
}

void CCaptureAudio::SetFormat(int samplesPerSec, int bitsPerSample, int channels) {
    format_.samplesPerSec = samplesPerSec;
    format_.bitsPerSample = bitsPerSample;
    format_.channels = channels;
}

bool CCaptureAudio::Open(const std::optional<std::string>& identity) {
    if (!identity.has_value()) {
        return false;
    }
    if (running_) {
        return true;
    }
    if (capturing_) {
        device_->Stop();
        capturing_ = false;
    }
    pcmName_ = identity->empty() ? std::string(kPrimaryCapturePcm) : *identity;
    offsets_.fill(0);
    bufferSize_ = 0;
    blockSize_ = 0;
    device_->Close();
    opened_ = device_->Open(pcmName_);
    return opened_;
}

int CCaptureAudio::Start(int run, AudioSink* sink) {
    sink_ = sink;
    if (run == 0) {
        if (capturing_) {
            std::this_thread::sleep_for(finalWait_);
        }
        EndNotificationThread();
        if (capturing_) {
            FillFromDevice();
            const bool stopped = device_->Stop();
            capturing_ = false;
            if (stopped) {
                DeliveryStep();
            }
        }
        return 0;
    }
    if (capturing_ || thread_.joinable() || !opened_) {
        return 1;
    }
    running_ = true;
    bufferSize_ = 0;
    offsets_.fill(0);
    if (!ring_.Reset(blockSize_) ||
        !device_->Configure(format_, blockSize_, AudioLoopingBuffer::kBlockCount)) {
        running_ = false;
        return 1;
    }
    bufferSize_ = ring_.BufferBytes();
    for (uint32_t i = 0; i < AudioLoopingBuffer::kBlockCount; ++i) {
        offsets_[i] = ring_.NotificationOffset(i);
    }
    if (!device_->Start()) {
        running_ = false;
        return 1;
    }
    capturing_ = true;
    thread_ = std::thread([this] { NotificationLoop(); });
    return 0;
}

bool CCaptureAudio::Stop() {
    EndNotificationThread();
    if (capturing_) {
        device_->Stop();
        capturing_ = false;
    }
    device_->Close();
    opened_ = false;
    return true;
}

void CCaptureAudio::EndNotificationThread() {
    running_ = false;
    if (thread_.joinable()) {
        device_->Wake();
        thread_.join();
    }
}

void CCaptureAudio::NotificationLoop() {
    basis::NameThisThread("audio-notify");
    while (running_) {
        const AudioCaptureDevice::WaitResult waited = device_->Wait(kWaitTimeoutMs);
        if (!running_) {
            break;
        }
        if (waited == AudioCaptureDevice::WaitResult::kTimeout ||
            waited == AudioCaptureDevice::WaitResult::kWoken) {
            continue;
        }
        if (waited == AudioCaptureDevice::WaitResult::kError || !FillFromDevice()) {
            running_ = false;
            if (messages_ != nullptr) {
                messages_->ShowMessage(kNotificationErrorText);
            }
            break;
        }
        DeliveryStep();
    }
}

// Moves what the device holds into the looping buffer, wrapping at its end, until the device
// has nothing more or the buffer has no room. False when the device failed.
bool CCaptureAudio::FillFromDevice() {
    for (;;) {
        const std::span<uint8_t> region = ring_.WritableRegion();
        if (region.empty()) {
            return true;
        }
        const int64_t got = device_->Read(region.data(), static_cast<uint32_t>(region.size()));
        if (got < 0) {
            return false;
        }
        if (got == 0 || !ring_.Commit(static_cast<uint32_t>(got))) {
            return true;
        }
        if (static_cast<uint64_t>(got) < region.size()) {
            return true;
        }
    }
}

void CCaptureAudio::DeliveryStep() {
    const AudioLoopingBuffer::Parts parts = ring_.TakeWholeBlocks();
    AudioSink* const sink = sink_;
    if (sink == nullptr) {
        return;
    }
    for (int i = 0; i < parts.count; ++i) {
        const AudioLoopingBuffer::Part& part = parts.part[static_cast<size_t>(i)];
        if (!deliverSingleBlocks_) {
            sink->OnAudioData(part.data, static_cast<int>(part.length));
            continue;
        }
        for (uint32_t at = 0; at < part.length; at += ring_.BlockBytes()) {
            sink->OnAudioData(part.data + at, static_cast<int>(ring_.BlockBytes()));
        }
    }
}

}  // namespace capture
