#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace capture {

// The looping capture buffer of the microphone: kBlockCount blocks of PCM. The capture source
// writes at the capture position; the delivery step takes whole blocks from the next offset.
// The capture position never catches up with the next offset (one byte stays free), so an
// equal pair always means "nothing waiting".
class AudioLoopingBuffer {
  public:
    static constexpr uint32_t kBlockCount = 16;

    struct Part {
        const uint8_t* data = nullptr;
        uint32_t length = 0;
    };
    // Up to two parts: the second exists when the range wraps past the end of the buffer.
    struct Parts {
        std::array<Part, 2> part{};
        int count = 0;
    };

    // Sizes the buffer for blockBytes and empties it. False (buffer left empty) when blockBytes
    // is 0 or the whole buffer would not fit a uint32.
    bool Reset(uint32_t blockBytes);

    uint32_t BlockBytes() const { return blockBytes_; }
    uint32_t BufferBytes() const { return static_cast<uint32_t>(bytes_.size()); }
    uint32_t NextOffset() const { return nextOffset_; }
    uint32_t CapturePosition() const { return capturePosition_; }

    // The offset of the last byte of block index (0 .. kBlockCount - 1): where the capture
    // passing means "block complete".
    uint32_t NotificationOffset(uint32_t index) const { return blockBytes_ * (index + 1) - 1; }

    // Bytes captured and not yet taken.
    uint32_t Available() const;

    // The contiguous space the source may write next, starting at the capture position.
    std::span<uint8_t> WritableRegion();
    // Moves the capture position on by bytes written into WritableRegion(); false (nothing
    // changed) when bytes exceeds that region.
    bool Commit(uint32_t bytes);

    // The delivery step: all whole blocks available, from the next offset, as one part or two
    // when they wrap; the next offset advances past them. A partial block stays for later.
    Parts TakeWholeBlocks();

  private:
    std::vector<uint8_t> bytes_;
    uint32_t blockBytes_ = 0;
    uint32_t nextOffset_ = 0;
    uint32_t capturePosition_ = 0;
};

}  // namespace capture
