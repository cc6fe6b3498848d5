// Turns H.264 access units and ADTS AAC frames into RTMP video and audio messages.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "basis/adts.h"

#include "client/aac_config.h"
#include "client/annexb_to_avc.h"
#include "client/commands.h"
#include "client/connection.h"
#include "log/log.h"

namespace rtmp {
namespace {

constexpr int kAacHeaderRepeat = 100;
constexpr int kAdtsHeader = static_cast<int>(basis::kAdtsHeaderSize);
constexpr uint8_t kAvcProfile = 100;
constexpr uint8_t kAvcLevel = 40;

enum NalUnitType : int {
    NAL_SLICE = 1,
    NAL_SLICE_DPA = 2,
    NAL_SLICE_DPB = 3,
    NAL_SLICE_DPC = 4,
    NAL_IDR = 5,
    NAL_SEI = 6,
    NAL_SPS = 7,
    NAL_PPS = 8,
    NAL_DELIMITER = 9,
    NAL_END_OF_SEQUENCE = 10,
    NAL_FILLER = 12,
};

// The time a delta adds to the stream: the chunk writer sends one outside 0 to 10000 ms as 0.
int64_t UsableDelta(int timestamp) {
    return timestamp < 0 || timestamp > kMaxTsDelta ? 0 : timestamp;
}

}  // namespace

int CConnection::SendVideo(const uint8_t* data, int length, int timestamp) {
    std::lock_guard<std::mutex> lock(packMutex_);
    return SendVideoLocked(data, length, timestamp);
}

int CConnection::SendVideoLocked(const uint8_t* data, int length, int timestamp) {
    // The packing buffers are kept between units: they grow to the largest unit seen and are
    // then reused without allocating or clearing.
    ByteBuffer& input = videoInput_;
    if (!input.Allocate(length) || !videoPayload_.Allocate(2 * length + 20))
        return Carry(timestamp, 0);
    input.PutBytes(data, length);
    input.Flip();
    ByteBuffer& payload = videoPayload_;
    endOfSequence_.Reset();

    if (avcHeaderSent_ == 0) {
        const uint8_t head[] = {0x17,        0x00, 0x00,      0x00, 0x00, 0x01,
                                kAvcProfile, 0x00, kAvcLevel, 0xFF, 0xE1};
        payload.PutBytes(head, sizeof head);
        if (NalType(input) == NAL_END_OF_SEQUENCE)
            TakeNal(endOfSequence_, input);
        while (input.Remaining() > 4 && NalType(input) != NAL_SPS) {
            SkipNal(input);
            log::ShowFMT("InitVideo,ReadNal=%d,Size=%d", NalType(input), input.Remaining());
        }
        if (input.Remaining() <= 4)
            return Carry(timestamp, 1);  // nothing to start a stream with yet
        MoveNalWithLength(payload, input, 2);
        if (input.Remaining() <= 4)
            return Carry(timestamp, 1);  // an SPS without its PPS
        payload.PutByte(0x01);
        MoveNalWithLength(payload, input, 2);
        const int sent = SendStream(payload, MSG_VIDEO, 0);
        if (sent == 0)
            return 0;
        avcHeaderSent_ = 1;
        payload.Clear();
    }

    // Everything before the first slice: parameter sets (already sent), delimiters and
    // filler are skipped, an end of sequence is carried along, SEI units are kept in order.
    sei_.Reset();
    for (int type = NalType(input); type >= 0; type = NalType(input)) {
        if (type == NAL_SPS || type == NAL_PPS || type == NAL_DELIMITER || type == NAL_FILLER) {
            SkipNal(input);
        } else if (type == NAL_END_OF_SEQUENCE) {
            TakeNal(endOfSequence_, input);
        } else if (type == NAL_SEI) {
            MoveNalWithLength(sei_, input, 4);
        } else {
            break;
        }
    }
    sei_.Flip();
    const int type = NalType(input);
    if (type < 0)
        return Carry(timestamp, 1);  // no picture in the unit: nothing to show
    uint8_t frameType = 0;
    if (type == NAL_SLICE) {
        frameType = 0x27;
    } else if (type >= NAL_SLICE_DPA && type <= NAL_SLICE_DPC) {
        frameType = 0x27;
        std::printf("CVistrel::SendStream().Warn Find nal=%d as nal=1\n", type);
    } else if (type == NAL_IDR) {
        frameType = 0x17;
    } else {
        // Without a slice first there is no frame type to give: not sent.
        log::ShowFMT("CVistrel::SendStream().Warn Unknown nal=%d, unit dropped", type);
        return Carry(timestamp, 1);
    }
    payload.PutByte(frameType);
    payload.PutByte(0x01);
    payload.PutInt24(0);  // composition time
    payload.PutAll(sei_);
    PutNalWithLength(payload, endOfSequence_);
    // Every remaining NAL unit (normally the one slice) gets its own length prefix.
    while (input.Remaining() > 4)
        MoveNalWithLength(payload, input, 4);
    return SendStream(payload, MSG_VIDEO, timestamp);
}

int CConnection::SendAudio(const uint8_t* data, int length, int timestamp) {
    std::lock_guard<std::mutex> lock(packMutex_);
    ByteBuffer& payload = audioPayload_;
    if (!payload.Allocate(length + 20))
        return Carry(timestamp, 0);
    const bool adts = length >= 2 && data[0] == 0xFF && (data[1] == 0xF1 || data[1] == 0xF9);
    if (adts) {
        if (length <= kAdtsHeader)
            return Carry(timestamp, 0);
        if (aacHeaderCountdown_ == 0) {
            aacHeaderCountdown_ = kAacHeaderRepeat;
            uint8_t config[2];
            AdtsToAudioSpecificConfig(data[2], data[3], config);
            const uint8_t header[] = {0xAF, 0x00, config[0], config[1]};
            payload.PutBytes(header, sizeof header);
            // Delta 0: the header adds no time of its own (only what units not sent left to
            // carry). Any other value would push the stream's running time ahead of the real
            // one.
            SendStream(payload, MSG_AUDIO, 0);
            payload.Clear();
        }
        --aacHeaderCountdown_;
        payload.PutByte(0xAF);
        payload.PutByte(0x01);
        payload.PutBytes(data + kAdtsHeader, length - kAdtsHeader);
    } else {
        payload.PutByte(0x2A);
        payload.PutBytes(data, length);
    }
    return SendStream(payload, MSG_AUDIO, timestamp);
}

int CConnection::Carry(int timestamp, int result) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    carriedTime_ += UsableDelta(timestamp);
    return result;
}

