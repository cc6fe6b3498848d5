// What the window captures while nothing is broadcast: the microphone for the level meter, so
// that the teacher can try it before the lesson, and for the preview the picture a start would
// send, the camera for the camera picture types and the screen for the others. Everything is
// released before a broadcast opens the devices itself.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/audio_level_meter.h"
#include "capture/broadcast_feeder.h"
#include "capture/screen_preview.h"

namespace app {

class PreviewBridge;

struct IdleChoice {
    // The preview: the camera at this position of the camera list, or the screen.
    bool camera = false;
    int cameraIndex = -1;
    int videoWidth = 0;
    int videoHeight = 0;
    int frameRate = 0;
    int screenWidth = 0;
    int screenHeight = 0;
    // The meter: the microphone (nullopt: none chosen), or nothing when sound is not sent.
    bool microphone = false;
    std::optional<std::string> audioDevice;
    int samplesPerSec = 0;
    int bitsPerSample = 0;
    int channels = 0;
};

class IdleDevices {
  public:
    using MakeDevices = std::function<capture::FeederDevices()>;

    // The preview and the meter must outlive this object.
    IdleDevices(PreviewBridge* preview, capture::AudioLevelMeter* meter);
    ~IdleDevices();
    IdleDevices(const IdleDevices&) = delete;
    IdleDevices& operator=(const IdleDevices&) = delete;

    // Captures what the choice asks for; a part that did not change goes on as it was. Devices
    // come from make (a screen that asks the user first is not opened), and what cannot be
    // opened stays closed without a word: the preview shows its placeholder, the meter nothing.
    void Open(const IdleChoice& choice, const MakeDevices& make);
    // Releases every device.
    void Close();

    bool PreviewRunning() const { return camera_ != nullptr || screen_.TimerRunning(); }
    bool CameraRunning() const { return camera_ != nullptr; }
    bool MicrophoneRunning() const { return microphone_ != nullptr; }

  private:
    void ClosePreview();
    void CloseMicrophone();
    bool OpenPreview(const IdleChoice& choice, capture::FeederDevices& devices);
    bool OpenMicrophone(const IdleChoice& choice, capture::FeederDevices& devices);

    PreviewBridge* preview_;
    capture::AudioLevelMeter* meter_;
    std::optional<IdleChoice> previewFor_;
    std::optional<IdleChoice> microphoneFor_;
    std::unique_ptr<capture::CCaptureVideo> camera_;
    capture::ScreenPreview screen_;
    std::function<void()> closeScreen_;
    std::unique_ptr<capture::CCaptureAudio> microphone_;
};

}  // namespace app
