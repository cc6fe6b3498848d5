// Decoding of complete received messages: dispatch by message type, commands and replies,
// stream metadata, user control and bandwidth messages, and the played audio and video.
#include "wire/message_decoder.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "basis/adts.h"
#include "log/log.h"
#include "wire/my_exception.h"
#include "wire/ping_message.h"

namespace rtmp {

namespace {

constexpr int kPingBodyLength = 6;       // event type (2), value (4)
constexpr int kPingRequest = 6;          // user control event answered by the client
constexpr int kPingAnswer = 7;           // event type of the answer
constexpr int kAudioSizeBodyLength = 5;  // 0F 00 00 00 00

// AVC sequence header up to the first SPS length: tag byte, packet type and composition time
// (1 + 4), configuration version, profile, compatibility, level (4), then length size and
// SPS count (2).
constexpr int kAvcConfigHead = 11;
constexpr int kVideoFrameHead = 5;  // tag byte, packet type, composition time
constexpr int kNalLengthSize = 4;
constexpr uint32_t kStartCode = 1;  // 00 00 00 01

constexpr int kAdtsHeaderLength = static_cast<int>(basis::kAdtsHeaderSize);
constexpr int kAdtsMaxFrameLength = static_cast<int>(basis::kAdtsMaxFrameSize);
// AAC sequence headers followed by another audio message in the same body are decoded one
// after the other; this bounds how many a single body may chain.
constexpr int kMaxAudioChain = 8;

constexpr int kFlvTagHeader = 11;  // type (1), size (3), time (3 + 1), stream id (3)
constexpr int kFlvBackPointer = 4;

constexpr const char* kCallSuccess = "CallResult=Vistrel.Call.Success";
constexpr const char* kCallFailed = "CallResult=Vistrel.Call.Failed";

// A raw text (no line end) for the running dump of a command.
void LogRaw(const char* text) {
    if (log::LinesOn())
        log::WriteLog(text);
}

// Makes room for n bytes in an output buffer, position 0.
void Prepare(ByteBuffer& out, int n) {
    if (!out.Allocate(n))
        throw std::bad_alloc();
}

// Narrows a buffer's limit to one window and puts the old limit back when it ends.
class LimitWindow {
  public:
    LimitWindow(ByteBuffer& buffer, int end) : buffer_(buffer), saved_(buffer.Limit()) {
        buffer_.SetLimit(end);
    }
    ~LimitWindow() { buffer_.SetLimit(saved_); }
    LimitWindow(const LimitWindow&) = delete;
    LimitWindow& operator=(const LimitWindow&) = delete;

