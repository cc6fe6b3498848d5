#include "client/nal_units.h"

namespace rtmp {

int FindNalEnd(const ByteBuffer& buffer) {
    const int remaining = buffer.Remaining();
    if (remaining < 4)
        return 0;
    const uint8_t* p = buffer.Current();
    for (int i = 1; i + 4 <= remaining - 1; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 0 && p[i + 3] == 1)
            return i;
    }
    return remaining;
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

void AdtsToAudioSpecificConfig(uint8_t adts2, uint8_t adts3, uint8_t config[2]) {
    config[0] = config[1] = 0;
    const int rateIndex = (adts2 >> 2) & 0x0F;
    const int channels = ((adts2 & 0x01) << 2) | (adts3 >> 6);
    const bool privateBit = (adts2 & 0x02) != 0;
    const bool rateSupported =
        rateIndex == 0 || (rateIndex >= 3 && rateIndex <= 8) || rateIndex == 10 || rateIndex == 11;
    if (privateBit || !rateSupported || (channels != 1 && channels != 2) || (adts3 & 0x3F) != 0) {
        return;
    }
    const int objectType = 2;  // AAC LC
    const unsigned bits = (objectType << 11) | (rateIndex << 7) | (channels << 3);
    config[0] = static_cast<uint8_t>(bits >> 8);
    config[1] = static_cast<uint8_t>(bits);
}

}  // namespace rtmp
