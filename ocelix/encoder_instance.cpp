#include "encoder_instance.h"

#include <pthread.h>

#include <chrono>
#include <cstring>

namespace ocelix {
namespace {

constexpr char kEncoderName[] = "ZembraEncoderSDK";

void NameThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

}  // namespace

CEncoderInstance::CEncoderInstance(const EncoderConfig& config, Backends backends)
    : config_(config), backends_(std::move(backends)) {
    config_.url[sizeof config_.url - 1] = '\0';
    rtmp_ = backends_.rtmp->Create();
}

CEncoderInstance::~CEncoderInstance() {
    Stop();
    if (rtmp_ != nullptr)
        backends_.rtmp->Release(rtmp_);
}

void CEncoderInstance::Sleep(int ms) {
    std::unique_lock<std::mutex> lock(wakeLock_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms),
                   [this] { return state_.load() == STATE_STOPPED; });
}

int CEncoderInstance::Start() {
    int expected = STATE_CREATED;
    if (!state_.compare_exchange_strong(expected, STATE_STARTING))
        return 0;
    startTick_ = backends_.clock->NowMs();
    {
        std::lock_guard<std::mutex> lock(connLock_);
        lastSendTick_ = startTick_;
    }
    if (config_.width != 0 && config_.height != 0 && backends_.video->Open(config_)) {
        videoOpen_ = true;
        std::lock_guard<std::mutex> lock(frameLock_);
        frame_.assign(static_cast<size_t>(backends_.video->FrameSize()), 0);
    }
    if (config_.samplesPerSec != 0 && config_.bitsPerSample != 0 && config_.channels != 0) {
        audioOpen_ =
            backends_.audio->Open(config_.samplesPerSec, config_.bitsPerSample, config_.channels);
    }
    const bool published = ConnectAndPublish();
    const int rate = config_.frameRate > 0 ? config_.frameRate : 1;
    clockIntervalMs_ = static_cast<uint32_t>(1000 / rate);
    clockStartMs_ = backends_.clock->NowMs();
    if (!backends_.manualThreads)
        StartTimer(clockIntervalMs_);
    if (!published)
        return 0;
    if (backends_.manualThreads) {
        state_.store(STATE_RUNNING);
        return 1;
    }
    sendThread_ = std::thread([this] { SendThread(); });
    encodeThread_ = std::thread([this] { VideoEncodeThread(); });
    watchdogThread_ = std::thread([this] { WatchdogThread(); });
    expected = STATE_STARTING;
    state_.compare_exchange_strong(expected, STATE_RUNNING);
    return 1;
}

int CEncoderInstance::Stop() {
    if (state_.exchange(STATE_STOPPED) == STATE_STOPPED)
        return 1;
    { std::lock_guard<std::mutex> lock(wakeLock_); }
    wake_.notify_all();
    for (std::thread* t : {&sendThread_, &encodeThread_, &watchdogThread_}) {
        if (t->joinable())
            t->join();
    }
    StopTimer();
    if (videoOpen_)
        backends_.video->Close();
    {
        std::lock_guard<std::mutex> lock(audioLock_);
        if (audioOpen_)
            backends_.audio->Close();
        audioOpen_ = false;
    }
    std::lock_guard<std::mutex> lock(connLock_);
    backends_.rtmp->Disconnect(rtmp_);
    lastPublishOk_.store(false);
    return 1;
}

void CEncoderInstance::PutVideoData(const void* data, int length) {
    if (state_.load() != STATE_RUNNING || data == nullptr || !videoOpen_)
        return;
    std::lock_guard<std::mutex> lock(frameLock_);
    if (static_cast<size_t>(length) != frame_.size() || length <= 0)
        return;
    std::memcpy(frame_.data(), data, frame_.size());
}

void CEncoderInstance::PutAudioData(const void* data, int length) {
    if (data == nullptr || length <= 0)
        return;
    std::lock_guard<std::mutex> lock(audioLock_);
    if (state_.load() != STATE_RUNNING || !audioOpen_ || length != AudioNotifySize())
        return;
    std::memcpy(backends_.audio->Input(), data, static_cast<size_t>(length));
    const uint8_t* out = nullptr;
    int outLength = 0;
    backends_.audio->Encode(&out, &outLength);
    SendPacket(out, outLength, kAudioType, false);
}

