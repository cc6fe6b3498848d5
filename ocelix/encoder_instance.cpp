#include "encoder_instance.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "basis/thread_name.h"

namespace ocelix {
namespace {

constexpr char kEncoderName[] = "ZembraEncoderSDK";
// How long an idle worker waits before it looks at the state again (a stop wakes it at once).
constexpr auto kIdleWait = std::chrono::milliseconds(200);

// How long a stop waits for an attempt it has cut short (each step ends within about 50 ms of
// a disconnect; this only bounds a library that does not).
constexpr auto kCancelWait = std::chrono::seconds(5);
constexpr auto kCancelRepeat = std::chrono::milliseconds(10);

// Connects and publishes on one handle, with a fresh metadata object each time. wanted() is
// asked before each step, so that an attempt nobody wants any more sends nothing further.
// *error: how it ended (OCELIX_CONNECT_*).
template <typename Wanted>
bool ConnectAndPublishOn(RtmpLayer& r, void* handle, const PublishTarget& target, int width,
                         int height, int* error, Wanted&& wanted) {
    void* metadata = r.CreateMetaData();
    r.AddMetaDataDouble(metadata, "width", width);
    r.AddMetaDataDouble(metadata, "height", height);
    r.AddMetaDataString(metadata, "Createor", kEncoderName);
    bool ok = false;
    *error = OCELIX_CONNECT_FAILED;
    r.SetTlsCaFile(handle, target.caFile.c_str());
    if (wanted()) {
        if (r.Connect(handle, target.url.c_str()) == 0)
            *error = r.LastConnectError(handle);
        else if (wanted())
            ok = r.Publish(handle, target.mode.c_str()) != 0;
    }
    if (ok)
        *error = OCELIX_CONNECT_OK;
    if (!wanted())
        r.Disconnect(handle);  // the metadata is then only freed
    // Applied whatever the publish gave; without a connection this only frees it.
    r.ApplyMetaData(handle, metadata);
    return ok;
}

}  // namespace

// A reconnection on a handle of its own. The watchdog waits for it, but a stop does not: it
// disconnects the attempt's handle, which makes the attempt return promptly, and the attempt
// then releases its handle itself, holding nothing of the instance.
struct ConnectAttempt {
    std::shared_ptr<RtmpLayer> rtmp;
    void* handle = nullptr;
    PublishTarget target;
    int width = 0;
    int height = 0;
    int error = OCELIX_CONNECT_FAILED;  // how it ended; read once done

    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;       // guarded by mutex
    bool ok = false;         // guarded by mutex
    bool abandoned = false;  // nobody waits for it any more; guarded by mutex
    bool released = false;   // the attempt released its handle itself; guarded by mutex

    void Run() {
        const bool result =
            ConnectAndPublishOn(*rtmp, handle, target, width, height, &error, [this] {
                std::lock_guard<std::mutex> lock(mutex);
                return !abandoned;
            });
        bool release = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            ok = result;
            release = released = abandoned;
        }
        changed.notify_all();
        if (release)
            rtmp->Release(handle);
    }

    // Nobody wants the attempt any more. With wait, returns only once it has ended, so that
    // nothing of it reaches the server afterwards: a disconnect can come before the library
    // has begun a step, so it is repeated until the attempt returns.
    void Abandon(bool wait) {
        std::unique_lock<std::mutex> lock(mutex);
        abandoned = true;
        changed.notify_all();
        const auto deadline = std::chrono::steady_clock::now() + kCancelWait;
        while (!done) {
            rtmp->Disconnect(handle);
            if (!wait || changed.wait_for(lock, kCancelRepeat, [this] { return done; }) ||
                std::chrono::steady_clock::now() >= deadline)
                break;
        }
    }

    bool Done() {
        std::lock_guard<std::mutex> lock(mutex);
        return done;
    }
};

CEncoderInstance::CEncoderInstance(const EncoderConfig& config, Backends backends)
    : config_(config),
      backends_(std::move(backends)),
      bitrate_(config.bitrate),
      queue_(SendQueueLimits{}),
      copy_(backends_.copyLimits) {
    config_.url[sizeof config_.url - 1] = '\0';
    rtmp_ = backends_.rtmp->Create();
}

CEncoderInstance::~CEncoderInstance() {
    Stop();
    std::lock_guard<std::mutex> lock(handleLock_);
    if (rtmp_ != nullptr)
        backends_.rtmp->Release(rtmp_);
    rtmp_ = nullptr;
}

