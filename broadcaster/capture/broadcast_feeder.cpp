#include "capture/broadcast_feeder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "capture/frame_image.h"
#include "capture/platform/system_error.h"
#include "capture/screen_grabber.h"

namespace capture {
namespace {

constexpr int kFormatBgr24BottomUp = 4103;

size_t FrameBytes(int width, int height) {
    return width > 0 && height > 0 ? static_cast<size_t>(width) * static_cast<size_t>(height) * 3
                                   : 0;
}

void LogLine(const char* text) {
    std::fprintf(stderr, "%s\n", text);
}

}  // namespace

FeederDevices DefaultFeederDevices(MessageSink* messages, const ScreenCaptureOptions& screen) {
    FeederDevices d;
    d.camera = std::make_unique<CCaptureVideo>(MakeSystemVideoDeviceLayer(), messages);
    d.audio = std::make_unique<CCaptureAudio>(MakeSystemCaptureDevice(), messages);
    ScreenDevice device = MakeScreenDevice(screen, messages);
    d.grabScreen = std::move(device.grab);
    d.openScreen = std::move(device.open);
    d.closeScreen = std::move(device.close);
    d.screenAsksUser = device.asksUser;
    return d;
}

InsetSize CameraInsetSize(const BroadcastSettings& s, int screenRate) {
    InsetSize inset;
    if (s.VideoHeight <= 0 || screenRate <= 0)
        return inset;
    inset.height =
        static_cast<int>(static_cast<unsigned>(s.ScreenHeight) / static_cast<unsigned>(screenRate));
    const unsigned aspect =
        static_cast<unsigned>(s.VideoWidth) * 100u / static_cast<unsigned>(s.VideoHeight);
    inset.width = static_cast<int>(aspect * static_cast<unsigned>(inset.height) / 100u);
    return inset;
}

InsetSize ScreenInsetSize(const BroadcastSettings& s, int screenRate) {
    InsetSize inset;
    if (s.ScreenWidth <= 0 || screenRate <= 0)
        return inset;
    inset.width =
        static_cast<int>(static_cast<unsigned>(s.VideoWidth) / static_cast<unsigned>(screenRate));
    const unsigned aspect =
        static_cast<unsigned>(s.ScreenHeight) * 100u / static_cast<unsigned>(s.ScreenWidth);
    inset.height = static_cast<int>(aspect * static_cast<unsigned>(inset.width) / 100u);
    return inset;
}

CBroadcastFeeder::CBroadcastFeeder(const BroadcastSettings* settings, FeederDevices devices)
    : settings_(settings), devices_(std::move(devices)) {
    cameraFrame_.assign(FrameBytes(settings_->VideoWidth, settings_->VideoHeight), 0);
    screenFrame_.assign(FrameBytes(settings_->ScreenWidth, settings_->ScreenHeight), 0);
    insetFrame_.assign(screenFrame_.size(), 0);
    if (settings_->VideoStyle == STYLE_CAMERA_WITH_SCREEN)
        scaleSource_.assign(screenFrame_.size(), 0);
}

CBroadcastFeeder::~CBroadcastFeeder() {
    Stop();
    // OCELIX_Stop has ended the encoder's threads: its memory can go now.
    if (encoder_ != nullptr)
        OCELIX_ReleaseEncoder(encoder_);
}

int CBroadcastFeeder::FrameRate() const {
    if (settings_->FrameRate >= 1)
        return settings_->FrameRate;
    LogLine("FrameRate below 1 in the settings: 1 is used.");
    return 1;
}

int CBroadcastFeeder::ScreenRate() const {
    if (settings_->ScreenRate >= 1)
        return settings_->ScreenRate;
    return 1;
}

int CBroadcastFeeder::Start(PreviewSink* preview, AudioLevelMeter* meter) {
    if (running_ || encoder_ != nullptr)
        return 0;  // one broadcast per feeder
    running_ = true;
    videoSent_ = false;
    preview_ = preview;
    meter_ = meter;
    const BroadcastSettings& s = *settings_;
    const bool screenSized =
        s.VideoStyle == STYLE_SCREEN || s.VideoStyle == STYLE_SCREEN_WITH_CAMERA;
    const bool showsScreen = screenSized || s.VideoStyle == STYLE_CAMERA_WITH_SCREEN;
    screenRefused_ = false;
    if (showsScreen && devices_.openScreen) {
        if (!devices_.openScreen()) {
            screenRefused_ = true;
            running_ = false;
            return 0;
        }
        screenOpen_ = true;
    }
    config_ = EncoderConfig{};
    config_.width = screenSized ? s.ScreenWidth : s.VideoWidth;
    config_.height = screenSized ? s.ScreenHeight : s.VideoHeight;
    config_.inputFormat = kFormatBgr24BottomUp;
    config_.frameRate = FrameRate();
    config_.interval = s.Interval;
    config_.quality = s.Quality;
    config_.bitrate = s.Bitrate;
    config_.samplesPerSec = s.SamplesPerSec;
    config_.bitsPerSample = s.BitsPerSample;
    config_.channels = s.Chanels;
    config_.record = s.Record;
    std::snprintf(config_.url, sizeof config_.url, "%s", s.publishUrl.c_str());
    if (s.ScreenRate < 1 &&
        (s.VideoStyle == STYLE_SCREEN_WITH_CAMERA || s.VideoStyle == STYLE_CAMERA_WITH_SCREEN)) {
        LogLine("ScreenRate below 1 in the settings: 1 is used.");
    }

    encoder_ = OCELIX_CreateEncoder(&config_);
    copyRefused_ = false;
    if (encoder_ != nullptr && !s.localCopyPath.empty())
        copyRefused_ = OCELIX_SetLocalCopy(encoder_, s.localCopyPath.c_str()) == 0;
    if (encoder_ != nullptr && !s.TlsCaFile.empty() &&
        OCELIX_SetTlsCaFile(encoder_, s.TlsCaFile.c_str()) == 0)
        LogLine("TlsCaFile is longer than 4095 bytes: only the system's authorities are trusted.");
    if (encoder_ == nullptr || OCELIX_Start(encoder_) == 0) {
        // Nothing is broadcasting: the window is idle again.
        if (screenOpen_ && devices_.closeScreen)
            devices_.closeScreen();
        screenOpen_ = false;
        running_ = false;
        return 0;
    }

    // The frame timer runs on the encoder's frame grid: started right after it, at the same
    // exact rate, so each picture is taken at the grid point it is then stamped with.
    // The camera alone goes out as it comes: the preview takes its frames. Composed pictures
    // reach the preview from the frame timer.
    const auto rate = static_cast<uint32_t>(config_.frameRate);
    previewPicture_.SetFrameRate(config_.frameRate);
    switch (s.VideoStyle) {
        case STYLE_SCREEN:
            StartTimerRate(rate);
            break;
        case STYLE_CAMERA:
            StartCamera(preview);
            break;
        case STYLE_SCREEN_WITH_CAMERA:
        case STYLE_CAMERA_WITH_SCREEN:
            StartTimerRate(rate);
            StartCamera(nullptr);
            break;
        default:
            break;
    }
    if (s.HaveAudio != 0 && devices_.audio) {
        devices_.audio->SetFormat(s.SamplesPerSec, s.BitsPerSample, s.Chanels);
        if (devices_.audio->Open(s.audioDevice)) {
            devices_.audio->SetBlockSize(
                static_cast<uint32_t>(OCELIX_GetAudioNofifySize(encoder_)));
            silence_.Reset(s.SamplesPerSec, s.BitsPerSample, s.Chanels);
            if (meter_ != nullptr)
                meter_->SetFormat(s.BitsPerSample, s.Chanels);
            // The capture says 0 when it runs, 1 when it could not start.
            audioCapturing_ = devices_.audio->Start(1, this) == 0;
        }
    }
    return 1;
}

int CBroadcastFeeder::ConnectError() const {
    OcelixStats stats{};
    if (encoder_ == nullptr || OCELIX_GetStatsEx(encoder_, &stats, sizeof stats) == 0)
        return OCELIX_CONNECT_FAILED;
    return stats.connectError;
}

void CBroadcastFeeder::StartCamera(PreviewSink* preview) {
    if (!devices_.camera)
        return;
    const BroadcastSettings& s = *settings_;
    if (devices_.camera->Start(s.DeviceID, preview, s.VideoWidth, s.VideoHeight,
                               config_.frameRate) == 0) {
        devices_.camera->SetSink(this);
        devices_.camera->EnableFrames(true);
    }
}

int CBroadcastFeeder::Stop() {
    StopTimer();
    if (screenOpen_ && devices_.closeScreen)
        devices_.closeScreen();
    screenOpen_ = false;
    if (encoder_ != nullptr)
        OCELIX_Stop(encoder_);
    if (devices_.camera)
        devices_.camera->Stop();
    if (devices_.audio)
        devices_.audio->Stop();
    audioCapturing_ = false;
    running_ = false;
    return 1;
}

OcelixLocalCopy CBroadcastFeeder::LocalCopy() const {
    OcelixLocalCopy copy{};
    if (encoder_ == nullptr)
        return copy;
    if (copyRefused_) {
        // The only path the encoder refuses before its start is one too long for it.
        copy.state = OCELIX_COPY_FAILED;
        copy.systemError = NameTooLongError();
    } else if (OCELIX_GetLocalCopy(encoder_, &copy, sizeof copy) == 0) {
        copy = OcelixLocalCopy{};
    }
    if (copy.state == OCELIX_COPY_FAILED && copy.path[0] == '\0')
        std::snprintf(copy.path, sizeof copy.path, "%s", settings_->localCopyPath.c_str());
    return copy;
}

bool CBroadcastFeeder::UsesCamera() const {
    return settings_->VideoStyle == STYLE_CAMERA ||
           settings_->VideoStyle == STYLE_SCREEN_WITH_CAMERA ||
           settings_->VideoStyle == STYLE_CAMERA_WITH_SCREEN;
}

// The encoder codes its last frame again on each of its own ticks, so a frame is handed over only
// when the picture changed (and once at the start).
void CBroadcastFeeder::OnTimer() {
    const BroadcastSettings& s = *settings_;
    // The grid point this tick stands for, read before the grab takes its time.
    int32_t taken = 0;
    const bool timed = OCELIX_GetMediaTime(encoder_, &taken) != 0;
    const auto handIn = [&](const std::vector<uint8_t>& frame) {
        if (timed)
            OCELIX_PutVideoDataAt(encoder_, frame.data(), static_cast<int>(frame.size()), taken);
        else
            OCELIX_PutVideoData(encoder_, frame.data(), static_cast<int>(frame.size()));
    };
    bool screenChanged = false;
    if (devices_.grabScreen && !screenFrame_.empty()) {
        screenChanged = devices_.grabScreen(screenFrame_.data(), s.ScreenWidth, s.ScreenHeight);
    }
    const bool first = !videoSent_;
    const FrameImage screen(screenFrame_.data(), s.ScreenWidth, s.ScreenHeight);
    const FrameImage camera(cameraFrame_.data(), s.VideoWidth, s.VideoHeight);
    switch (s.VideoStyle) {
        case STYLE_SCREEN:
            if (screenChanged || first) {
                handIn(screenFrame_);
                videoSent_ = true;
            }
            PreviewTick(screen, screenChanged || first);
            break;
        case STYLE_SCREEN_WITH_CAMERA: {
            const InsetSize inset = CameraInsetSize(s, ScreenRate());
            bool composed = false;
            {
                std::lock_guard<std::mutex> lock(frameLock_);
                composed = screenChanged || cameraChanged_ || first;
                if (composed) {
                    cameraChanged_ = false;
                    // The grabber may have rewritten rows under the inset, and a new camera
                    // picture replaces the old inset (which covers the same pixels): it is drawn
                    // again.
                    ScaleNearestInto(screen, s.VideoX, s.VideoY,
                                     FrameImage(nullptr, inset.width, inset.height), camera);
                }
            }
            if (composed) {
                handIn(screenFrame_);
                videoSent_ = true;
            }
            PreviewTick(screen, composed);
            break;
        }
        case STYLE_CAMERA_WITH_SCREEN: {
            const InsetSize inset = ScreenInsetSize(s, ScreenRate());
            const bool insetFits = inset.width > 0 && inset.height > 0 &&
                                   FrameBytes(inset.width, inset.height) <= insetFrame_.size();
            const FrameImage small(insetFrame_.data(), inset.width, inset.height);
            if (insetFits && (screenChanged || first) &&
                scaleSource_.size() == screenFrame_.size()) {
                // The resizer uses its source as working space: it gets a copy, and the grabber
                // keeps its picture.
                std::memcpy(scaleSource_.data(), screenFrame_.data(), screenFrame_.size());
                ScaleDownStepwise(small,
                                  FrameImage(scaleSource_.data(), s.ScreenWidth, s.ScreenHeight));
            }
            // Under the lock: the camera's next frame must not replace the composition before it
            // went out, nor while the preview reads it.
            std::lock_guard<std::mutex> lock(frameLock_);
            const bool composed = screenChanged || cameraChanged_ || first;
            if (composed) {
                cameraChanged_ = false;
                if (insetFits)
                    PasteImage(camera, s.VideoX, s.VideoY, small);
                handIn(cameraFrame_);
                videoSent_ = true;
            }
            PreviewTick(camera, composed);
            break;
        }
        default:
            break;
    }
}

void CBroadcastFeeder::PreviewTick(const FrameImage& frame, bool handedIn) {
    if (preview_ != nullptr && previewPicture_.Tick(handedIn))
        previewPicture_.Send(frame, *preview_);
}

void CBroadcastFeeder::OnVideoFrame(double /*sampleTime*/, const uint8_t* data, int length) {
    if (data == nullptr || length <= 0)
        return;
    cameraFrames_.fetch_add(1, std::memory_order_relaxed);
    if (settings_->VideoStyle == STYLE_CAMERA) {
        OCELIX_PutVideoData(encoder_, data, length);
        return;
    }
    std::lock_guard<std::mutex> lock(frameLock_);
    // Never more than the camera frame holds.
    const size_t n = std::min(static_cast<size_t>(length), cameraFrame_.size());
    std::memcpy(cameraFrame_.data(), data, n);
    cameraChanged_ = true;
}

void CBroadcastFeeder::OnAudioData(const uint8_t* data, int length) {
    if (data == nullptr)
        return;
    audioBlocks_.fetch_add(1, std::memory_order_relaxed);
    if (length > 0)
        silence_.Take(data, static_cast<size_t>(length));
    if (meter_ != nullptr)
        meter_->OnAudioData(data, length);
    OCELIX_PutAudioData(encoder_, data, length);
}

}  // namespace capture
