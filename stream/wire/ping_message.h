// User control message body (event type, client clock value) as the client sends it.
#pragma once

#include <cstdint>

#include "wire/byte_buffer.h"

namespace rtmp {

// The client's clock value: (seconds + 28800) % 4000000 * 1000, 32-bit unsigned.
uint32_t PingClockValue(long long seconds);

class PingMessage : public ByteBuffer {
  public:
    // Built with the current time.
    explicit PingMessage(int eventType);
    PingMessage(int eventType, long long seconds);

    int EventType() const { return eventType_; }
    uint32_t TimeValue() const { return timeValue_; }
    const char* TimeText() const { return timeText_; }

  private:
    int eventType_;
    uint32_t timeValue_;
    char timeText_[64] = {};
};

}  // namespace rtmp
