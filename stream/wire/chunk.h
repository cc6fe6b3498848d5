// The RTMP chunk stream: header values per chunk stream, the header-compressing writer and
// the outgoing command packet.
#pragma once

#include <array>
#include <cstdint>

#include "wire/amf.h"
#include "wire/byte_buffer.h"

namespace rtmp {

constexpr int kChannelCount = 12;   // chunk stream ids 0..11
constexpr int kOutChunkSize = 128;  // the client never announces another chunk size
constexpr uint32_t kExtendedTs = 0xFFFFFF;
constexpr int kMaxTsDelta = 10000;  // a sending delta outside 0..10000 ms restarts at 0

// RTMP message type ids.
enum MessageType : int {
    MSG_CHUNK_SIZE = 1,
    MSG_BYTES_READ = 3,
    MSG_PING = 4,
    MSG_SERVER_BW = 5,
    MSG_CLIENT_BW = 6,
    MSG_AUDIO = 8,
    MSG_VIDEO = 9,
    MSG_FLEX_STREAM_SEND = 15,
    MSG_FLEX_SHARED_OBJECT = 16,
    MSG_FLEX_MESSAGE = 17,
    MSG_NOTIFY = 18,
    MSG_SHARED_OBJECT = 19,
    MSG_INVOKE = 20,
    MSG_AGGREGATE = 22,
};

struct ChannelHeader {
    int32_t channelId = 0;
    // Receiving: the timestamp field as last read (absolute after fmt 0, a delta after 1 or 2).
    // Sending: the delta since the previous message, stored by the caller.
    int32_t ts = 0;
    int32_t amfSize = 0;
    int32_t amfType = 0;
    int32_t streamId = 0;
    int32_t inUse = 0;
    // Receiving only: the absolute time of the message being gathered, the delta a fmt-3
    // chunk that starts a new message adds, and whether the last timestamp field was extended.
    uint32_t clock = 0;
    uint32_t delta = 0;
    bool extended = false;
};

// Channel table of one direction, with the two AMF lists filled while receiving.
class RtmpContext {
  public:
    RtmpContext();
    virtual ~RtmpContext() = default;

    ChannelHeader& Header(int id) { return headers_.at(static_cast<size_t>(id)); }
    ByteBuffer& Chunks(int id) { return chunks_.at(static_cast<size_t>(id)); }
    // Sets the header of chunk stream id for a message about to be written.
    void SetHeader(int id, int type, int streamId, int ts = 0, int size = 0);

    ParamList invokeList;
    ParamList metadataList;

  private:
    std::array<ChannelHeader, kChannelCount> headers_;
    std::array<ByteBuffer, kChannelCount> chunks_;
};

void WriteBasicHeader(ByteBuffer& out, int fmt, int id);
int SelectHeaderType(const ChannelHeader& current, const ChannelHeader& last);
// Upper bound of the bytes WriteMessage needs for a body of the given length.
int ChunkedSizeBound(int bodyLength);

// Header-compression state of one sending path. Keeps each chunk stream's running time (the
// sum of the deltas written) so that type-0 headers carry absolute timestamps.
class ChunkWriter {
  public:
    virtual ~ChunkWriter() = default;

    // Writes basic and message header for the context's header id (clamping its delta) and
    // returns the format used.
    int WriteChunkHeader(RtmpContext& context, int id, ByteBuffer& out);
    // Writes the complete chunked message for chunk stream id with body's remaining bytes
    // into out, flips out and remembers the header. out is grown when it lacks room.
    void WriteMessage(RtmpContext& context, int id, ByteBuffer& out, ByteBuffer& body);

    // The next message gets a type-0 header (another writer used the same chunk stream).
    void ForgetLastHeader() {
        lastHeader_.inUse = 0;
        lastFmt_ = -1;
    }
    const ChannelHeader& LastHeader() const { return lastHeader_; }
    uint32_t RunningTime(int id) const { return runningTime_.at(static_cast<size_t>(id)); }

  private:
    ChannelHeader lastHeader_{};
    int lastFmt_ = -1;
    uint32_t messageTime_ = 0;  // timestamp field value of the message being written
    bool messageExtended_ = false;
    std::array<uint32_t, kChannelCount> runningTime_{};
};

// An outgoing command: the AMF0 body is written into the packet, then Finish turns it into
// the chunked message in place, using a fresh ChunkWriter (so a type-0 header).
class RtmpPacket : public ByteBuffer {
  public:
    RtmpPacket() = default;
    explicit RtmpPacket(int size) : ByteBuffer(size) {}

    void WriteNumber(double d) { AmfWriter::WriteNumber(*this, d); }
    void WriteBoolean(int b) { AmfWriter::WriteBoolean(*this, b); }
    void WriteString(const char* s) { AmfWriter::WriteString(*this, s); }
    void WriteNull() { AmfWriter::WriteNull(*this); }
    void WriteObjectStart() { AmfWriter::WriteObjectStart(*this); }
    void WriteEcmaArrayStart(uint32_t n) { AmfWriter::WriteEcmaArrayStart(*this, n); }
    void WriteObjectEnd() { AmfWriter::WriteObjectEnd(*this); }
    void WriteStringProperty(const char* n, const char* s) {
        AmfWriter::WriteStringProperty(*this, n, s);
    }
    void WriteNumberProperty(const char* n, double d) {
        AmfWriter::WriteNumberProperty(*this, n, d);
    }
    void WriteBooleanProperty(const char* n, int b) {
        AmfWriter::WriteBooleanProperty(*this, n, b);
    }

    // Turns the written body into the chunked message for chunk stream id of context (whose
    // header the caller set); afterwards the packet holds the bytes to send, flipped.
    RtmpPacket& Finish(RtmpContext& context, int id);

    ChunkWriter& Writer() { return writer_; }

  private:
    ChunkWriter writer_;
};

}  // namespace rtmp