int64_t CEncoderInstance::MediaNow() {
    return static_cast<int64_t>(static_cast<int32_t>(backends_.clock->NowMs() - originMs_));
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
    // A Stop from another thread waits for this to end (its disconnect cuts the connect short)
    // and then closes whatever was opened here.
    std::lock_guard<std::mutex> life(lifeLock_);
    originMs_ = backends_.clock->NowMs();
    frameRate_ = config_.frameRate > 0 ? config_.frameRate : 1;
    if (config_.width != 0 && config_.height != 0 && backends_.video->Open(config_)) {
        videoOpen_ = true;
        const auto size = static_cast<size_t>(backends_.video->FrameSize());
        work_.assign(size, 0);
        {
            std::lock_guard<std::mutex> lock(putLock_);
            spare_.assign(size, 0);
        }
        std::lock_guard<std::mutex> lock(frameLock_);
        latest_.assign(size, 0);
    }
    const bool audioFields =
        config_.samplesPerSec != 0 && config_.bitsPerSample != 0 && config_.channels != 0;
    SendQueueLimits limits;
    limits.video = videoOpen_;
    limits.audioWaitMs = 2 * 1000 / frameRate_;
    {
        std::lock_guard<std::mutex> lock(audioLock_);
        audioOpen_ = audioFields && backends_.audio->Open(config_.samplesPerSec,
                                                          config_.bitsPerSample, config_.channels);
        if (audioOpen_) {
            const int perBlock = backends_.audio->SamplesPerCall() / config_.channels;
            audioClock_.emplace(config_.samplesPerSec, perBlock, backends_.audio->PrimingSamples());
            // Audio is queued a block and the encoder's delay after its first sample.
            const int64_t blockMs = 1000LL * perBlock / config_.samplesPerSec;
            limits.videoWaitMs = 2 * blockMs + 10;
        }
        limits.audio = audioOpen_;
    }
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        queue_ = SendQueue(limits);
    }
    appliedKbps_ = config_.bitrate > 0 ? config_.bitrate : 0;
    targetKbps_.store(appliedKbps_);

    const bool published = ConnectAndPublish();
    // A Stop from another thread during the connect wins: nothing is started after it.
    if (state_.load() != STATE_STARTING)
        return 0;
    clockStartMs_ = MediaNow();
    if (!backends_.manualThreads)
        StartTimerRate(static_cast<uint32_t>(frameRate_));
    if (!published)
        return 0;
    if (!copyPath_.empty()) {
        copy_.Start(copyPath_,
                    Mp4Tracks{videoOpen_, config_.width & ~1, config_.height & ~1, frameRate_,
                              audioOpen_, config_.samplesPerSec, config_.channels});
    }
    state_.store(STATE_RUNNING);
    if (backends_.manualThreads)
        return 1;
    sendThread_ = std::thread([this] { SendThread(); });
    encodeThread_ = std::thread([this] { VideoEncodeThread(); });
    watchdogThread_ = std::thread([this] { WatchdogThread(); });
    return 1;
}

bool CEncoderInstance::SetLocalCopy(const char* path) {
    // Room is left for the number a taken name gets ("-1000").
    constexpr size_t kMaxPath = sizeof(OcelixLocalCopy::path) - 1 - 5;
    const std::string wanted = path != nullptr ? path : "";
    std::lock_guard<std::mutex> life(lifeLock_);
    if (state_.load() != STATE_CREATED || wanted.size() > kMaxPath)
        return false;
    copyPath_ = wanted;
    return true;
}

int CEncoderInstance::Stop() {
    const int was = state_.exchange(STATE_STOPPED);
    if (was == STATE_STOPPED)
        return 1;
    if (was == STATE_STARTING) {
        // The connection of a Start still connecting on another thread ends with it.
        std::lock_guard<std::mutex> lock(handleLock_);
        backends_.rtmp->Disconnect(rtmp_);
    }
    std::vector<std::shared_ptr<ConnectAttempt>> attempts;
    {
        std::lock_guard<std::mutex> lock(wakeLock_);
        attempts.swap(stragglers_);
        if (attempt_)
            attempts.push_back(attempt_);
    }
    // Reconnections in progress are cut short: a disconnect ends the RTMP library's connect,
    // handshake or answer wait at once. Each has ended before Stop goes on, and releases its
    // handle itself.
    for (const auto& attempt : attempts)
        attempt->Abandon(true);
    wake_.notify_all();
    { std::lock_guard<std::mutex> lock(queueLock_); }
    queued_.notify_all();
    { std::lock_guard<std::mutex> lock(tickLock_); }
    ticked_.notify_all();
    { std::lock_guard<std::mutex> lock(frameLock_); }
    pictureArrived_.notify_all();
    std::lock_guard<std::mutex> life(lifeLock_);
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
    {
        std::lock_guard<std::mutex> lock(connLock_);
        backends_.rtmp->Disconnect(rtmp_);
        lastPublishOk_.store(false);
    }
    // Last: the copy's end waits for the disk, and the server is not kept waiting for it.
    copy_.Stop();
    return 1;
}

