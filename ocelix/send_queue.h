// The packets waiting for the line, audio and video, handed out in time order and kept within
// about a second of media and a number of bytes. Beyond a second, video is dropped up to the
// next key frame, with one key frame asked for per loss episode, and audio older than that
// goes too, the oldest first: on a line slower than the sound alone the queue holds the newest
// second, and video comes back with a key frame once the line keeps up again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace ocelix {

constexpr int kVideoType = 9;
constexpr int kAudioType = 8;

struct MediaPacket {
    int type = kVideoType;
    int64_t stampMs = 0;   // media time of the picture or of the frame's first sample
    int64_t queuedMs = 0;  // media time it was queued
    bool key = false;
    std::vector<uint8_t> bytes;
};

struct SendQueueLimits {
    int64_t maxDelayMs = 1000;    // oldest media waiting or in flight, beyond which video goes
                                  // and audio older than it
    int64_t maxBytes = 16 << 20;  // bytes waiting; far above a second of media
    int64_t audioWaitMs = 80;     // how long audio waits for video with an earlier time
    int64_t videoWaitMs = 60;     // how long video waits for audio with an earlier time
    bool video = true;            // streams the instance has
    bool audio = true;
};

class SendQueue {
  public:
    explicit SendQueue(SendQueueLimits limits) : limits_(limits) {}

    // False when the packet was dropped: the queue is too old, or video is waiting for a key
    // frame after a loss, or the packet alone is over the byte bound. Room for a packet is
    // made by dropping the oldest ones.
    bool Push(MediaPacket&& packet, int64_t nowMs);
    // The packet to send now, in time order; false with *waitMs (-1: until a push) when none
    // is due yet. The packet counts as in flight until Sent.
    bool Next(int64_t nowMs, MediaPacket* out, int64_t* waitMs);
    // The in-flight packet has left (or failed: then video loss if it was video).
    void Sent(bool ok);
    // The in-flight packet was left out on purpose (sound before a stream's first picture):
    // neither sent nor lost.
    void LeftOut() { inFlight_ = false; }
    // A video packet was lost outside the queue (connection down, new session).
    void VideoLost();
    // Taken by the encoding side: true once per loss episode.
    bool TakeKeyRequest();
    // Age of the oldest packet waiting or in flight; 0 when none.
    int64_t DelayMs(int64_t nowMs) const;
    uint64_t Dropped() const { return dropped_; }
    // Packets and bytes waiting, the one in flight not counted.
    size_t HeldPackets() const { return audio_.size() + video_.size(); }
    int64_t HeldBytes() const { return heldBytes_; }
    uint64_t LossEpisodes() const { return episodes_; }
    // Storage of sent packets, for the next ones.
    std::vector<uint8_t> TakeBuffer();
    void GiveBuffer(std::vector<uint8_t>&& buffer);

  private:
    // A video packet at the front was lost: the plain frames behind it go too.
    void Lose();
    // Video waits for a key frame, asked for once per episode.
    void Break();
    void DropQueuedVideo();
    // Drops what got older than the delay bound.
    void DropStale(int64_t nowMs);
    // Drops the packet that would be sent first; false when none waits.
    bool DropOldest();
    void DropFront(std::deque<MediaPacket>& q);

    SendQueueLimits limits_;
    std::deque<MediaPacket> audio_, video_;
    bool inFlight_ = false;
    int inFlightType_ = 0;
    int64_t inFlightStampMs_ = 0;
    bool broken_ = false;     // video waits for a key frame
    bool keyWanted_ = false;  // a key frame is to be asked for
    uint64_t dropped_ = 0;
    int64_t heldBytes_ = 0;
    uint64_t episodes_ = 0;
    std::vector<std::vector<uint8_t>> spare_;
};

// Whether an Annex B access unit holds an IDR slice (NAL type 5).
bool IsKeyFrame(const uint8_t* data, int length);

}  // namespace ocelix
