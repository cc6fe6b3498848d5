#include "wire/byte_buffer.h"

#include <new>

namespace rtmp {

bool ByteBuffer::Allocate(int n) {
    if (n <= 0)
        n = 1;
    if (n <= cap_) {
        Clear();
        return true;
    }
    const long long size = (static_cast<long long>(n - 1) / kBlockSize + 1) * kBlockSize;
    Release();
    if (size > 0x7FFFFFFF)
        return false;
    storage_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)]());
    if (!storage_)
        return false;
    pos_ = 0;
    lim_ = cap_ = static_cast<int>(size);
    return true;
}

void ByteBuffer::MakeRoom(int n) {
    // Nothing written yet (after Reset, Clear or Release): start a fresh block.
    if (pos_ == 0 && (lim_ == 0 || Remaining() < n)) {
        if (!Allocate(n + kBlockSize))
            throw std::bad_alloc();
        return;
    }
    if (Remaining() >= n)
        return;
    Flip();
    ByteBuffer kept(Remaining());
    kept.PutAll(*this);
    kept.Flip();
    if (!Allocate(kept.Remaining() + n + kBlockSize))
        throw std::bad_alloc();
    PutAll(kept);
}

void ByteBuffer::Append(ByteBuffer& other, int n) {
    other.CheckRead(n);
    MakeRoom(n);
    Put(other, n);
}

void ByteBuffer::AppendBytes(const void* p, int n) {
    if (n < 0)
        throw BufferBoundsError("ByteBuffer: negative append");
    MakeRoom(n);
    PutBytes(p, n);
}

}  // namespace rtmp
