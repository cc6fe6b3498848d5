#pragma once

#include <cstdint>

#include "capture/message_sink.h"

namespace capture {

// Receives the microphone's PCM, whole blocks of the configured block size, on the audio
// notification thread.
class AudioSink {
  public:
    virtual ~AudioSink() = default;
    virtual void OnAudioData(const uint8_t* data, int length) = 0;
};

// Receives camera frames (packed BGR, rows bottom-up, width * 3 bytes a row) on the camera
// streaming thread. sampleTime is in seconds from the first frame of the stream.
class CameraFrameSink {
  public:
    virtual ~CameraFrameSink() = default;
    virtual void OnVideoFrame(double sampleTime, const uint8_t* data, int length) = 0;
};

// The size of the box a preview shows its pictures in, in pixels; 0 x 0 when not known.
struct PreviewBox {
    int width = 0;
    int height = 0;
};

// Receives the pictures of the preview on the capture threads: every camera frame of a camera
// that was given the sink, whatever the frame sink's state, and the pictures the broadcast sends,
// made small for the box. The picture is width x height, packed BGR, rows bottom-up, and may be
// reused as soon as the call returns.
class PreviewSink {
  public:
    virtual ~PreviewSink() = default;
    virtual void OnPreviewFrame(const uint8_t* bgrBottomUp, int width, int height) = 0;
    // The box the pictures are shown in; any thread.
    virtual PreviewBox Box() const { return {}; }
};

}  // namespace capture
