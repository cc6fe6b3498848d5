// What an encoder instance works with: the RTMP client, a millisecond clock and the two
// encoders. The defaults are the real ones; tests put fakes in their place.
#pragma once

#include <cstdint>
#include <memory>

#include "local_copy.h"
#include "ocelix/ocelix.h"

namespace ocelix {

class RtmpLayer {
  public:
    virtual ~RtmpLayer() = default;
    virtual void* Create() = 0;
    virtual void Release(void* handle) = 0;
    virtual int Connect(void* handle, const char* url) = 0;
    virtual int Publish(void* handle, const char* mode) = 0;
    virtual int GetState(void* handle) = 0;
    virtual int SendStream(void* handle, const uint8_t* data, int length, int timestamp,
                           int type) = 0;
    virtual int Disconnect(void* handle) = 0;
    virtual void* CreateMetaData() = 0;
    virtual int AddMetaDataDouble(void* metadata, const char* name, double value) = 0;
    virtual int AddMetaDataString(void* metadata, const char* name, const char* value) = 0;
    // Sends and frees the metadata; frees it also without a connection.
    virtual int ApplyMetaData(void* handle, void* metadata) = 0;
    // Authorities trusted for rtmps:// besides the system's, for the handle's next connect.
    virtual int SetTlsCaFile(void* /*handle*/, const char* /*path*/) { return 1; }
    // Why the handle's last connect failed (OCELIX_CONNECT_*, which the library's kinds equal).
    virtual int LastConnectError(void* /*handle*/) { return OCELIX_CONNECT_FAILED; }
};

class TickClock {
  public:
    virtual ~TickClock() = default;
    // 32-bit millisecond tick count; wraps.
    virtual uint32_t NowMs() = 0;
};

class VideoEncoder {
  public:
    virtual ~VideoEncoder() = default;
    virtual bool Open(const EncoderConfig& config) = 0;
    // Bytes of one input frame.
    virtual int FrameSize() const = 0;
    // Encodes `frame` (FrameSize bytes, held by the caller); a null frame encodes the previous
    // picture again without converting it anew. *data/*length describe one Annex B access unit
    // (length 0: none), valid until the next call. False when the picture could not be encoded:
    // it then never comes out.
    virtual bool Encode(const uint8_t* frame, const uint8_t** data, int* length) = 0;
    virtual void RequestKeyFrame() = 0;
    // A new target bit rate in kbit/s from the next picture on; false when the encoder does not
    // work to a bit rate.
    virtual bool SetBitrate(int kbps) = 0;
    virtual void Close() = 0;
};

class AudioEncoder {
  public:
    virtual ~AudioEncoder() = default;
    virtual bool Open(int samplesPerSec, int bitsPerSample, int channels) = 0;
    // Samples (all channels) one Encode consumes.
    virtual int SamplesPerCall() const = 0;
    // Encoder delay in samples per channel: the n-th frame out (from 0) starts with input sample
    // n x (SamplesPerCall / channels) - PrimingSamples.
    virtual int PrimingSamples() const = 0;
    virtual uint8_t* Input() = 0;
    // Encodes the input; *data/*length describe one ADTS frame (length 0: none yet).
    virtual void Encode(const uint8_t** data, int* length) = 0;
    virtual void Close() = 0;
};

struct Backends {
    // Shared: a connection attempt abandoned at stop finishes with it after the instance is gone.
    std::shared_ptr<RtmpLayer> rtmp;
    std::unique_ptr<TickClock> clock;
    std::unique_ptr<VideoEncoder> video;
    std::unique_ptr<AudioEncoder> audio;
    // Tests drive the worker steps themselves: no frame clock and no threads are started.
    bool manualThreads = false;
    // How often the watchdog looks at the connection, and how long it gives one attempt to
    // connect and publish before it gives up on it (tests shorten them).
    int watchdogPeriodMs = 2000;
    int attemptDeadlineMs = 6000;
    // Bounds of the local copy's queue and disk (tests narrow them).
    LocalCopyLimits copyLimits{};
};

std::unique_ptr<RtmpLayer> MakeStreamRtmpLayer();
std::unique_ptr<TickClock> MakeSteadyTickClock();
std::unique_ptr<VideoEncoder> MakeH264Encoder();
std::unique_ptr<AudioEncoder> MakeAacEncoder();

// The RTMP library, the steady clock, and the H.264 and AAC encoder components.
Backends DefaultBackends();

}  // namespace ocelix
