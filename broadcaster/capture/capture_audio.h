#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "capture/audio_capture_device.h"
#include "capture/audio_device_list.h"
#include "capture/audio_looping_buffer.h"
#include "capture/sinks.h"

namespace capture {

// Records the microphone into a looping buffer of 16 blocks and hands whole blocks, in order,
// to an audio sink from a notification thread of its own.
//
// Use: SetFormat, Open, SetBlockSize, Start(1, sink) ... Start(0, sink), Stop. Open, Start and
// Stop run on one (the user-interface) thread; the sink is called on the notification thread,
// and by Start(0) on the calling thread for the last blocks.
class CCaptureAudio {
  public:
    static constexpr const char* kNotificationErrorText =
        "Error handling audio capture notifications.";

    explicit CCaptureAudio(std::unique_ptr<AudioCaptureDevice> device = MakeSystemCaptureDevice(),
                           MessageSink* messages = nullptr);
    ~CCaptureAudio();
    CCaptureAudio(const CCaptureAudio&) = delete;
    CCaptureAudio& operator=(const CCaptureAudio&) = delete;

    void SetFormat(int samplesPerSec, int bitsPerSample, int channels);
    const AudioFormat& Format() const { return format_; }

    // Opens a capture device. nullopt (no entry chosen) fails; an empty identity is the primary
    // device, which opens the PCM "default"; any other identity is a PCM name. While capturing,
    // returns true and changes nothing.
    bool Open(const std::optional<std::string>& identity);

    // Bytes per block; set between Open and Start.
    void SetBlockSize(uint32_t bytes) { blockSize_ = bytes; }
    uint32_t BlockSize() const { return blockSize_; }
    uint32_t BufferSize() const { return bufferSize_; }
    // Where each block of the looping buffer ends (last byte of the block).
    std::array<uint32_t, AudioLoopingBuffer::kBlockCount> NotificationOffsets() const {
        return offsets_;
    }

    // run 1: starts capturing into sink; returns 0, or 1 when the device could not be set up
    // or a capture is already running. run 0: after the final wait, ends the notification
    // thread, stops the capture and hands the last whole blocks to sink; returns 0.
    int Start(int run, AudioSink* sink);

    // Ends the notification thread, then stops and releases the device.
    bool Stop();

    // How long Start(0) lets the capture go on before it stops it (500 ms unless changed).
    void SetFinalWait(std::chrono::milliseconds wait) { finalWait_ = wait; }
    // true (the default): a delivery of several blocks reaches the sink one block per call, as
    // the encoder takes single blocks only. false: each contiguous part in one call.
    void SetDeliverSingleBlocks(bool single) { deliverSingleBlocks_ = single; }

    bool IsCapturing() const { return capturing_; }

  private:
    void NotificationLoop();
    bool FillFromDevice();
    void DeliveryStep();
    void EndNotificationThread();

    std::unique_ptr<AudioCaptureDevice> device_;
    MessageSink* messages_ = nullptr;
    std::atomic<bool> running_{false};
    uint32_t blockSize_ = 0;
    AudioFormat format_;
    bool opened_ = false;
    bool capturing_ = false;
    std::string pcmName_;
    std::array<uint32_t, AudioLoopingBuffer::kBlockCount> offsets_{};
    uint32_t bufferSize_ = 0;
    AudioLoopingBuffer ring_;
    std::atomic<AudioSink*> sink_{nullptr};
    std::chrono::milliseconds finalWait_{500};
    bool deliverSingleBlocks_ = true;
    std::thread thread_;
};

}  // namespace capture
