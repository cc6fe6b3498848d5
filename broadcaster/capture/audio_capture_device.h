#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace capture {

// PCM format of a capture: interleaved, little-endian.
struct AudioFormat {
    int samplesPerSec = 0;
    int bitsPerSample = 0;
    int channels = 0;

    // Bytes of one frame (one sample of every channel).
    int BlockAlign() const { return channels * (bitsPerSample / 8); }
    int AvgBytesPerSec() const { return BlockAlign() * samplesPerSec; }
};

// What the audio capture needs of a sound-capture device. Open, Configure, Start, Stop and
// Close run on one thread while no Wait/Read is in progress; Wait and Read run on the
// notification thread; Wake may be called from any thread.
class AudioCaptureDevice {
  public:
    enum class WaitResult { kReady = 1, kWoken, kTimeout, kError };

    virtual ~AudioCaptureDevice() = default;

    // Opens the named capture device; false when it does not exist or cannot be opened.
    virtual bool Open(const std::string& name) = 0;
    // Sets the format and a capture buffer of periodCount periods of periodBytes each.
    virtual bool Configure(const AudioFormat& format, uint32_t periodBytes,
                           uint32_t periodCount) = 0;
    // Starts capturing.
    virtual bool Start() = 0;
    // Waits until at least one period is waiting, Wake is called or timeoutMs passes.
    virtual WaitResult Wait(int timeoutMs) = 0;
    // Ends a Wait in progress (or the next one) early.
    virtual void Wake() = 0;
    // Copies waiting captured bytes into dest without blocking, never more than maxBytes:
    // returns the bytes copied (0 when nothing is waiting) or -1 on a failure it could not
    // recover from.
    virtual int64_t Read(uint8_t* dest, uint32_t maxBytes) = 0;
    // Stops capturing; what was not read is dropped.
    virtual bool Stop() = 0;
    // Releases the device; safe to call when not open.
    virtual void Close() = 0;
};

// The system's implementation: ALSA on Linux (platform/alsa_capture_device.cpp), WASAPI on
// Windows (platform/wasapi_capture_device_win.cpp).
std::unique_ptr<AudioCaptureDevice> MakeSystemCaptureDevice();

}  // namespace capture
