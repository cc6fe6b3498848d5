// One broadcast: encoders, frame clock, send queue, worker threads and reconnection, all on one
// media clock (milliseconds since the start).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio_clock.h"
#include "backends.h"
#include "basis/periodic_timer.h"
#include "bitrate_control.h"
#include "local_copy.h"
#include "ocelix/ocelix.h"
#include "send_queue.h"
#include "send_rate.h"

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

constexpr int kMaxWireDeltaMs = 10000;

struct ConnectAttempt;

// Where and how a connection attempt publishes.
struct PublishTarget {
    std::string url;
    std::string mode;    // "live" or "append"
    std::string caFile;  // authorities trusted for rtmps:// besides the system's; may be empty
};

class CEncoderInstance final : public basis::CMMTimer {
  public:
    CEncoderInstance(const EncoderConfig& config, Backends backends);
    ~CEncoderInstance() override;

    int Start();
    int Stop();
    // takenMs: the media time the picture was taken at; without it, now.
    void PutVideoData(const void* data, int length, std::optional<int64_t> takenMs = {});
    void PutAudioData(const void* data, int length);
    int AudioNotifySize() const;
    void GetStats(OcelixStats* stats);
    // Before the start: the file of the local copy (empty: none). False once started or when
    // the path leaves no room for a numbered name.
    bool SetLocalCopy(const char* path);
    // Before the start: authorities trusted for rtmps:// besides the system's (empty: none).
    bool SetTlsCaFile(const char* path);
    OcelixLocalCopy LocalCopyStatus() const { return copy_.Status(); }

    // The steps the threads repeat, callable one at a time by tests.
    bool ConnectAndPublish();
    // Encodes the newest picture once for all due ticks; the ticks beyond one are skipped.
    void EncodeDueFrames();
    // Sends the packet that is due now, if any; true when one was taken.
    bool SendPass();
    void WatchdogPass();

    EncoderState State() const { return static_cast<EncoderState>(state_.load()); }
    const char* PublishMode() const { return config_.record == 1 ? "append" : "live"; }
    PublishTarget Target() const;
    // Counts a finished connection attempt and keeps how it ended.
    void NoteAttempt(int error);
    int QueueDelayMs();
    int TargetKbps() const { return targetKbps_.load(); }
    // One frame-clock tick, as the timer gives it.
    void Tick() { OnTimer(); }
    // Media time now: milliseconds since the start.
    int64_t MediaNow();

  protected:
    void OnTimer() override;

  private:
    void SendThread();
    void VideoEncodeThread();
    void WatchdogThread();
    void Transmit(MediaPacket& packet);
    void InstallConnection(void* handle);
    // The frame grid: point n is n x 1000 / frameRate ms after the clock started (rounded down).
    int64_t GridTimeMs(int64_t point) const;
    // The last grid point at or before a media time, and the grid point nearest to it.
    int64_t GridPointAtOrBefore(int64_t timeMs) const;
    int64_t NearestGridPoint(int64_t timeMs) const;
    void Sleep(int ms);

    EncoderConfig config_{};
    Backends backends_;
    std::atomic<int> state_{STATE_CREATED};
    bool videoOpen_ = false;
    bool audioOpen_ = false;
    uint32_t originMs_ = 0;  // the clock's reading at the start: media time 0

    // Pictures: the caller's frame is copied once into spare_, which then trades places with
    // latest_; the encoder trades latest_ for its own work_ when a new one is there.
    std::mutex putLock_;
    std::vector<uint8_t> spare_;  // guarded by putLock_
    std::mutex frameLock_;
    std::vector<uint8_t> latest_;  // guarded by frameLock_
    int64_t latestStampMs_ = 0;    // when latest_ was taken; guarded by frameLock_
    uint64_t latestSeq_ = 0;       // pictures handed in; guarded by frameLock_
    std::condition_variable pictureArrived_;
    // Encoding side only.
    std::vector<uint8_t> work_;
    uint64_t workSeq_ = 0;
    bool encodedOnce_ = false;
    int64_t lastVideoStampMs_ = -1;
    // Times of the pictures handed to the video encoder and not out yet: an encoder with frame
    // threads returns each picture one or more calls later, and it keeps their order.
    std::deque<int64_t> pendingVideoStamps_;
    uint64_t ticksTaken_ = 0;
    int appliedKbps_ = 0;
    BitrateControl bitrate_;
    std::atomic<int> targetKbps_{0};

    // The frame clock: tick n is due n x 1000 / frameRate ms after it started.
    int64_t clockStartMs_ = 0;
    int frameRate_ = 1;
    std::mutex tickLock_;
    std::condition_variable ticked_;

    // Sound.
    std::mutex audioLock_;                  // audio encoder use versus its closing
    std::optional<AudioClock> audioClock_;  // guarded by audioLock_

    // The packets on their way to the server.
    std::mutex queueLock_;
    std::condition_variable queued_;
    SendQueue queue_;  // guarded by queueLock_

    // The connection. handleLock_ guards which handle is current and calls that only look at
    // it; connLock_ serialises connecting, publishing and sending on it, and the wire time.
    std::mutex connLock_;
    std::mutex handleLock_;
    void* rtmp_ = nullptr;
    uint64_t generation_ = 0;      // connections made; guarded by connLock_
    uint64_t wireGeneration_ = 0;  // the connection wireTimeMs_ belongs to; guarded by connLock_
    int64_t wireTimeMs_ = 0;       // media time the server's stream has reached; connLock_
    std::array<int64_t, 2> lastWireMs_{};  // last audio and video message times; connLock_
    // The connection whose start sound is held back for a picture, and since when; connLock_.
    uint64_t soundHeldGeneration_ = 0;
    int64_t soundHeldFromMs_ = 0;
    std::atomic<bool> lastPublishOk_{false};

    std::mutex wakeLock_;
    std::condition_variable wake_;             // ends the threads' waits at stop
    std::shared_ptr<ConnectAttempt> attempt_;  // the watchdog's attempt; guarded by wakeLock_
    // Attempts the watchdog gave up on that may still be running; guarded by wakeLock_.
    std::vector<std::shared_ptr<ConnectAttempt>> stragglers_;
    // Serialises the end of Start (timer, threads) with Stop, which may come from another thread.
    std::mutex lifeLock_;
    std::thread sendThread_, encodeThread_, watchdogThread_;

    // Progress.
    std::atomic<uint64_t> framesEncoded_{0}, framesSkipped_{0}, videoSent_{0}, audioSent_{0},
        bytesSent_{0};
    std::atomic<int> reconnects_{0};
    std::atomic<int> connectError_{OCELIX_CONNECT_OK};  // of the last attempt
    std::atomic<int> failedAttempts_{0};                // since the line was last up
    std::string caFile_;                                // fixed once started
    SendRate rate_;

    // The local copy, fed with every encoded packet before the send queue sees it.
    std::string copyPath_;  // guarded by lifeLock_
    LocalCopy copy_;
};

}  // namespace ocelix
