#include "app/idle_devices.h"

#include <tuple>

#include "app/preview_bridge.h"

namespace app {
namespace {

// A block of the microphone: as many frames as the encoder's sound frames hold.
constexpr int kFramesPerBlock = 1024;

auto PreviewPart(const IdleChoice& c) {
    return c.camera
               ? std::tuple(true, c.cameraIndex, c.videoWidth, c.videoHeight, c.frameRate, 0, 0)
               : std::tuple(false, 0, 0, 0, 0, c.screenWidth, c.screenHeight);
}

auto MicrophonePart(const IdleChoice& c) {
    return c.microphone
               ? std::tuple(true, c.audioDevice, c.samplesPerSec, c.bitsPerSample, c.channels)
               : std::tuple(false, std::optional<std::string>(), 0, 0, 0);
}

}  // namespace

IdleDevices::IdleDevices(PreviewBridge* preview, capture::AudioLevelMeter* meter)
    : preview_(preview), meter_(meter) {}

IdleDevices::~IdleDevices() {
    Close();
}

void IdleDevices::Open(const IdleChoice& choice, const MakeDevices& make) {
    const bool previewSame = previewFor_ && PreviewPart(*previewFor_) == PreviewPart(choice);
    const bool microphoneSame =
        microphoneFor_ && MicrophonePart(*microphoneFor_) == MicrophonePart(choice);
    if (previewSame && microphoneSame)
        return;
    capture::FeederDevices devices = make();
    if (!previewSame) {
        ClosePreview();
        previewFor_ = choice;
        if (!OpenPreview(choice, devices))
            preview_->ShowPlaceholder();
    }
    if (!microphoneSame) {
        CloseMicrophone();
        microphoneFor_ = choice;
        OpenMicrophone(choice, devices);
    }
}

void IdleDevices::Close() {
    ClosePreview();
    CloseMicrophone();
}

void IdleDevices::ClosePreview() {
    previewFor_.reset();
    if (camera_) {
        camera_->Stop();
        camera_.reset();
    }
    screen_.Stop();
    if (closeScreen_) {
        closeScreen_();
        closeScreen_ = nullptr;
    }
}

void IdleDevices::CloseMicrophone() {
    microphoneFor_.reset();
    if (microphone_) {
        microphone_->Stop();
        microphone_.reset();
    }
}

bool IdleDevices::OpenPreview(const IdleChoice& choice, capture::FeederDevices& devices) {
    if (choice.camera) {
        if (!devices.camera ||
            devices.camera->Start(choice.cameraIndex, preview_, choice.videoWidth,
                                  choice.videoHeight, choice.frameRate) != 0)
            return false;
        camera_ = std::move(devices.camera);
        return true;
    }
    if (devices.screenAsksUser || !devices.grabScreen ||
        (devices.openScreen && !devices.openScreen()))
        return false;
    closeScreen_ = std::move(devices.closeScreen);
    return screen_.Start(std::move(devices.grabScreen), choice.screenWidth, choice.screenHeight,
                         preview_);
}

bool IdleDevices::OpenMicrophone(const IdleChoice& choice, capture::FeederDevices& devices) {
    if (!choice.microphone || !devices.audio)
        return false;
    devices.audio->SetFormat(choice.samplesPerSec, choice.bitsPerSample, choice.channels);
    if (!devices.audio->Open(choice.audioDevice))
        return false;
    const int frameBytes = devices.audio->Format().BlockAlign();
    if (frameBytes <= 0)
        return false;
    devices.audio->SetBlockSize(static_cast<uint32_t>(kFramesPerBlock * frameBytes));
    meter_->SetFormat(choice.bitsPerSample, choice.channels);
    if (devices.audio->Start(1, meter_) != 0) {
        devices.audio->Stop();
        return false;
    }
    microphone_ = std::move(devices.audio);
    return true;
}

}  // namespace app
