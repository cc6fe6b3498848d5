#include "wire/reassembly_buffer.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

namespace rtmp {
namespace {

// Room kept for the next blocks once everything was read; more is given back.
constexpr int kKeptCapacity = 1024 * 1024;
// The largest room: whole 512-byte blocks within an int.
constexpr int64_t kMaxCapacity = INT_MAX / ByteBuffer::kBlockSize * ByteBuffer::kBlockSize;

}  // namespace

void ReassemblyBuffer::Append(const ByteBuffer& block) {
    const int n = block.Remaining();
    if (n <= 0)
        return;
    MakeRoom(n);
    const int end = data_.Limit();
    data_.SetLimit(end + n);
    std::memcpy(data_.Data() + end, block.Current(), static_cast<size_t>(n));
    copied_ += n;
}

void ReassemblyBuffer::Clear() noexcept {
    if (data_.Capacity() > kKeptCapacity)
        data_.Release();
    data_.Reset();
}

void ReassemblyBuffer::MakeRoom(int n) {
    const int unread = data_.Remaining();
    if (unread == 0)
        data_.Reset();  // nothing to keep: write from the front
    if (data_.Capacity() - data_.Limit() >= n)
        return;
    const int64_t needed = int64_t{unread} + n;
    if (needed > kMaxCapacity)
        throw std::length_error("ReassemblyBuffer: more than an int holds");
    if (data_.Position() >= unread && needed <= data_.Capacity()) {
        // At least as many bytes were read as are left: moving these costs less than that.
        std::memmove(data_.Data(), data_.Current(), static_cast<size_t>(unread));
        copied_ += unread;
        data_.SetPosition(0);
        data_.SetLimit(unread);
        return;
    }
    const int64_t grown = std::min(kMaxCapacity, std::max(needed, 2 * int64_t{data_.Capacity()}));
    ByteBuffer bigger(static_cast<int>(grown));
    if (bigger.Capacity() < needed)
        throw std::bad_alloc();
    bigger.PutBytes(data_.Current(), unread);
    copied_ += unread;
    bigger.SetLimit(unread);
    bigger.SetPosition(0);
    data_ = std::move(bigger);
}

}  // namespace rtmp
