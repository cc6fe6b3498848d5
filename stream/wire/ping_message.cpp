#include "wire/ping_message.h"

#include <ctime>

#include "log/log.h"

namespace rtmp {

namespace {
constexpr uint32_t kUtc8Seconds = 28800;
constexpr uint32_t kClockWrapSeconds = 4000000;
constexpr int kPingBodyLength = 6;
}  // namespace

uint32_t PingClockValue(long long seconds) {
    // 32-bit unsigned throughout: the largest result, 3999999 * 1000, still fits.
    const uint32_t t = static_cast<uint32_t>(seconds) + kUtc8Seconds;
    return t % kClockWrapSeconds * 1000u;
}

PingMessage::PingMessage(int eventType)
    : PingMessage(eventType, static_cast<long long>(std::time(nullptr))) {}

PingMessage::PingMessage(int eventType, long long seconds)
    : ByteBuffer(kPingBodyLength), eventType_(eventType), timeValue_(PingClockValue(seconds)) {
    log::FormatLogTimeAt(timeText_, seconds);  // the text is of UTC+8
    PutInt16(static_cast<uint32_t>(eventType_));
    PutInt32(timeValue_);
    Flip();
}

}  // namespace rtmp