int64_t CEncoderInstance::GridTimeMs(int64_t point) const {
    return clockStartMs_ + point * 1000 / frameRate_;
}

int64_t CEncoderInstance::NearestGridPoint(int64_t timeMs) const {
    return GridPointAtOrBefore(timeMs + 500 / frameRate_);
}

int64_t CEncoderInstance::GridPointAtOrBefore(int64_t timeMs) const {
    const int64_t since = timeMs - clockStartMs_;
    if (since < 0)
        return -1;
    // The largest n with n x 1000 / frameRate, rounded down as GridTimeMs rounds it, at most
    // `since`: n x 1000 < (since + 1) x frameRate.
    return ((since + 1) * frameRate_ - 1) / 1000;
}

void CEncoderInstance::OnTimer() {
    pendingTicks_.fetch_add(1);
    { std::lock_guard<std::mutex> lock(tickLock_); }
    ticked_.notify_one();
}

void CEncoderInstance::PutVideoData(const void* data, int length, std::optional<int64_t> takenMs) {
    if (state_.load() != STATE_RUNNING || data == nullptr || !videoOpen_ || length <= 0)
        return;
    const int64_t handedIn = takenMs.value_or(MediaNow());
    std::lock_guard<std::mutex> put(putLock_);
    if (static_cast<size_t>(length) != spare_.size())
        return;
    std::memcpy(spare_.data(), data, spare_.size());
    {
        std::lock_guard<std::mutex> lock(frameLock_);
        latest_.swap(spare_);
        latestStampMs_ = handedIn;
        ++latestSeq_;
    }
    pictureArrived_.notify_one();
}

void CEncoderInstance::PutAudioData(const void* data, int length) {
    if (data == nullptr || length <= 0)
        return;
    std::lock_guard<std::mutex> lock(audioLock_);
    if (state_.load() != STATE_RUNNING || !audioOpen_ || length != AudioNotifySize())
        return;
    const int64_t now = MediaNow();
    audioClock_->BlockArrived(now);
    std::memcpy(backends_.audio->Input(), data, static_cast<size_t>(length));
    const uint8_t* out = nullptr;
    int outLength = 0;
    backends_.audio->Encode(&out, &outLength);
    if (outLength <= 0 || out == nullptr)
        return;
    MediaPacket packet;
    packet.type = kAudioType;
    packet.stampMs = audioClock_->NextFrameStamp();
    copy_.Put(kAudioType, packet.stampMs, false, {out, static_cast<size_t>(outLength)});
    {
        std::lock_guard<std::mutex> queueLock(queueLock_);
        packet.bytes = queue_.TakeBuffer();
        packet.bytes.assign(out, out + outLength);
        queue_.Push(std::move(packet), now);
    }
    queued_.notify_one();
}

int CEncoderInstance::AudioNotifySize() const {
    if (!audioOpen_)
        return 0;
    return (config_.bitsPerSample >> 3) * backends_.audio->SamplesPerCall();
}

bool CEncoderInstance::ConnectAndPublish() {
    bool ok = false;
    {
        std::lock_guard<std::mutex> lock(connLock_);
        int error = OCELIX_CONNECT_FAILED;
        ok = ConnectAndPublishOn(*backends_.rtmp, rtmp_, Target(), config_.width, config_.height,
                                 &error, [this] { return state_.load() != STATE_STOPPED; });
        NoteAttempt(error);
        if (ok)
            ++generation_;
    }
    lastPublishOk_.store(ok);
    return ok;
}

