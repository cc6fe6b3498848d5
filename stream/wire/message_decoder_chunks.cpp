// Receiving side of the chunk stream: joins received blocks, reads chunk headers into the
// context's table and gathers each message's chunks before handing it to DecodeAMF. Decoding
// stops at a chunk that has not fully arrived; its bytes wait in the leftover for the next block.
#include <algorithm>
#include <cstdio>

#include "log/log.h"
#include "wire/message_decoder.h"
#include "wire/my_exception.h"

namespace rtmp {
namespace {

constexpr int kMessageHeaderLength[4] = {11, 7, 3, 0};
constexpr int kExtendedLength = 4;
// Room reserved when a message starts; larger messages grow as their chunks arrive.
constexpr int kFirstReserve = 64 * 1024;

// The basic header at in's position: fmt, chunk stream id and its own length. complete is
// false when the input ends inside it (id is then unknown).
struct BasicHeader {
    int fmt = 0;
    int id = -1;
    int length = 1;
    int first = 0;
    bool complete = false;
};

BasicHeader PeekBasicHeader(const ByteBuffer& in) {
    BasicHeader b;
    if (in.Remaining() < 1)
        return b;
    b.first = in.PeekByte(0);
    b.fmt = b.first >> 6;
    const int low = b.first & 0x3F;
    b.length = low == 0 ? 2 : (low == 1 ? 3 : 1);
    if (in.Remaining() < b.length)
        return b;
    if (low == 0)
        b.id = in.PeekByte(1) + 64;
    else if (low == 1)
        b.id = in.PeekByte(2) * 256 + in.PeekByte(1) + 64;
    else
        b.id = low;
    b.complete = true;
    return b;
}

// Logs a chunk header naming a chunk stream outside the table (with the log file forced on
// for this line) and appends the text and the whole input to the error file.
void ReportBadChannel(const ByteBuffer& in, int start, int h, int id, int basicLength,
                      int chunkSize) {
    char text[512];
    std::snprintf(
        text, sizeof text,
        "::DecodeHeader().Erro. HeaderByte=0x%02X,ChannelID=0x%02X,StartPos=%d=(%d*16+%d),"
        "byteCount=%d,read=%d,MSize=%d=(%d*16+%d),buf(pos=%d,lim=%d,cap=%d)",
        h, id, start, start / 16, start % 16, basicLength, basicLength, chunkSize, chunkSize / 16,
        chunkSize % 16, start, in.Limit(), in.Capacity());
    log::SetConsoleColor(4);
    log::ForceText(text);
    log::AppendErrorFile(text, in.Data(), static_cast<size_t>(in.Limit()));
}

// Puts a buffer's position back where it was, however the scope is left.
class PositionGuard {
  public:
    explicit PositionGuard(ByteBuffer& buffer) : buffer_(buffer), position_(buffer.Position()) {}
    ~PositionGuard() { buffer_.SetPosition(std::min(position_, buffer_.Limit())); }
    PositionGuard(const PositionGuard&) = delete;
    PositionGuard& operator=(const PositionGuard&) = delete;

  private:
    ByteBuffer& buffer_;
    int position_;
};

// Empties a chunk buffer after its message was handed on, also when the handler threw.
class ResetGuard {
  public:
    explicit ResetGuard(ByteBuffer& buffer) : buffer_(buffer) {}
    ~ResetGuard() { buffer_.Reset(); }
    ResetGuard(const ResetGuard&) = delete;
    ResetGuard& operator=(const ResetGuard&) = delete;

