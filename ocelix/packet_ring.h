// Bounded queue of encoded video packets whose slots keep their storage.
#pragma once

#include <cstdint>
#include <vector>

namespace ocelix {

class PacketRing {
  public:
    static constexpr int kSlots = 100;

    explicit PacketRing(int slots = kSlots);

    // 0 stored; -1 full (packet dropped); -2 no storage for it (packet dropped). stampMs is
    // the millisecond tick of the frame clock the packet belongs to.
    int Push(const uint8_t* packet, int length, bool keyFrame, uint32_t stampMs = 0);
    // Length of the oldest packet, its bytes (valid until that slot is written again), whether
    // it is a key frame and its stamp; -1 when empty.
    int Pop(const uint8_t** packet, bool* keyFrame, uint32_t* stampMs = nullptr);
    bool Full() const { return full_; }
    bool Empty() const { return empty_; }
    int Count() const;

  private:
    struct Slot {
        int length = 0;
        bool keyFrame = false;
        uint32_t stampMs = 0;
        std::vector<uint8_t> storage;
    };
    std::vector<Slot> slots_;
    int write_ = 0;
    int read_ = 0;
    bool full_ = false;
    bool empty_ = true;
};

// Whether an Annex B access unit holds an IDR slice (NAL type 5).
bool IsKeyFrame(const uint8_t* data, int length);

// What viewers can decode after a loss: once a video packet was dropped, the following
// non-key packets are useless until the next key frame, so they are dropped too and a key
// frame is asked for.
class VideoLossGuard {
  public:
    // Whether a packet about to be queued or sent may go; a non-key packet after a loss may not.
    bool Admit(bool keyFrame) {
        if (keyFrame)
            broken_ = false;
        return !broken_;
    }
    // A video packet was lost: wait for a key frame and ask the encoder for one.
    void Lost() {
        broken_ = true;
        keyWanted_ = true;
    }
    // Taken by the encoding side: true once per request.
    bool TakeKeyRequest() {
        const bool wanted = keyWanted_;
        keyWanted_ = false;
        return wanted;
    }
    bool Broken() const { return broken_; }

  private:
    bool broken_ = false;
    bool keyWanted_ = false;
};

}  // namespace ocelix
