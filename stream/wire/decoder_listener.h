// What the message decoder reports to the connection that owns it.
#pragma once

#include <cstdint>

#include "wire/ping_message.h"

namespace rtmp {

enum class ReplyKind { kResult, kError, kStatus };

class DecoderListener {
  public:
    virtual ~DecoderListener() = default;
    // A server invocation named "CallBack" with its parameter text.
    virtual void OnCallBack(const char* text, int length) = 0;
    // A reply begins: a "_result" or "_error" for the request with this transaction id, or an
    // "onStatus" (servers send it with the id 0 for publish and play). Its result lines follow.
    virtual void OnReply(ReplyKind /*kind*/, int64_t /*transactionId*/) {}
    // One result line ("%s=%s" of a reply entry, or the closing CallResult= line).
    virtual void OnResultLine(const char* line, int length) = 0;
    // A ping request; answer is the event-7 message to send back.
    virtual void OnPingRequest(PingMessage& answer) = 0;
    // The server's Window Acknowledgement Size (message type 5): acknowledge every size bytes.
    virtual void OnWindowAckSize(uint32_t /*size*/) {}
    virtual bool WantsVideo() const = 0;
    virtual bool WantsAudio() const = 0;
    // A received video access unit (Annex B) or audio frame (ADTS or plain), with its
    // absolute message time in milliseconds.
    virtual void OnVideo(const uint8_t* data, int length, uint32_t ts) = 0;
    virtual void OnAudio(const uint8_t* data, int length, uint32_t ts) = 0;
};

}  // namespace rtmp
