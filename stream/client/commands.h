// AMF0 command messages the client sends.
#pragma once

#include <cstdint>

#include "wire/chunk.h"

namespace rtmp {

struct ServerInfo;

enum ChunkStreamId : int {
    CS_CONTROL = 2,
    CS_COMMAND = 3,
    CS_STREAM = 4,
    CS_PLAY = 8,
};

// A connection's one connect carries the id 1, as servers expect (some answer it with 1
// whatever was sent).
constexpr uint32_t kConnectTransactionId = 1;
// Next value of the process-wide transaction counter, for every other request (starts at 2, so
// that no answer to one of them can be taken for the connect's).
uint32_t NextTransactionId();

// Builds the named command ("connect", "createStream", "publish", "play", "closeStream") with
// the transaction id into packet as the chunked message for chunk stream id of context.
// publishType is used by "publish". False for an unknown name.
bool MakeCode(RtmpContext& context, int id, RtmpPacket& packet, const char* name,
              const ServerInfo& client, const char* publishType, uint32_t transactionId);
// receiveAudio / receiveVideo with a boolean flag, in a temporary context.
void MakeReceiveCommand(RtmpPacket& packet, const char* name, bool flag);
// A call of a server method: texts[0] is the name, the rest string arguments.
void MakeCall(RtmpPacket& packet, const char* const* texts, int count, uint32_t transactionId);

}  // namespace rtmp