void CEncoderInstance::EncodeDueFrames() {
    const int due = pendingTicks_.exchange(0);
    if (due <= 0)
        return;
    // However many ticks are due, the newest picture is encoded once: a backlog is never
    // worked through, the ticks beyond one are counted as skipped.
    ticksTaken_ += static_cast<uint64_t>(due);
    if (due > 1)
        framesSkipped_.fetch_add(static_cast<uint64_t>(due - 1));
    if (state_.load() != STATE_RUNNING || !videoOpen_)
        return;
    const int64_t tickMs = GridTimeMs(static_cast<int64_t>(ticksTaken_));
    const int64_t now = MediaNow();

    bool keyWanted = false;
    uint64_t episodes = 0;
    int64_t delay = 0;
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        keyWanted = queue_.TakeKeyRequest();
        episodes = queue_.LossEpisodes();
        delay = queue_.DelayMs(now);
    }
    const int target = bitrate_.Update(now, episodes, delay);
    if (target > 0 && target != appliedKbps_ && backends_.video->SetBitrate(target)) {
        appliedKbps_ = target;
        targetKbps_.store(target);
    }
    if (keyWanted)
        backends_.video->RequestKeyFrame();

    // A new picture carries the grid point nearest to the time it was taken; a repeated one its
    // tick's.
    const int64_t tickPoint = static_cast<int64_t>(ticksTaken_);
    bool fresh = !encodedOnce_;
    int64_t stamp = tickMs;
    {
        std::unique_lock<std::mutex> lock(frameLock_);
        if (!backends_.manualThreads) {
            // A producer on the same grid hands in the picture of this tick a grab after it.
            // It is waited for until three quarters of a period after the tick (a tick taken
            // late waits no longer); an older picture still waiting does not end the wait.
            const int64_t waitMs = 750 / frameRate_;
            const int64_t left = std::min<int64_t>(tickMs + waitMs - MediaNow(), waitMs);
            if (left > 0) {
                pictureArrived_.wait_for(lock, std::chrono::milliseconds(left), [&] {
                    return (latestSeq_ != workSeq_ &&
                            NearestGridPoint(latestStampMs_) >= tickPoint) ||
                           state_.load() != STATE_RUNNING;
                });
            }
        }
        if (latestSeq_ != workSeq_) {
            latest_.swap(work_);
            workSeq_ = latestSeq_;
            stamp = GridTimeMs(NearestGridPoint(latestStampMs_));
            fresh = true;
        }
    }
    encodedOnce_ = true;
    // Pictures are a whole number of periods apart. A repeat that would not come after the
    // last picture is left out (that picture stands for this tick); a new picture that would
    // not takes the next grid point.
    if (stamp <= lastVideoStampMs_) {
        if (!fresh) {
            framesSkipped_.fetch_add(1);
            return;
        }
        stamp = GridTimeMs(GridPointAtOrBefore(lastVideoStampMs_) + 1);
    }
    lastVideoStampMs_ = stamp;

    const uint8_t* out = nullptr;
    int length = 0;
    // A picture that failed never comes out, so it holds no place among the pending times.
    if (!backends_.video->Encode(fresh ? work_.data() : nullptr, &out, &length))
        return;
    framesEncoded_.fetch_add(1);
    pendingVideoStamps_.push_back(stamp);
    if (length <= 0 || out == nullptr)
        return;
    MediaPacket packet;
    packet.type = kVideoType;
    packet.stampMs = pendingVideoStamps_.front();
    pendingVideoStamps_.pop_front();
    packet.key = IsKeyFrame(out, length);
    copy_.Put(kVideoType, packet.stampMs, packet.key, {out, static_cast<size_t>(length)});
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        packet.bytes = queue_.TakeBuffer();
        packet.bytes.assign(out, out + length);
        queue_.Push(std::move(packet), MediaNow());
    }
    queued_.notify_one();
}

bool CEncoderInstance::SendPass() {
    MediaPacket packet;
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        int64_t wait = 0;
        if (!queue_.Next(MediaNow(), &packet, &wait))
            return false;
    }
    Transmit(packet);
    return true;
}