  private:
    ByteBuffer& buffer_;
};

}  // namespace

int MessageDecoder::DecodeReciveUnite(RtmpContext& context, ByteBuffer& block) {
    PositionGuard keep(block);
    try {
        if (leftover_.Unread().Remaining() > 0) {
            if (log::LinesOn())
                log::ShowFMT("::United lastPacket=%d, thisPacket=%d",
                             leftover_.Unread().Remaining(), block.Remaining());
            // Joined behind what waits, in room that grows geometrically: a chunk of megabytes
            // arriving in small blocks is copied once, not once per block.
            leftover_.Append(block);
            DecodeChunks(context, leftover_.Unread());
            if (leftover_.Unread().Remaining() == 0)
                leftover_.Clear();
        } else {
            DecodeChunks(context, block);
            leftover_.Append(block);  // the start of a chunk whose rest is still to come
        }
    } catch (MyException e) {
        leftover_.Clear();
        if (e == MYEX_HEADER) {
            log::SetConsoleColor(4);
            log::ShowText("DecodeReciveUnite().Head Erro.");
        }
        throw;
    } catch (...) {
        leftover_.Clear();
        throw;
    }
    return 0;
}

void MessageDecoder::DecodeChunks(RtmpContext& context, ByteBuffer& in) {
    while (in.Remaining() > 0) {
        const int start = in.Position();
        const int headerLength = HeaderLength(context, in);
        if (in.Remaining() < headerLength) {
            if (log::LinesOn())
                log::ShowFMT("::LeftHead Remain=%d, HeadLen=%d", in.Remaining(), headerLength);
            return;
        }

        // The header is applied now and undone if the chunk's data has not fully arrived,
        // since it is read again with the next block.
        const int peekedId = PeekBasicHeader(in).id;
        const ChannelHeader before = context.Header(peekedId);
        const int id = DecodeHeader(context, in);
        const ChannelHeader& header = context.Header(id);
        const int size = header.amfSize;
        ByteBuffer& chan = context.Chunks(id);
        if (size == 0) {
            if (chan.Position() > 0) {
                log::ShowText("AFM_SIZE Erro:");
                throw MYEX_SIZE;
            }
            continue;
        }

        const int need = size - chan.Position();
        if (need <= 0) {
            log::ShowText("AFM_SIZE Erro:");
            throw MYEX_SIZE;
        }
        const int take = std::min(need, chunkSize_);
        if (in.Remaining() < take) {
            if (log::LinesOn())
                log::ShowFMT("::leftAMF AMFSize=%d,Remain=%d,pos=%d,leftAMF=%d", size,
                             in.Remaining(), in.Position(), need - in.Remaining());
            context.Header(id) = before;
            in.SetPosition(start);
            return;
        }

        if (chan.Position() == 0)
            chan.Reserve(std::max(take, std::min(size, kFirstReserve)));
        else if (chan.Capacity() - chan.Position() < take)
            chan.Reserve(std::min(need, std::max(take, chan.Position())));
        chan.Append(in, take);

        if (chan.Position() == size) {
            const ChannelHeader complete = header;
            ResetGuard empty(chan);
            chan.Flip();
            DecodeAMF(context, complete, chan);
        }
    }
}

int MessageDecoder::HeaderLength(RtmpContext& context, const ByteBuffer& in) const {
    const BasicHeader basic = PeekBasicHeader(in);
    if (in.Remaining() < 1)
        return 0;
    if (!basic.complete)
        return basic.length;
    if (basic.id >= kChannelCount) {
        ReportBadChannel(in, in.Position(), basic.first, basic.id, basic.length, chunkSize_);
        throw MYEX_HEADER;
    }

    int length = basic.length + kMessageHeaderLength[basic.fmt];
    if (basic.fmt == 3) {
        if (context.Header(basic.id).extended)
            length += kExtendedLength;
        return length;
    }
    if (in.Remaining() < basic.length + 3)
        return length;
    const uint32_t field = uint32_t{in.PeekByte(basic.length)} << 16 |
                           uint32_t{in.PeekByte(basic.length + 1)} << 8 |
                           in.PeekByte(basic.length + 2);
    if (field == kExtendedTs)
        length += kExtendedLength;
    return length;
}

int MessageDecoder::DecodeHeader(RtmpContext& context, ByteBuffer& in) {
    if (in.Remaining() <= 0)
        return -1;
    const int start = in.Position();
    const BasicHeader basic = PeekBasicHeader(in);
    if (basic.complete && basic.id >= kChannelCount) {
        in.Skip(basic.length);
        HeaderError(context, in, start, basic.first, basic.id, basic.length);
    }
    if (in.Remaining() < HeaderLength(context, in))
        return -1;
    in.Skip(basic.length);

    const int id = basic.id;
    const int fmt = basic.fmt;
    ChannelHeader& header = context.Header(id);
    if (fmt == 3) {
        // A chunk stream whose last timestamp was extended repeats it in every fmt-3 chunk.
        if (header.extended)
            in.Skip(kExtendedLength);
        if (context.Chunks(id).Position() == 0)
            header.clock += header.delta;
        return id;
    }

    const uint32_t field = in.GetInt24();
    header.ts = static_cast<int32_t>(field);
    if (fmt <= 1) {
        header.amfSize = static_cast<int32_t>(in.GetInt24());
        header.amfType = in.GetByte();
    }
    if (fmt == 0)
        header.streamId = static_cast<int32_t>(in.GetInt32LE());
    if (log::LinesOn())
        log::ShowFMT("DecodeHeader().Ts=%d,AmfSize=%d,AMFType=%s", header.ts, header.amfSize,
                     TypeName(header.amfType));

    uint32_t value = field;
    header.extended = field == kExtendedTs;
    if (header.extended) {
        value = in.GetInt32();
        header.ts = static_cast<int32_t>(value);
        log::SetConsoleColor(4);
        log::ForceFMT(
            "::DecodeHeader().Ts=(-1) HeaderByte=0x%02X,ChannelID=0x%02X,StartPos=(%d,%d),"
            "byteCount=%d,read=%d,MSize=%d=(%d,%d),UnkownTs=%d",
            basic.first, id, start / 16, start % 16, basic.length, in.Position() - start,
            chunkSize_, chunkSize_ / 16, chunkSize_ % 16, header.ts);
        std::printf("tsEx=0x%08X\n", value);
    }

    if (fmt == 0) {
        header.clock = value;
        header.delta = 0;
    } else {
        header.delta = value;
        header.clock += value;
    }
    return id;
}

void MessageDecoder::HeaderError(RtmpContext& /*context*/, ByteBuffer& in, int start, int h, int id,
                                 int basicLength) {
    ReportBadChannel(in, start, h, id, basicLength, chunkSize_);
    in.SetPosition(0);
    throw MYEX_HEADER;
}

bool MessageDecoder::DecodeChunkSize(ByteBuffer& body) {
    if (body.Remaining() < 4) {
        if (log::LinesOn())
            log::ShowFMT("::DecodeChunkSize().Short Remain=%d", body.Remaining());
        return false;
    }
    const int32_t size = static_cast<int32_t>(body.GetInt32());
    if (log::LinesOn())
        log::ShowFMT("DecodeChunkSize:%d", size);
    if (size <= 0 || size > kMaxInChunkSize) {
        log::SetConsoleColor(4);
        log::ShowFMT("::DecodeChunkSize().Erro. ChunkSize=%d", size);
        throw MYEX_CHUNKSIZE;
    }
    chunkSize_ = size;
    return true;
}

}  // namespace rtmp
