#include "client/annexb_to_avc.h"

#include <span>

#include "basis/annexb.h"

namespace rtmp {

int FindNalEnd(const ByteBuffer& buffer) {
    const int remaining = buffer.Remaining();
    if (remaining < 4)
        return 0;
    // The next unit's code counts only with a byte behind it, so the last byte is not searched.
    const std::span<const uint8_t> searched(buffer.Current(), static_cast<size_t>(remaining - 1));
    const size_t next = basis::FindLongStartCode(searched, 1);
    return next < searched.size() ? static_cast<int>(next) : remaining;
}

void TakeNal(ByteBuffer& target, ByteBuffer& source) {
    const int n = FindNalEnd(source);
    if (n > 0) {
        target.Allocate(n);
        target.Put(source, n);
        target.Flip();
    } else {
        target.Reset();
    }
}

void PutNalWithLength(ByteBuffer& target, ByteBuffer& nal) {
    if (nal.Remaining() <= 4)
        return;
    nal.Skip(4);
    const int n = nal.Remaining();
    target.Reserve(4 + n);
    target.PutInt32(static_cast<uint32_t>(n));
    target.Put(nal, n);
}

void SkipNal(ByteBuffer& source) {
    source.Skip(FindNalEnd(source));
}

void MoveNalWithLength(ByteBuffer& target, ByteBuffer& source, int lengthBytes) {
    const int n = FindNalEnd(source);
    if (n <= 4) {
        source.Skip(n);
        return;
    }
    source.Skip(4);
    const int body = n - 4;
    target.Reserve(lengthBytes + body);
    if (lengthBytes == 2)
        target.PutInt16(static_cast<uint32_t>(body));
    else
        target.PutInt32(static_cast<uint32_t>(body));
    target.Put(source, body);
}

int NalType(const ByteBuffer& buffer) {
    if (buffer.Remaining() <= 4)
        return -1;
    return buffer.PeekByte(4) & 0x1F;
}

}  // namespace rtmp
