// Received bytes that wait for the rest of their chunk: appended at the end, decoded from the
// position on. The room grows geometrically, and the unread bytes move to the front only when
// no more of them are left than were read, so each received byte is copied a bounded number of
// times however large the chunks are.
#pragma once

#include <cstdint>

#include "wire/byte_buffer.h"

namespace rtmp {

class ReassemblyBuffer {
  public:
    ReassemblyBuffer() { data_.Reset(); }

    // Adds block's remaining bytes after the unread ones; block is left as it was. Throws
    // std::length_error when the whole would not fit an int, std::bad_alloc without memory.
    void Append(const ByteBuffer& block);
    // The unread bytes: position at the first, limit after the last. Decoding from it moves the
    // position past what was used.
    ByteBuffer& Unread() noexcept { return data_; }
    const ByteBuffer& Unread() const noexcept { return data_; }
    // Forgets the unread bytes; a large block of room is given back.
    void Clear() noexcept;
    // Bytes copied into the buffer so far: appends, moves to the front and growth.
    int64_t BytesCopied() const noexcept { return copied_; }

  private:
    void MakeRoom(int n);

    ByteBuffer data_{0};
    int64_t copied_ = 0;
};

}  // namespace rtmp