void CEncoderInstance::Transmit(MediaPacket& packet) {
    bool ok = false;
    bool leftOut = false;
    {
        std::lock_guard<std::mutex> lock(connLock_);
        // Each connection's stream starts at its first packet, and with a picture: players and
        // transcoders count the frame grid from a stream's first message. Sound that comes
        // first is left out, for a second at most (a picture is on its way).
        if (wireGeneration_ != generation_ && packet.type == kAudioType && videoOpen_) {
            if (soundHeldGeneration_ != generation_) {
                soundHeldGeneration_ = generation_;
                soundHeldFromMs_ = packet.stampMs;
            }
        }
        const bool soundFirst = wireGeneration_ != generation_ && packet.type == kAudioType &&
                                videoOpen_ && packet.stampMs - soundHeldFromMs_ < 1000;
        leftOut = soundFirst;
        if (!soundFirst && backends_.rtmp->GetState(rtmp_) != 0) {
            // From the start every message carries the time since the one before, in time
            // order.
            if (wireGeneration_ != generation_) {
                wireGeneration_ = generation_;
                wireTimeMs_ = packet.stampMs;
                lastWireMs_ = {wireTimeMs_ - 1, wireTimeMs_ - 1};
            }
            // A packet that comes after a later one of the other kind goes out at that time,
            // but always after the one before it of its own kind; a picture at the next point
            // of the frame grid, so that pictures stay whole periods apart.
            int64_t& ownLast = lastWireMs_[packet.type == kVideoType ? 1 : 0];
            int64_t at = std::max(packet.stampMs, ownLast + 1);
            if (packet.type == kVideoType && (at != packet.stampMs || at < wireTimeMs_))
                at = GridTimeMs(GridPointAtOrBefore(std::max(at, wireTimeMs_) - 1) + 1);
            const int64_t delta = std::clamp<int64_t>(at - wireTimeMs_, 0, kMaxWireDeltaMs);
            wireTimeMs_ += delta;
            ownLast = wireTimeMs_;
            ok = backends_.rtmp->SendStream(rtmp_, packet.bytes.data(),
                                            static_cast<int>(packet.bytes.size()),
                                            static_cast<int>(delta), packet.type) != 0;
        }
    }
    if (ok) {
        (packet.type == kVideoType ? videoSent_ : audioSent_).fetch_add(1);
        bytesSent_.fetch_add(packet.bytes.size());
        rate_.Count(backends_.clock->NowMs(), static_cast<int>(packet.bytes.size()));
    }
    std::lock_guard<std::mutex> lock(queueLock_);
    if (leftOut)
        queue_.LeftOut();
    else
        queue_.Sent(ok);
    queue_.GiveBuffer(std::move(packet.bytes));
}

void CEncoderInstance::WatchdogPass() {
    if (state_.load() == STATE_STOPPED)
        return;
    bool up = false;
    {
        std::lock_guard<std::mutex> lock(handleLock_);
        up = backends_.rtmp->GetState(rtmp_) != 0;
    }
    if (up && lastPublishOk_.load())
        return;
    if (up) {
        // Connected but not publishing (the server refused the stream): start over on the
        // next pass.
        std::lock_guard<std::mutex> lock(connLock_);
        backends_.rtmp->Disconnect(rtmp_);
        return;
    }
    {
        // The lost connection goes at once, whatever is left of it.
        std::lock_guard<std::mutex> lock(connLock_);
        backends_.rtmp->Disconnect(rtmp_);
    }
    auto attempt = std::make_shared<ConnectAttempt>();
    attempt->rtmp = backends_.rtmp;
    attempt->target = Target();
    attempt->width = config_.width;
    attempt->height = config_.height;
    attempt->handle = backends_.rtmp->Create();
    if (backends_.manualThreads) {
        attempt->Run();
    } else {
        {
            std::lock_guard<std::mutex> lock(wakeLock_);
            if (state_.load() == STATE_STOPPED) {
                backends_.rtmp->Release(attempt->handle);
                return;
            }
            std::erase_if(stragglers_, [](const auto& a) { return a->Done(); });
            attempt_ = attempt;
        }
        try {
            std::thread([attempt] { attempt->Run(); }).detach();
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> lock(attempt->mutex);
            attempt->done = true;  // never runs: its handle is released below
        }
        bool finished = false;
        {
            std::unique_lock<std::mutex> lock(attempt->mutex);
            finished = attempt->changed.wait_for(
                lock, std::chrono::milliseconds(backends_.attemptDeadlineMs),
                [&] { return attempt->done || attempt->abandoned; });
            finished = finished && attempt->done;
        }
        if (!finished) {
            // Past its deadline (or cut short by a stop): the attempt is ended and releases
            // its handle itself; the next pass tries again.
            attempt->Abandon(false);
            std::lock_guard<std::mutex> lock(wakeLock_);
            if (attempt_ == attempt) {
                stragglers_.push_back(attempt);
                attempt_.reset();
            }
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(wakeLock_);
        attempt_.reset();
    }
    bool ok = false;
    {
        std::lock_guard<std::mutex> lock(attempt->mutex);
        if (attempt->released)
            return;
        ok = attempt->ok && state_.load() != STATE_STOPPED;
        NoteAttempt(attempt->error);
    }
    if (!ok) {
        // A refused publish still leaves a connection: it goes with the handle.
        backends_.rtmp->Release(attempt->handle);
        lastPublishOk_.store(false);
        return;
    }
    InstallConnection(attempt->handle);
}

void CEncoderInstance::InstallConnection(void* handle) {
    void* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(connLock_);
        std::lock_guard<std::mutex> handle_lock(handleLock_);
        old = std::exchange(rtmp_, handle);
        ++generation_;
    }
    backends_.rtmp->Release(old);
    lastPublishOk_.store(true);
    reconnects_.fetch_add(1);
    // Viewers of the new session need a key frame first.
    std::lock_guard<std::mutex> lock(queueLock_);
    queue_.VideoLost();
}

