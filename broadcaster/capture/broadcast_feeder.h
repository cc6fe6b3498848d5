// One broadcast: fills the encoder's configuration, starts the encoder library, the frame
// timer, the camera and the microphone as the video style asks, composes each frame and hands
// frames and audio blocks to the encoder.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "basis/periodic_timer.h"
#include "capture/audio_level_meter.h"
#include "capture/broadcast_settings.h"
#include "capture/capture_audio.h"
#include "capture/capture_video.h"
#include "capture/preview_picture.h"
#include "capture/screen_capture_choice.h"
#include "capture/silence_watch.h"
#include "capture/sinks.h"
#include "ocelix/ocelix.h"

namespace capture {

// Brings the top-left width x height of the screen into a bottom-up BGR buffer. Returns true when
// `dst` was rewritten with a new picture, false when it was left as it was (the screen did not
// change, or it could not be read). The feeder passes the same buffer each time, holding what the
// previous call left there, so a grabber may rewrite only what changed.
using ScreenGrabFn = std::function<bool(uint8_t* dst, int width, int height)>;

struct FeederDevices {
    std::unique_ptr<CCaptureVideo> camera;
    std::unique_ptr<CCaptureAudio> audio;
    ScreenGrabFn grabScreen;
    // Optional: prepares the screen when a broadcast that shows it starts (false stops the
    // start; the reason was told to the user) and ends it at stop.
    std::function<bool()> openScreen;
    std::function<void()> closeScreen;
    // Whether opening the screen asks the user (the desktop's sharing dialog): such a screen is
    // opened for a broadcast only.
    bool screenAsksUser = false;
};
// The real camera, microphone and screen (the grabber chosen by screen); failure texts go to
// messages.
FeederDevices DefaultFeederDevices(MessageSink* messages, const ScreenCaptureOptions& screen = {});

class CBroadcastFeeder final : public CameraFrameSink, public AudioSink, public basis::CMMTimer {
  public:
    CBroadcastFeeder(const BroadcastSettings* settings, FeederDevices devices);
    ~CBroadcastFeeder() override;
    CBroadcastFeeder(const CBroadcastFeeder&) = delete;
    CBroadcastFeeder& operator=(const CBroadcastFeeder&) = delete;

    // 1 when broadcasting started, 0 when the encoder instance did not start. The preview gets
    // the pictures as they go out (the camera's own frames when the camera alone goes out), the
    // meter the microphone's blocks; either may be null. Both must outlive the broadcast.
    int Start(PreviewSink* preview, AudioLevelMeter* meter = nullptr);
    int Stop();
    bool Running() const { return running_.load(); }
    // What the capture devices delivered so far, for the window's status line.
    bool UsesCamera() const;
    bool AudioCapturing() const { return audioCapturing_.load(); }
    // The microphone has delivered nothing but silence for SilenceWatch::kDefaultSeconds.
    bool MicrophoneSilent() const { return silence_.Silent(); }
    uint64_t AudioBlocks() const { return audioBlocks_.load(); }
    uint64_t CameraFrames() const { return cameraFrames_.load(); }
    // Whether the last Start failed because the screen could not be shared.
    bool ScreenRefused() const { return screenRefused_.load(); }
    // The encoder instance, for progress (OCELIX_GetStats); null before Start.
    void* Encoder() const { return encoder_; }
    // How the encoder's last connection attempt ended (OCELIX_CONNECT_*), also after a start
    // that failed; OCELIX_CONNECT_FAILED without an encoder.
    int ConnectError() const;
    // The local copy as the encoder reports it (state OFF before Start and when none was asked
    // for); a path the encoder refused reads as failed, with that path.
    OcelixLocalCopy LocalCopy() const;
    const EncoderConfig& Config() const { return config_; }

    void OnVideoFrame(double sampleTime, const uint8_t* data, int length) override;
    void OnAudioData(const uint8_t* data, int length) override;

  protected:
    void OnTimer() override;

  private:
    int FrameRate() const;
    int ScreenRate() const;
    void StartCamera(PreviewSink* preview);
    // Shows the frame that just went out, or went out last, when the preview is due.
    void PreviewTick(const FrameImage& frame, bool handedIn);

    const BroadcastSettings* settings_;
    FeederDevices devices_;
    std::atomic<bool> running_{false};
    std::atomic<bool> audioCapturing_{false};
    std::atomic<uint64_t> audioBlocks_{0};
    SilenceWatch silence_;
    std::atomic<uint64_t> cameraFrames_{0};
    std::atomic<bool> screenRefused_{false};
    bool screenOpen_ = false;
    void* encoder_ = nullptr;
    EncoderConfig config_{};
    std::mutex frameLock_;
    std::vector<uint8_t> cameraFrame_;  // guarded by frameLock_
    bool cameraChanged_ = false;        // a camera frame came since the last composed frame
    std::vector<uint8_t> screenFrame_;  // frame-timer thread only, as the grabber left it
    std::vector<uint8_t> scaleSource_;  // frame-timer thread only: the resizer spends its source
    std::vector<uint8_t> insetFrame_;   // frame-timer thread only
    bool videoSent_ = false;            // a frame went to the encoder in this broadcast
    bool copyRefused_ = false;          // the encoder took no local copy at settings' path
    PreviewSink* preview_ = nullptr;
    PreviewPicture previewPicture_;  // frame-timer thread only
    AudioLevelMeter* meter_ = nullptr;
};

// Inset sizes of the picture-in-picture styles, computed as the feeder computes them.
struct InsetSize {
    int width = 0;
    int height = 0;
};
InsetSize CameraInsetSize(const BroadcastSettings& s, int screenRate);
InsetSize ScreenInsetSize(const BroadcastSettings& s, int screenRate);

}  // namespace capture