int CConnection::SendStream(ByteBuffer& payload, int type, int timestamp) {
    payload.Flip();
    const int size = payload.Remaining();
    if (timestamp < 0) {
        log::ShowFMT("::WriteTag().Ts=%d ChangeTo 0", timestamp);
        timestamp = 0;
    }
    bool ok = false;
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        if (size > kMaxMessageLength) {
            // The header could only state a cut length and the server would misread the
            // stream.
            log::ShowFMT("SendStream().size=%d(Byte) beyond the message length limit, refused",
                         size);
            carriedTime_ += UsableDelta(timestamp);
            return 0;
        }
        // The time carried from units not sent goes with this message, as far as one header
        // can state; any rest with the next ones.
        const int64_t total = UsableDelta(timestamp) + carriedTime_;
        timestamp = static_cast<int>(std::min<int64_t>(total, kMaxTsDelta));
        carriedTime_ = total - timestamp;
        mediaContext_.SetHeader(CS_STREAM, type, 1, timestamp, size);
        if (!sendBuffer_.Allocate(ChunkedSizeBound(size))) {
            carriedTime_ = total;
            return 0;
        }
        mediaWriter_.WriteMessage(mediaContext_, CS_STREAM, sendBuffer_, payload);
        ok = WriteLocked(sendBuffer_);
    }
    if (log::LinesOn()) {
        log::ShowFMT("SendStream().type=%d,ts=%u,size=%d(Byte)", type,
                     static_cast<unsigned>(timestamp), size);
    }
    return ok ? 1 : 0;
}

}  // namespace rtmp
