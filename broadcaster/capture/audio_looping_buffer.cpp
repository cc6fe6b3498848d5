#include "capture/audio_looping_buffer.h"

#include <algorithm>
#include <limits>

namespace capture {

bool AudioLoopingBuffer::Reset(uint32_t blockBytes) {
    bytes_.clear();
    blockBytes_ = 0;
    nextOffset_ = 0;
    capturePosition_ = 0;
    if (blockBytes == 0 || blockBytes > std::numeric_limits<uint32_t>::max() / kBlockCount) {
        return false;
    }
    bytes_.assign(static_cast<size_t>(blockBytes) * kBlockCount, 0);
    blockBytes_ = blockBytes;
    return true;
}

uint32_t AudioLoopingBuffer::Available() const {
    if (bytes_.empty()) {
        return 0;
    }
    if (capturePosition_ >= nextOffset_) {
        return capturePosition_ - nextOffset_;
    }
    return BufferBytes() - nextOffset_ + capturePosition_;
}

std::span<uint8_t> AudioLoopingBuffer::WritableRegion() {
    if (bytes_.empty()) {
        return {};
    }
    const uint32_t free = BufferBytes() - Available() - 1;
    const uint32_t toEnd = BufferBytes() - capturePosition_;
    return std::span<uint8_t>(bytes_.data() + capturePosition_, std::min(free, toEnd));
}

bool AudioLoopingBuffer::Commit(uint32_t bytes) {
    if (bytes > WritableRegion().size()) {
        return false;
    }
    capturePosition_ = static_cast<uint32_t>((uint64_t{capturePosition_} + bytes) % BufferBytes());
    return true;
}

AudioLoopingBuffer::Parts AudioLoopingBuffer::TakeWholeBlocks() {
    Parts parts;
    if (bytes_.empty()) {
        return parts;
    }
    const uint32_t wanted = Available() / blockBytes_ * blockBytes_;
    if (wanted == 0) {
        return parts;
    }
    const uint32_t toEnd = BufferBytes() - nextOffset_;
    const uint32_t first = std::min(wanted, toEnd);
    parts.part[0] = Part{bytes_.data() + nextOffset_, first};
    parts.count = 1;
    if (wanted > first) {
        parts.part[1] = Part{bytes_.data(), wanted - first};
        parts.count = 2;
    }
    nextOffset_ = static_cast<uint32_t>((uint64_t{nextOffset_} + wanted) % BufferBytes());
    return parts;
}

}  // namespace capture
