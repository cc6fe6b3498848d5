// Turns H.264 access units and ADTS AAC frames into RTMP video and audio messages.
#include <cstdio>

#include "client/commands.h"
#include "client/connection.h"
#include "client/nal_units.h"
#include "log/log.h"

namespace rtmp {
namespace {

constexpr int kAacHeaderRepeat = 100;
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
    NAL_END_OF_SEQUENCE = 10,
};

}  // namespace

int CConnection::SendVideo(const uint8_t* data, int length, int timestamp) {
    std::lock_guard<std::mutex> lock(packMutex_);
    return SendVideoLocked(data, length, timestamp);
}

int CConnection::SendVideoLocked(const uint8_t* data, int length, int timestamp) {
    ByteBuffer input(length + 20);
    input.PutBytes(data, length);
    input.Flip();
    ByteBuffer scratch(0);
    ByteBuffer endOfSequence(0);
    endOfSequence.Reset();
    ByteBuffer payload(2 * length + 20);

    if (avcHeaderSent_ != 0) {
        for (int type = NalType(input); type >= 0; type = NalType(input)) {
            if (type == NAL_SPS || type == NAL_PPS) {
                TakeNal(scratch, input);
            } else if (type == NAL_END_OF_SEQUENCE) {
                TakeNal(endOfSequence, input);
            } else {
                break;
            }
        }
    } else {
        const uint8_t head[] = {0x17,        0x00, 0x00,      0x00, 0x00, 0x01,
                                kAvcProfile, 0x00, kAvcLevel, 0xFF, 0xE1};
        payload.PutBytes(head, sizeof head);
        if (NalType(input) == NAL_END_OF_SEQUENCE)
            TakeNal(endOfSequence, input);
        while (input.Remaining() > 4 && NalType(input) != NAL_SPS) {
            TakeNal(scratch, input);
            log::ShowFMT("InitVideo,ReadNal=%d,Size=%d", NalType(input), input.Remaining());
        }
        if (input.Remaining() <= 4)
            return 1;  // nothing to start a stream with yet
        ByteBuffer parameterSet(0);
        TakeNal(parameterSet, input);
        parameterSet.Skip(4);
        payload.PutInt16(static_cast<uint32_t>(parameterSet.Remaining()));
        payload.PutAll(parameterSet);
        if (input.Remaining() <= 4)
            return 1;  // an SPS without its PPS
        payload.PutByte(0x01);
        TakeNal(parameterSet, input);
        parameterSet.Skip(4);
        payload.PutInt16(static_cast<uint32_t>(parameterSet.Remaining()));
        payload.PutAll(parameterSet);
        const int sent = SendStream(payload, MSG_VIDEO, 0);
        if (sent == 0)
            return 0;
        avcHeaderSent_ = 1;
        payload.Allocate(2 * length + 20);
    }

    ByteBuffer sei(0);
    sei.Reset();
    if (NalType(input) == NAL_SEI)
        TakeNal(sei, input);
    const int type = NalType(input);
    if (type < 0)
        return 1;  // only parameter sets: nothing to show
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
        return 1;
    }
    payload.PutByte(frameType);
    payload.PutByte(0x01);
    payload.PutInt24(0);  // composition time
    PutNalWithLength(payload, sei);
    PutNalWithLength(payload, endOfSequence);
    // Every remaining NAL unit (normally the one slice) gets its own length prefix.
    ByteBuffer nal(0);
    while (input.Remaining() > 4) {
        TakeNal(nal, input);
        PutNalWithLength(payload, nal);
    }
    return SendStream(payload, MSG_VIDEO, timestamp);
}

int CConnection::SendAudio(const uint8_t* data, int length, int timestamp) {
    std::lock_guard<std::mutex> lock(packMutex_);
    ByteBuffer payload(2 * length + 20);
    const bool adts = length >= 2 && data[0] == 0xFF && (data[1] == 0xF1 || data[1] == 0xF9);
    if (adts) {
        if (length <= 7)
            return 0;
        if (aacHeaderCountdown_ == 0) {
            aacHeaderCountdown_ = kAacHeaderRepeat;
            uint8_t config[2];
            AdtsToAudioSpecificConfig(data[2], data[3], config);
            ByteBuffer header;
            header.PutByte(0xAF);
            header.PutByte(0x00);
            header.PutBytes(config, 2);
            // Delta 0: the header takes the previous message's time. Any other value would
            // be added to the stream's running time and push it ahead of the real one.
            SendStream(header, MSG_AUDIO, 0);
        }
        --aacHeaderCountdown_;
        payload.PutByte(0xAF);
        payload.PutByte(0x01);
        payload.PutBytes(data + 7, length - 7);
    } else {
        payload.PutByte(0x2A);
        payload.PutBytes(data, length);
    }
    return SendStream(payload, MSG_AUDIO, timestamp);
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
        mediaContext_.SetHeader(CS_STREAM, type, 1, timestamp, size);
        ByteBuffer out(0);
        if (!out.Allocate(ChunkedSizeBound(size)))
            return 0;
        mediaWriter_.WriteMessage(mediaContext_, CS_STREAM, out, payload);
        ok = WriteLocked(out);
    }
    if (log::LinesOn()) {
        log::ShowFMT("SendStream().type=%d,ts=%u,size=%d(Byte)", type,
                     static_cast<unsigned>(timestamp), size);
    }
    return ok ? 1 : 0;
}

}  // namespace rtmp
