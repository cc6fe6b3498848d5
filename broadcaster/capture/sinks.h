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

// Receives every camera frame for the preview, whatever the frame sink's state, on the camera
// streaming thread. The picture is width x height, packed BGR, rows bottom-up.
class PreviewSink {
  public:
    virtual ~PreviewSink() = default;
    virtual void OnPreviewFrame(const uint8_t* bgrBottomUp, int width, int height) = 0;
};

}  // namespace capture
