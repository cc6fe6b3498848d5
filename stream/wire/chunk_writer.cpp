// Sending side of the chunk stream: header selection, chunking and command packets.
#include <algorithm>
#include <climits>

#include "wire/chunk.h"

namespace rtmp {
namespace {

constexpr int kMaxBasicHeader = 3;
constexpr int kMaxMessageHeader = 11;
constexpr int kExtendedLength = 4;
constexpr int kMaxChunkHeader = kMaxBasicHeader + kMaxMessageHeader + kExtendedLength;

}  // namespace

RtmpContext::RtmpContext() {
    for (int i = 0; i < kChannelCount; ++i) {
        headers_[static_cast<size_t>(i)].channelId = i;
        chunks_[static_cast<size_t>(i)].Reset();
    }
}

void RtmpContext::SetHeader(int id, int type, int streamId, int ts, int size) {
    ChannelHeader& h = Header(id);
    h.inUse = 1;
    h.amfType = type;
    h.streamId = streamId;
    h.ts = ts;
    h.amfSize = size;
}

void WriteBasicHeader(ByteBuffer& out, int fmt, int id) {
    const uint32_t high = static_cast<uint32_t>(fmt & 3) << 6;
    if (id <= 63) {
        out.PutByte(high | static_cast<uint32_t>(id));
    } else if (id <= 319) {
        out.PutByte(high);
        out.PutByte(static_cast<uint32_t>(id - 64));
    } else {
        out.PutByte(high | 1);
        out.PutByte(static_cast<uint32_t>(id - 64) & 0xFF);
        out.PutByte(static_cast<uint32_t>(id - 64) >> 8);
    }
}

int SelectHeaderType(const ChannelHeader& current, const ChannelHeader& last) {
    // A compressed header refers to the previous header of the same chunk stream.
    if (last.inUse == 0 || last.streamId != current.streamId || last.channelId != current.channelId)
        return 0;
    if (last.amfSize == current.amfSize && last.amfType == current.amfType)
        return last.ts == current.ts ? 3 : 2;
    return 1;
}

int ChunkedSizeBound(int bodyLength) {
    const long long body = std::max(bodyLength, 0);
    const long long continuations = body > 0 ? (body - 1) / kOutChunkSize : 0;
    const long long bound =
        kMaxChunkHeader + body + continuations * (kMaxBasicHeader + kExtendedLength);
    return static_cast<int>(std::min<long long>(bound, INT_MAX));
}

int ChunkWriter::WriteChunkHeader(RtmpContext& context, int id, ByteBuffer& out) {
    ChannelHeader& current = context.Header(id);
    if (current.ts < 0 || current.ts > kMaxTsDelta)
        current.ts = 0;

    int fmt = SelectHeaderType(current, lastHeader_);
    // After a type-0 header the peer knows no delta for this chunk stream, so a message with
    // the same delta still has to say it.
    if (fmt == 3 && lastFmt_ == 0)
        fmt = 2;

    const size_t slot = static_cast<size_t>(id);
    const uint32_t delta = static_cast<uint32_t>(current.ts);
    runningTime_.at(slot) += delta;
    messageTime_ = fmt == 0 ? runningTime_[slot] : delta;
    messageExtended_ = fmt != 3 && messageTime_ >= kExtendedTs;
    lastFmt_ = fmt;

    out.Reserve(kMaxChunkHeader);
    WriteBasicHeader(out, fmt, current.channelId);
    if (fmt <= 2)
        out.PutInt24(messageExtended_ ? kExtendedTs : messageTime_);
    if (fmt <= 1) {
        out.PutInt24(static_cast<uint32_t>(current.amfSize));
        out.PutByte(static_cast<uint32_t>(current.amfType));
    }
    if (fmt == 0)
        out.PutInt32LE(static_cast<uint32_t>(current.streamId));
    if (messageExtended_)
        out.PutInt32(messageTime_);
    return fmt;
}

void ChunkWriter::WriteMessage(RtmpContext& context, int id, ByteBuffer& out, ByteBuffer& body) {
    out.Reserve(ChunkedSizeBound(body.Remaining()));
    WriteChunkHeader(context, id, out);

    out.Put(body, std::min(body.Remaining(), kOutChunkSize));
    while (body.Remaining() > 0) {
        WriteBasicHeader(out, 3, id);
        if (messageExtended_)
            out.PutInt32(messageTime_);
        out.Put(body, std::min(body.Remaining(), kOutChunkSize));
    }
    out.Flip();
    lastHeader_ = context.Header(id);
}

RtmpPacket& RtmpPacket::Finish(RtmpContext& context, int id) {
    Flip();
    const int length = Remaining();
    context.Header(id).amfSize = length;

    ByteBuffer body(length);
    body.PutAll(*this);
    body.Flip();
    if (length == 0)
        body.Reset();

    Allocate(ChunkedSizeBound(length));
    writer_.WriteMessage(context, id, *this, body);
    return *this;
}

}  // namespace rtmp