int CEncoderInstance::AudioNotifySize() const {
    if (!audioOpen_)
        return 0;
    return (config_.bitsPerSample >> 3) * backends_.audio->SamplesPerCall();
}

bool CEncoderInstance::ConnectAndPublish() {
    RtmpLayer& r = *backends_.rtmp;
    void* metadata = r.CreateMetaData();
    r.AddMetaDataDouble(metadata, "width", config_.width);
    r.AddMetaDataDouble(metadata, "height", config_.height);
    r.AddMetaDataString(metadata, "Createor", kEncoderName);
    bool ok = false;
    {
        std::lock_guard<std::mutex> lock(connLock_);
        if (r.Connect(rtmp_, config_.url) != 0)
            ok = r.Publish(rtmp_, PublishMode()) != 0;
        // Applied whatever the publish gave; without a connection this only frees it.
        r.ApplyMetaData(rtmp_, metadata);
    }
    lastPublishOk_.store(ok);
    return ok;
}

void CEncoderInstance::EncodeDueFrames() {
    const int due = pendingTicks_.exchange(0);
    for (int i = 0; i < due; ++i) {
        // Each frame is timed by its own tick of the frame clock.
        const uint32_t stamp =
            clockStartMs_ + static_cast<uint32_t>(++ticksTaken_ * clockIntervalMs_);
        if (state_.load() != STATE_RUNNING || !videoOpen_)
            continue;
        {
            std::lock_guard<std::mutex> lock(frameLock_);
            std::memcpy(backends_.video->Input(), frame_.data(), frame_.size());
        }
        bool keyWanted = false;
        {
            std::lock_guard<std::mutex> lock(ringLock_);
            // Both requests are taken: either loss wants the next frame to be a key frame.
            const bool forQueue = queueGuard_.TakeKeyRequest();
            const bool forSend = sendGuard_.TakeKeyRequest();
            keyWanted = forQueue || forSend;
        }
        if (keyWanted)
            backends_.video->RequestKeyFrame();
        const uint8_t* out = nullptr;
        int length = 0;
        backends_.video->Encode(&out, &length);
        framesEncoded_.fetch_add(1);
        if (length > 0) {
            const bool key = IsKeyFrame(out, length);
            std::lock_guard<std::mutex> lock(ringLock_);
            if (!queueGuard_.Admit(key)) {
                dropped_.fetch_add(1);
            } else if (ring_.Push(out, length, key, stamp) != 0) {
                dropped_.fetch_add(1);
                queueGuard_.Lost();
            }
        }
        Sleep(kWorkerPassMs);
    }
}

void CEncoderInstance::SendPass() {
    int length = -1;
    bool key = false;
    uint32_t stamp = 0;
    {
        std::lock_guard<std::mutex> lock(ringLock_);
        const uint8_t* packet = nullptr;
        length = ring_.Pop(&packet, &key, &stamp);
        if (length > 0)
            sendScratch_.assign(packet, packet + length);
    }
    if (length > 0)
        SendPacket(sendScratch_.data(), length, kVideoType, key, stamp);
}