  private:
    ByteBuffer& buffer_;
    int saved_;
};

// One parameter set of an AVC sequence header: 16-bit length, then the bytes. Leaves data
// pointing into body and moves past the set; false (nothing usable) when it is cut short.
bool ReadParameterSet(ByteBuffer& body, const uint8_t** data, int* length) {
    if (body.Remaining() < 2)
        return false;
    const int n = static_cast<int>(body.GetInt16());
    if (body.Remaining() < n)
        return false;
    *data = body.Current();
    *length = n;
    body.Skip(n);
    return true;
}

// True when the rest of body is a whole number of length-prefixed NAL units. The position
// is left where it was.
bool NalUnitsComplete(ByteBuffer& body) {
    const int start = body.Position();
    bool complete = true;
    while (body.Remaining() > 0) {
        if (body.Remaining() < kNalLengthSize) {
            complete = false;
            break;
        }
        const uint32_t n = body.GetInt32();
        if (n > static_cast<uint32_t>(body.Remaining())) {
            complete = false;
            break;
        }
        body.Skip(static_cast<int>(n));
    }
    body.SetPosition(start);
    return complete;
}

}  // namespace

const AacHeaderRow kAacHeaderTable[18] = {
    {0x40, 0x80, 0x10, 0x10}, {0x40, 0x40, 0x10, 0x08}, {0x4C, 0x80, 0x11, 0x90},
    {0x4C, 0x40, 0x11, 0x88}, {0x50, 0x80, 0x12, 0x10}, {0x50, 0x40, 0x12, 0x08},
    {0x54, 0x80, 0x12, 0x90}, {0x54, 0x40, 0x12, 0x88}, {0x58, 0x80, 0x13, 0x10},
    {0x58, 0x40, 0x13, 0x08}, {0x5C, 0x80, 0x13, 0x90}, {0x5C, 0x40, 0x13, 0x88},
    {0x60, 0x80, 0x14, 0x10}, {0x60, 0x40, 0x14, 0x08}, {0x68, 0x80, 0x15, 0x10},
    {0x68, 0x40, 0x15, 0x08}, {0x6C, 0x80, 0x15, 0x90}, {0x6C, 0x40, 0x15, 0x88},
};

void AacConfigToAdts(uint8_t c0, uint8_t c1, uint8_t* a2, uint8_t* a3) {
    for (const AacHeaderRow& row : kAacHeaderTable) {
        if (row.config0 == c0 && row.config1 == c1) {
            *a2 = row.adts2;
            *a3 = row.adts3;
            return;
        }
    }
    *a2 = c0;
    *a3 = c1;
}

bool AacAdtsToConfig(uint8_t a2, uint8_t a3, uint8_t* c0, uint8_t* c1) {
    for (const AacHeaderRow& row : kAacHeaderTable) {
        if ((row.adts2 & 0x3F) == (a2 & 0x3F) && row.adts3 == a3) {
            *c0 = row.config0;
            *c1 = row.config1;
            return true;
        }
    }
    return false;
}

const char* TypeName(int type) {
    switch (type) {
        case MSG_CHUNK_SIZE:
            return "CHUNK_SIZE";
        case MSG_BYTES_READ:
            return "BYTES_READ";
        case MSG_PING:
            return "PING";
        case MSG_SERVER_BW:
            return "SERVER_BANDWIDTH";
        case MSG_CLIENT_BW:
            return "CLIENT_BANDWIDTH";
        case MSG_AUDIO:
            return "AUDIO_DATA";
        case MSG_VIDEO:
            return "VIDEO_DATA";
        case MSG_FLEX_STREAM_SEND:
            return "FLEX_STREAM_SEND";
        case MSG_FLEX_SHARED_OBJECT:
            return "FLEX_SHARED_OBJECT";
        case MSG_FLEX_MESSAGE:
            return "FLEX_MESSAGE";
        case MSG_NOTIFY:
            return "NOTIFY";
        case MSG_SHARED_OBJECT:
            return "SHARED_OBJECT";
        case MSG_INVOKE:
            return "INVOKE";
        case MSG_AGGREGATE:
            return "MP4_MEDIA";
        default:
            return "Unkown";
    }
}

void MessageDecoder::DecodeAMF(RtmpContext& context, const ChannelHeader& header,
                               ByteBuffer& body) {
    switch (header.amfType) {
        case MSG_CHUNK_SIZE:
            DecodeChunkSize(body);
            break;
        case MSG_BYTES_READ:
            DecodeBytesRead(body);
            break;
        case MSG_PING:
            DecodePing(body);
            break;
        case MSG_SERVER_BW:
            DecodeWindowAckSize(body);
            break;
        case MSG_CLIENT_BW:
            DecodeBW(body);
            break;
        case MSG_AUDIO:
            if (!ChangeAudioSize(body))
                DecodeMedia(body, MSG_AUDIO, header.clock);
            break;
        case MSG_VIDEO:
            DecodeMedia(body, MSG_VIDEO, header.clock);
            break;
        case MSG_FLEX_STREAM_SEND:
            log::ShowText("decodeFlexStreamSend(in)XX");
            break;
        case MSG_FLEX_SHARED_OBJECT:
            log::ShowText("decodeFlexSharedObject(in, rtmp)XX");
            break;
        case MSG_FLEX_MESSAGE:
            log::ShowText("decodeFlexMessage(in, rtmp)XX");
            break;
        case MSG_NOTIFY:
            if (header.streamId == 0)
                DecodeInvoke(context, body);
            else
                DecodeStreamMetadata(context, body);
            break;
        case MSG_SHARED_OBJECT:
            log::ShowText("decodeSharedObject(in, rtmp)XX");
            break;
        case MSG_INVOKE:
            DecodeInvoke(context, body);
            break;
        case MSG_AGGREGATE:
            DecodeAggregate(body, header.clock);
            break;
        default:
            log::ShowFMT("::Unknown object type on DecodeAMF().AMFType=0x%X,pos=0x%X,size=%d",
                         static_cast<unsigned>(header.amfType),
                         static_cast<unsigned>(body.Position()), body.Remaining());
            break;
    }
}

// ---- Commands, replies and metadata ----

void MessageDecoder::DecodeInvoke(RtmpContext& context, ByteBuffer& body) {
    ParamList& list = context.invokeList;
    list.Clear();
    reader_.SetList(&list);
    log::ShowText("DecodeInvoke:");
    try {
        LogRaw("InvokeName:");
        list.SetKey("InvokeName");
        reader_.ReadValue(body);
        LogRaw("InvokeID:");
        list.SetKey("InvokeID");
        reader_.ReadValue(body);
        // The command object first (usually null), then every further parameter as "Param"
        // (an object parameter contributes its properties).
        LogRaw("Map:");
        while (reader_.ReadValue(body) && body.Remaining() > 0) {
            LogRaw("InvokeParams:");
            list.SetKey("Param");
        }
    } catch (const AmfTruncated& e) {
        log::ShowFMT("::DecodeInvoke().Cut short:%s", e.what());
        list.Clear();
        return;
    }

    const char* name = list.Find("InvokeName");
    if (std::strcmp(name, "CallBack") == 0) {
        if (listener_ != nullptr) {
            const char* text = list.Find("Param");
            listener_->OnCallBack(text, static_cast<int>(std::strlen(text)));
        }
    } else if (std::strcmp(name, "onStatus") == 0) {
        Reply(ReplyKind::kStatus, list);
        const bool failed = std::strcmp(list.Find("level"), "error") == 0;
        ResultLine(failed ? kCallFailed : kCallSuccess);
    } else if (std::strcmp(name, "_error") == 0) {
        Reply(ReplyKind::kError, list);
        ResultLine(kCallFailed);
    } else if (std::strcmp(name, "_result") == 0) {
        Reply(ReplyKind::kResult, list);
        ResultLine(kCallSuccess);
    } else {
        log::ShowFMT("NotFindFunction.%s()", name);
    }
}

void MessageDecoder::Reply(ReplyKind kind, const ParamList& list) {
    if (listener_ != nullptr)
        listener_->OnReply(kind, std::strtoll(list.Find("InvokeID"), nullptr, 10));
    DumpParams(list);
}

void MessageDecoder::DumpParams(const ParamList& list) {
    if (listener_ == nullptr)
        return;
    std::string line;
    for (int i = 0; i < list.Count(); ++i) {
        const ParamList::Entry* entry = list.Get(i);
        if (entry == nullptr)
            break;
        line.assign(entry->name).append("=").append(entry->value);
        ResultLine(line.c_str());
    }
}

void MessageDecoder::ResultLine(const char* line) {
    if (listener_ != nullptr)
        listener_->OnResultLine(line, static_cast<int>(std::strlen(line)));
}

void MessageDecoder::DecodeStreamMetadata(RtmpContext& context, ByteBuffer& body) {
    log::ShowText("DecodeStreamMetadata:");
    ParamList& list = context.metadataList;
    list.Clear();
    list.SetKey("");  // no name left over from an earlier message
    reader_.SetList(&list);
    try {
        while (body.Remaining() > 0) {
            const int before = body.Position();
            if (!reader_.ReadValue(body) || body.Position() == before)
                break;
        }
    } catch (const AmfTruncated& e) {
        log::ShowFMT("::DecodeStreamMetadata().Cut short:%s", e.what());
        list.Clear();
    }
}

// ---- User control and bandwidth ----

void MessageDecoder::DecodePing(ByteBuffer& body) {
    if (body.Remaining() < kPingBodyLength) {
        log::ShowText("::Small Ping Remain.");
        return;
    }
    const int event = static_cast<int>(body.GetInt16());
    const int value = static_cast<int>(body.GetInt32());
    const bool answer = event == kPingRequest && listener_ != nullptr;
    if (!answer && !log::LinesOn())
        return;
    PingMessage message(kPingAnswer);
    log::ShowFMT("DecodePing:%d,%d,%s", event, value, message.TimeText());
    if (answer)
        listener_->OnPingRequest(message);
}

void MessageDecoder::DecodeBytesRead(ByteBuffer& body) {
    const uint32_t value = body.Remaining() >= 4 ? body.GetInt32() : 0;
    log::ShowFMT("DecodeBytesRead:ReadByte:%d", static_cast<int>(value));
}

void MessageDecoder::DecodeBW(ByteBuffer& body) {
    const uint32_t value = body.Remaining() >= 4 ? body.GetInt32() : 0;
    log::ShowFMT("DecodeBW:ReadInt:%d", static_cast<int>(value));
}

void MessageDecoder::DecodeWindowAckSize(ByteBuffer& body) {
    if (body.Remaining() < 4) {
        log::ShowText("::Small WindowAckSize Remain.");
        return;
    }
    const uint32_t value = body.GetInt32();
    log::ShowFMT("DecodeBW:ReadInt:%d", static_cast<int>(value));
    if (listener_ != nullptr)
        listener_->OnWindowAckSize(value);
}

bool MessageDecoder::ChangeAudioSize(ByteBuffer& body) {
    if (body.Remaining() < kAudioSizeBodyLength)
        return false;
    const int start = body.Position();
    const uint8_t b = body.GetByte();
    const uint32_t v = body.GetInt32();
    body.SetPosition(start);
    if (b != 0x0F || v != 0)
        return false;
    if (body.Remaining() != kAudioSizeBodyLength)
        log::ShowFMT("::ChangeAudioSize().reman=%d", body.Remaining());
    return true;
}

// ---- Played media ----

void MessageDecoder::DecodeMedia(ByteBuffer& body, int kind, uint32_t ts) {
    if (listener_ == nullptr || body.Remaining() <= 1)
        return;
    const uint8_t first = body.PeekByte();
    if (kind == MSG_AUDIO) {
        if (!listener_->WantsAudio())
            return;
        if (first == 0x50 || first == 0xB2 || first == 0x2A) {  // plain audio, not ADTS
            body.Skip(1);
            listener_->OnAudio(body.Current(), body.Remaining(), ts);
            return;
        }
        DecodeAudio(body, ts, 0);
    } else if (kind == MSG_VIDEO) {
        if (!listener_->WantsVideo())
            return;
        if (first == 0x12) {  // plain video payload
            body.Skip(1);
            listener_->OnVideo(body.Current(), body.Remaining(), ts);
            return;
        }
        DecodeVideo(body, ts);
    }
}

void MessageDecoder::DecodeVideo(ByteBuffer& body, uint32_t ts) {
    if (body.Remaining() < 2)
        return;
    const uint8_t b0 = body.PeekByte(0);
    const uint8_t b1 = body.PeekByte(1);
    if ((b0 == 0x52 && b1 <= 0x01) || (b0 == 0x17 && b1 == 0x02) || (b0 == 0x57 && b1 == 0x00))
        return;  // info frames and end of sequence carry nothing to hand out

    if (b0 == 0x17 && b1 == 0x00) {  // AVC sequence header: keep the first SPS and PPS
        const uint8_t* sps = nullptr;
        const uint8_t* pps = nullptr;
        int spsLength = 0;
        int ppsLength = 0;
        bool whole = body.Remaining() >= kAvcConfigHead;
        if (whole) {
            body.Skip(kAvcConfigHead - 1);
            const int spsCount = body.GetByte() & 0x1F;
            whole = spsCount > 0 && ReadParameterSet(body, &sps, &spsLength);
            for (int i = 1; whole && i < spsCount; ++i) {  // further SPS are passed over
                const uint8_t* unused = nullptr;
                int unusedLength = 0;
                whole = ReadParameterSet(body, &unused, &unusedLength);
            }
            whole = whole && body.Remaining() >= 1 && body.GetByte() > 0 &&
                    ReadParameterSet(body, &pps, &ppsLength);
        }
        if (!whole) {
            log::ShowFMT("::AVC sequence header cut short.remain=%d", body.Remaining());
            return;
        }
        Prepare(seqHeader_, spsLength + 4 + ppsLength);
        seqHeader_.PutBytes(sps, spsLength);
        seqHeader_.PutInt32(kStartCode);
        seqHeader_.PutBytes(pps, ppsLength);
        seqHeader_.Flip();
        return;
    }

    const bool key = b0 == 0x17 && b1 == 0x01;
    const bool inter = b0 == 0x27 && b1 == 0x01;
    if (!key && !inter) {
        log::ShowText("UnknownH264VideoHead.");
        return;
    }
    if (body.Remaining() < kVideoFrameHead) {
        log::ShowFMT("::H264 frame cut short.remain=%d", body.Remaining());
        return;
    }
    body.Skip(kVideoFrameHead);
    if (!NalUnitsComplete(body)) {
        log::ShowFMT("::H264 NAL unit cut short.remain=%d", body.Remaining());
        return;
    }

    // Length prefixes become start codes, so the units keep their size; a key frame is
    // preceded by the parameter sets of the last sequence header.
    const int parameterSets = key ? seqHeader_.Remaining() : 0;
    Prepare(frameOut_, body.Remaining() + parameterSets + kNalLengthSize);
    if (parameterSets > 0) {
        frameOut_.PutInt32(kStartCode);
        frameOut_.PutBytes(seqHeader_.Current(), parameterSets);  // kept for the next key frame
    }
    while (body.Remaining() > 0) {
        const int n = static_cast<int>(body.GetInt32());  // checked by NalUnitsComplete
        frameOut_.PutInt32(kStartCode);
        frameOut_.Put(body, n);
    }
    if (frameOut_.Position() == 0) {
        frameOut_.Reset();
        return;
    }
    frameOut_.Flip();
    listener_->OnVideo(frameOut_.Current(), frameOut_.Remaining(), ts);
}

void MessageDecoder::DecodeAudio(ByteBuffer& body, uint32_t ts, int depth) {
    if (body.Remaining() < 2)
        return;
    const uint8_t b0 = body.GetByte();
    const uint8_t b1 = body.GetByte();

    if (b0 == 0xAF && b1 == 0x00) {  // AAC sequence header: make the ADTS header template
        if (body.Remaining() < 2) {
            log::ShowText("::AAC sequence header cut short.");
            return;
        }
        const uint8_t c0 = body.GetByte();
        const uint8_t c1 = body.GetByte();
        uint8_t a2 = 0;
        uint8_t a3 = 0;
        AacConfigToAdts(c0, c1, &a2, &a3);
        Prepare(adtsHeader_, kAdtsHeaderLength);
        const uint8_t adts[kAdtsHeaderLength] = {0xFF, 0xF1, a2, a3, 0x28, 0x1F, 0xFC};
        adtsHeader_.PutBytes(adts, kAdtsHeaderLength);
        adtsHeader_.Flip();
        if (body.Remaining() > 4 && body.PeekByte() == 0xAF) {
            if (depth + 1 >= kMaxAudioChain) {
                log::ShowFMT("::AAC audio chained too deep.remain=%d", body.Remaining());
                return;
            }
            DecodeAudio(body, ts, depth + 1);
        } else {
            log::ShowText("UnknownAACAudioHead.");
        }
        return;
    }

    // A raw AAC frame: ADTS header from the template, with this frame's 13-bit length.
    if (adtsHeader_.Remaining() != kAdtsHeaderLength) {
        log::ShowText("::AAC frame before sequence header.");
        return;
    }
    const int length = kAdtsHeaderLength + body.Remaining();
    if (length > kAdtsMaxFrameLength) {
        log::ShowFMT("::AAC frame too long for ADTS.len=%d", length);
        return;
    }
    Prepare(adtsFrame_, length);
    adtsFrame_.PutBytes(adtsHeader_.Current(), kAdtsHeaderLength);
    adtsFrame_.Put(body, body.Remaining());
    basis::SetAdtsFrameSize(adtsFrame_.Data(), static_cast<size_t>(length));
    adtsFrame_.Flip();
    listener_->OnAudio(adtsFrame_.Current(), adtsFrame_.Remaining(), ts);
}

void MessageDecoder::DecodeAggregate(ByteBuffer& body, uint32_t ts) {
    if (listener_ == nullptr)
        return;
    bool first = true;
    uint32_t firstTime = 0;
    while (body.Remaining() > kFlvTagHeader) {
        const int type = body.GetByte();
        const int size = static_cast<int>(body.GetInt24());
        uint32_t time = body.GetInt24();
        time |= static_cast<uint32_t>(body.GetByte()) << 24;  // extended (upper) time byte
        body.Skip(3);                                         // stream id
        if (size > body.Remaining() - kFlvBackPointer) {
            log::ShowFMT("::DecodeAggregate().TagSize=%d,Remain=%d", size, body.Remaining());
            return;
        }
        if (first) {
            firstTime = time;
            first = false;
        }
        // Each tag keeps its distance from the first tag, counted from the message's time.
        const uint32_t at = ts + (time - firstTime);
        const int end = body.Position() + size;
        if (type == MSG_AUDIO || type == MSG_VIDEO) {
            LimitWindow window(body, end);
            DecodeMedia(body, type, at);
        }
        body.SetPosition(end);
        body.Skip(kFlvBackPointer);
    }
    if (body.Remaining() > 0)
        log::ShowFMT("::DecodeAggregate().Remain=%d", body.Remaining());
}

}  // namespace rtmp