void CEncoderInstance::SendThread() {
    basis::NameThisThread("ocelix-send");
    while (state_.load() != STATE_STOPPED) {
        MediaPacket packet;
        {
            std::unique_lock<std::mutex> lock(queueLock_);
            int64_t wait = -1;
            if (!queue_.Next(MediaNow(), &packet, &wait)) {
                const auto limit =
                    wait < 0 ? kIdleWait : std::chrono::milliseconds(std::max<int64_t>(wait, 1));
                queued_.wait_for(lock, limit);
                continue;
            }
        }
        Transmit(packet);
    }
}

void CEncoderInstance::VideoEncodeThread() {
    basis::NameThisThread("ocelix-encode");
    while (state_.load() != STATE_STOPPED) {
        {
            std::unique_lock<std::mutex> lock(tickLock_);
            ticked_.wait_for(lock, kIdleWait, [this] {
                return pendingTicks_.load() > 0 || state_.load() == STATE_STOPPED;
            });
        }
        EncodeDueFrames();
    }
}

void CEncoderInstance::WatchdogThread() {
    basis::NameThisThread("ocelix-watchdog");
    while (state_.load() != STATE_STOPPED) {
        WatchdogPass();
        Sleep(backends_.watchdogPeriodMs);
    }
}

int CEncoderInstance::QueueDelayMs() {
    const int64_t now = MediaNow();
    std::lock_guard<std::mutex> lock(queueLock_);
    return static_cast<int>(queue_.DelayMs(now));
}

void CEncoderInstance::GetStats(OcelixStats* stats) {
    const uint32_t now = backends_.clock->NowMs();
    stats->framesEncoded = framesEncoded_.load();
    stats->videoPacketsSent = videoSent_.load();
    stats->audioPacketsSent = audioSent_.load();
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        stats->packetsDropped = queue_.Dropped();
    }
    stats->bytesSent = bytesSent_.load();
    {
        std::lock_guard<std::mutex> lock(handleLock_);
        stats->connected = (lastPublishOk_.load() && backends_.rtmp->GetState(rtmp_) != 0) ? 1 : 0;
    }
    stats->reconnects = reconnects_.load();
    stats->elapsedMs = state_.load() == STATE_CREATED ? 0 : static_cast<int32_t>(now - originMs_);
    stats->sendKbps = rate_.Kbps(now);
    stats->framesSkipped = framesSkipped_.load();
    stats->targetKbps = targetKbps_.load();
    stats->queueDelayMs = state_.load() == STATE_RUNNING ? QueueDelayMs() : 0;
    stats->connectError = connectError_.load();
    stats->failedAttempts = failedAttempts_.load();
}

bool CEncoderInstance::SetTlsCaFile(const char* path) {
    constexpr size_t kMaxPath = 4095;
    const std::string wanted = path != nullptr ? path : "";
    std::lock_guard<std::mutex> life(lifeLock_);
    if (state_.load() != STATE_CREATED || wanted.size() > kMaxPath)
        return false;
    caFile_ = wanted;
    return true;
}

PublishTarget CEncoderInstance::Target() const {
    return {config_.url, PublishMode(), caFile_};
}

void CEncoderInstance::NoteAttempt(int error) {
    connectError_.store(error);
    if (error == OCELIX_CONNECT_OK)
        failedAttempts_.store(0);
    else
        failedAttempts_.fetch_add(1);
}

}  // namespace ocelix