void CEncoderInstance::SendPacket(const uint8_t* data, int length, int type, bool keyFrame,
                                  uint32_t stampMs) {
    if (length <= 0 || data == nullptr)
        return;
    if (type == kVideoType) {
        std::lock_guard<std::mutex> lock(ringLock_);
        if (!sendGuard_.Admit(keyFrame)) {
            dropped_.fetch_add(1);
            return;
        }
    }
    if (backends_.rtmp->GetState(rtmp_) == 0) {
        dropped_.fetch_add(1);
        if (type == kVideoType) {
            std::lock_guard<std::mutex> lock(ringLock_);
            sendGuard_.Lost();
        }
        return;
    }
    int sent = 0;
    uint32_t now = 0;
    {
        std::lock_guard<std::mutex> lock(connLock_);
        uint32_t delta = 1;
        if (type == kVideoType) {
            now = stampMs;
            delta = now - lastSendTick_;
            lastSendTick_ = now;
        } else {
            lastSendTick_ += 1;
            now = lastSendTick_;
        }
        sent = backends_.rtmp->SendStream(rtmp_, data, length, static_cast<int>(delta), type);
    }
    if (sent == 0) {
        dropped_.fetch_add(1);
        if (type == kVideoType) {
            std::lock_guard<std::mutex> lock(ringLock_);
            sendGuard_.Lost();
        }
        return;
    }
    (type == kVideoType ? videoSent_ : audioSent_).fetch_add(1);
    bytesSent_.fetch_add(static_cast<uint64_t>(length));
    CountSent(backends_.clock->NowMs(), length);
}

void CEncoderInstance::WatchdogPass() {
    if (state_.load() == STATE_STOPPED)
        return;
    const bool up = backends_.rtmp->GetState(rtmp_) != 0;
    if (up && lastPublishOk_.load())
        return;
    if (up) {
        // Connected but not publishing (the server refused the stream): start over on the
        // next pass.
        std::lock_guard<std::mutex> lock(connLock_);
        backends_.rtmp->Disconnect(rtmp_);
        return;
    }
    if (ConnectAndPublish()) {
        reconnects_.fetch_add(1);
        // Viewers of the new session need a key frame first.
        std::lock_guard<std::mutex> lock(ringLock_);
        sendGuard_.Lost();
    }
}

void CEncoderInstance::SendThread() {
    NameThread("ocelix-send");
    while (state_.load() != STATE_STOPPED) {
        if (state_.load() == STATE_RUNNING)
            SendPass();
        Sleep(kWorkerPassMs);
    }
}

void CEncoderInstance::VideoEncodeThread() {
    NameThread("ocelix-encode");
    while (state_.load() != STATE_STOPPED) {
        EncodeDueFrames();
        Sleep(kWorkerPassMs);
    }
}

void CEncoderInstance::WatchdogThread() {
    NameThread("ocelix-watchdog");
    while (state_.load() != STATE_STOPPED) {
        WatchdogPass();
        Sleep(kWatchdogPeriodMs);
    }
}

int CEncoderInstance::RingCount() {
    std::lock_guard<std::mutex> lock(ringLock_);
    return ring_.Count();
}

void CEncoderInstance::CountSent(uint32_t now, int bytes) {
    const uint32_t slot = now / 100;
    std::lock_guard<std::mutex> lock(rateLock_);
    const size_t i = slot % rateBytes_.size();
    if (rateSlot_[i] != slot) {
        rateSlot_[i] = slot;
        rateBytes_[i] = 0;
    }
    rateBytes_[i] += static_cast<uint64_t>(bytes);
}

void CEncoderInstance::GetStats(OcelixStats* stats) {
    const uint32_t now = backends_.clock->NowMs();
    stats->framesEncoded = framesEncoded_.load();
    stats->videoPacketsSent = videoSent_.load();
    stats->audioPacketsSent = audioSent_.load();
    stats->packetsDropped = dropped_.load();
    stats->bytesSent = bytesSent_.load();
    stats->connected = (lastPublishOk_.load() && backends_.rtmp->GetState(rtmp_) != 0) ? 1 : 0;
    stats->reconnects = reconnects_.load();
    stats->elapsedMs = state_.load() == STATE_CREATED ? 0 : static_cast<int32_t>(now - startTick_);
    // The ten 100 ms slots before the current one make the last second.
    const uint32_t current = now / 100;
    uint64_t bytes = 0;
    {
        std::lock_guard<std::mutex> lock(rateLock_);
        for (size_t i = 0; i < rateBytes_.size(); ++i) {
            const uint32_t age = current - rateSlot_[i];
            if (age >= 1 && age <= 10)
                bytes += rateBytes_[i];
        }
    }
    stats->sendKbps = static_cast<int32_t>(bytes * 8 / 1000);
}

}  // namespace ocelix
