// One broadcast: encoders, frame clock, packet ring, worker threads and reconnection.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "backends.h"
#include "ocelix/ocelix.h"
#include "packet_ring.h"
#include "platform/mm_timer.h"

namespace ocelix {

static_assert(sizeof(EncoderConfig) == 300, "EncoderConfig crosses the library boundary");
static_assert(offsetof(EncoderConfig, width) == 0);
static_assert(offsetof(EncoderConfig, height) == 4);
static_assert(offsetof(EncoderConfig, inputFormat) == 8);
static_assert(offsetof(EncoderConfig, frameRate) == 12);
static_assert(offsetof(EncoderConfig, interval) == 16);
static_assert(offsetof(EncoderConfig, quality) == 20);
static_assert(offsetof(EncoderConfig, bitrate) == 24);
static_assert(offsetof(EncoderConfig, samplesPerSec) == 28);
static_assert(offsetof(EncoderConfig, bitsPerSample) == 32);
static_assert(offsetof(EncoderConfig, channels) == 36);
static_assert(offsetof(EncoderConfig, record) == 40);
static_assert(offsetof(EncoderConfig, url) == 44);

enum EncoderState : int {
    STATE_CREATED = 0,
    STATE_STARTING = 1,
    STATE_RUNNING = 2,
    STATE_STOPPED = 3
};

constexpr int kWatchdogPeriodMs = 2000;
constexpr int kWorkerPassMs = 10;
constexpr int kVideoType = 9;
constexpr int kAudioType = 8;

class CEncoderInstance final : public CMMTimer {
  public:
    CEncoderInstance(const EncoderConfig& config, Backends backends);
    ~CEncoderInstance() override;

    int Start();
    int Stop();
    void PutVideoData(const void* data, int length);
    void PutAudioData(const void* data, int length);
    int AudioNotifySize() const;
    void GetStats(OcelixStats* stats);

    // The steps the threads repeat, callable one at a time by tests.
    bool ConnectAndPublish();
    void EncodeDueFrames();
    void SendPass();
    void WatchdogPass();
    // Video packets carry the frame clock's tick they were encoded for (stampMs); audio
    // packets advance the time base by 1 ms each.
    void SendPacket(const uint8_t* data, int length, int type, bool keyFrame, uint32_t stampMs = 0);

    EncoderState State() const { return static_cast<EncoderState>(state_.load()); }
    const char* PublishMode() const { return config_.record == 1 ? "append" : "live"; }
    int RingCount();
    int PendingTicks() const { return pendingTicks_.load(); }
    // One frame-clock tick, as the timer gives it.
    void Tick() { OnTimer(); }

  protected:
    void OnTimer() override { pendingTicks_.fetch_add(1); }

  private:
    void SendThread();
    void VideoEncodeThread();
    void WatchdogThread();
    void CountSent(uint32_t now, int bytes);
    void Sleep(int ms);

    EncoderConfig config_{};
    Backends backends_;
    void* rtmp_ = nullptr;
    std::atomic<int> state_{STATE_CREATED};
    bool videoOpen_ = false;
    bool audioOpen_ = false;

    std::mutex frameLock_;
    std::vector<uint8_t> frame_;  // latest frame; guarded by frameLock_

    std::mutex connLock_;
    uint32_t lastSendTick_ = 0;  // guarded by connLock_
    std::atomic<bool> lastPublishOk_{false};

    std::mutex ringLock_;
    PacketRing ring_;            // guarded by ringLock_
    VideoLossGuard queueGuard_;  // losses on the way into the ring; guarded by ringLock_
    VideoLossGuard sendGuard_;   // losses on the way out to the server; guarded by ringLock_

    std::vector<uint8_t> sendScratch_;  // the sending side's copy of a popped packet

    // The frame clock: when it started and how many of its ticks were taken, so that every
    // encoded frame is timed by its tick rather than by when it happened to be sent.
    uint32_t clockStartMs_ = 0;
    uint32_t clockIntervalMs_ = 0;
    uint64_t ticksTaken_ = 0;  // encoding side only

    std::mutex audioLock_;  // audio encoder use versus its closing

    std::mutex wakeLock_;
    std::condition_variable wake_;  // ends the watchdog's wait at stop
    std::thread sendThread_, encodeThread_, watchdogThread_;

    // Progress.
    uint32_t startTick_ = 0;
    std::atomic<uint64_t> framesEncoded_{0}, videoSent_{0}, audioSent_{0}, dropped_{0},
        bytesSent_{0};
    std::atomic<int> reconnects_{0};
    std::mutex rateLock_;
    std::array<uint64_t, 10> rateBytes_{};  // bytes sent per 100 ms slot; guarded by rateLock_
    std::array<uint32_t, 10> rateSlot_{};   // slot number each entry belongs to
};

}  // namespace ocelix
