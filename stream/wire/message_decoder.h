// Receive side of the chunk stream: reassembles received blocks into messages and decodes
// each message, reporting what it found to a DecoderListener.
#pragma once

#include <cstdint>

#include "wire/amf.h"
#include "wire/byte_buffer.h"
#include "wire/chunk.h"
#include "wire/decoder_listener.h"
#include "wire/reassembly_buffer.h"

namespace rtmp {

constexpr int kMaxInChunkSize = 16 * 1024 * 1024;

const char* TypeName(int type);

// ADTS header bytes 2 and 3 <-> AAC AudioSpecificConfig.
struct AacHeaderRow {
    uint8_t adts2, adts3, config0, config1;
};
extern const AacHeaderRow kAacHeaderTable[18];
// Config to ADTS: the row's ADTS bytes, or the config bytes themselves without a match.
void AacConfigToAdts(uint8_t c0, uint8_t c1, uint8_t* a2, uint8_t* a3);
// ADTS to config: false without a match.
bool AacAdtsToConfig(uint8_t a2, uint8_t a3, uint8_t* c0, uint8_t* c1);

class MessageDecoder {
  public:
    // The buffers start empty (a fresh ByteBuffer's limit is its capacity).
    explicit MessageDecoder(DecoderListener* listener = nullptr) : listener_(listener) {
        seqHeader_.Reset();
        frameOut_.Reset();
        adtsHeader_.Reset();
        adtsFrame_.Reset();
    }
    virtual ~MessageDecoder() = default;

    void SetListener(DecoderListener* listener) { listener_ = listener; }

    // Entry for each block read from the socket; block's position is unchanged afterwards.
    // Throws MyException on a broken stream.
    int DecodeReciveUnite(RtmpContext& context, ByteBuffer& block);
    // Chunk stream id of the header at in's position, or -1 when in is empty. Assumes the
    // whole header is present (see HeaderLength).
    int DecodeHeader(RtmpContext& context, ByteBuffer& in);
    // Bytes the chunk header at in's position occupies, extended timestamp included, or 0
    // when not even that can be told yet. Throws MYEX_HEADER for a chunk stream id >= 12.
    int HeaderLength(RtmpContext& context, const ByteBuffer& in) const;
    bool DecodeChunkSize(ByteBuffer& body);
    // Decodes one complete message (body flipped to exactly amfSize bytes).
    void DecodeAMF(RtmpContext& context, const ChannelHeader& header, ByteBuffer& body);

    int ChunkSize() const { return chunkSize_; }
    // Received bytes of a chunk not complete yet.
    const ByteBuffer& Leftover() const { return leftover_.Unread(); }
    // Bytes copied into the leftover so far, growth and moves included.
    int64_t LeftoverBytesCopied() const { return leftover_.BytesCopied(); }
    const ByteBuffer& SeqHeader() const { return seqHeader_; }
    const ByteBuffer& AdtsHeader() const { return adtsHeader_; }

  private:
    void DecodeChunks(RtmpContext& context, ByteBuffer& in);
    [[noreturn]] void HeaderError(RtmpContext& context, ByteBuffer& in, int start, int h, int id,
                                  int basicLength);
    void DecodeInvoke(RtmpContext& context, ByteBuffer& body);
    // Announces a reply with its kind and transaction id, then its lines.
    void Reply(ReplyKind kind, const ParamList& list);
    void DumpParams(const ParamList& list);
    void DecodeStreamMetadata(RtmpContext& context, ByteBuffer& body);
    void DecodePing(ByteBuffer& body);
    void DecodeBytesRead(ByteBuffer& body);
    void DecodeBW(ByteBuffer& body);
    void DecodeWindowAckSize(ByteBuffer& body);
    bool ChangeAudioSize(ByteBuffer& body);
    void DecodeMedia(ByteBuffer& body, int kind, uint32_t ts);
    void DecodeVideo(ByteBuffer& body, uint32_t ts);
    void DecodeAudio(ByteBuffer& body, uint32_t ts, int depth);
    void DecodeAggregate(ByteBuffer& body, uint32_t ts);
    void ResultLine(const char* line);

    AmfReader reader_;
    DecoderListener* listener_ = nullptr;
    ReassemblyBuffer leftover_;
    ByteBuffer seqHeader_{0};
    ByteBuffer frameOut_{0};
    ByteBuffer adtsHeader_{0};
    ByteBuffer adtsFrame_{0};
    int chunkSize_ = 128;
};

}  // namespace rtmp
