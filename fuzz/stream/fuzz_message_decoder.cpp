// Feeds one message to the message decoder: byte 0 picks the type, byte 1 bit 0 the stream id and
// bit 1 whether valid AVC and AAC sequence headers come first; the rest is the body. Only
// MyException may leave the decoder.
#include <cstddef>
#include <cstdint>

#include "accept_all_listener.h"
#include "wire/chunk.h"
#include "wire/message_decoder.h"
#include "wire/my_exception.h"

namespace {

constexpr int kTypes[] = {1, 3, 4, 5, 6, 8, 9, 15, 16, 17, 18, 19, 20, 22, 7};
constexpr size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];

void Feed(rtmp::MessageDecoder& decoder, rtmp::RtmpContext& context, int type, int streamId,
          const uint8_t* body, size_t size) {
    rtmp::ByteBuffer buffer(static_cast<int>(size));
    buffer.PutBytes(body, static_cast<int>(size));
    buffer.Flip();
    if (size == 0)
        buffer.Reset();
    rtmp::ChannelHeader header;
    header.channelId = 4, header.amfType = type, header.streamId = streamId;
    header.amfSize = static_cast<int32_t>(size), header.clock = 1000;
    decoder.DecodeAMF(context, header, buffer);
}

void Prime(rtmp::MessageDecoder& decoder, rtmp::RtmpContext& context) {
    static const uint8_t kAvc[] = {0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x64, 0x00,
                                   0x1F, 0xFF, 0xE1, 0x00, 0x04, 0x67, 0x64, 0x00,
                                   0x1F, 0x01, 0x00, 0x03, 0x68, 0xEE, 0x3C};
    static const uint8_t kAac[] = {0xAF, 0x00, 0x12, 0x10};
    Feed(decoder, context, 9, 1, kAvc, sizeof kAvc);
    Feed(decoder, context, 8, 1, kAac, sizeof kAac);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 24))
        return 0;
    fuzzing::AcceptAll listener;
    rtmp::MessageDecoder decoder(&listener);
    rtmp::RtmpContext context;
    const int type = kTypes[data[0] % kTypeCount];
    const int streamId = data[1] & 1;
    try {
        if ((data[1] & 2) != 0)
            Prime(decoder, context);
        Feed(decoder, context, type, streamId, data + 2, size - 2);
    } catch (rtmp::MyException) {  // a broken stream: the receive thread would end here
    }
    return 0;
}
