#include "send_queue.h"

#include <algorithm>
#include <span>
#include <utility>

#include "basis/annexb.h"

namespace ocelix {
namespace {
constexpr size_t kSpareBuffers = 8;
}  // namespace

bool SendQueue::Push(MediaPacket&& packet, int64_t nowMs) {
    packet.queuedMs = nowMs;
    if (packet.type == kAudioType) {
        audio_.push_back(std::move(packet));
        return true;
    }
    if (DelayMs(nowMs) > limits_.maxDelayMs) {
        // The line does not keep up: the video waiting is worth less than the time it costs.
        DropQueuedVideo();
        Lose();
    }
    if (packet.key)
        broken_ = false;
    if (broken_) {
        ++dropped_;
        GiveBuffer(std::move(packet.bytes));
        return false;
    }
    video_.push_back(std::move(packet));
    return true;
}

bool SendQueue::Next(int64_t nowMs, MediaPacket* out, int64_t* waitMs) {
    *waitMs = -1;
    if (inFlight_)
        return false;
    // Video that got too old while waiting is dropped on the way out as well.
    while (!video_.empty() && nowMs - video_.front().stampMs > limits_.maxDelayMs) {
        DropQueuedVideo();
        Lose();
    }
    std::deque<MediaPacket>* from = nullptr;
    if (!audio_.empty() && !video_.empty()) {
        from = audio_.front().stampMs <= video_.front().stampMs ? &audio_ : &video_;
    } else if (!audio_.empty()) {
        // Video with an earlier time may still be on its way from the encoder.
        const int64_t waited = nowMs - audio_.front().queuedMs;
        if (!limits_.video || waited >= limits_.audioWaitMs)
            from = &audio_;
        else
            *waitMs = limits_.audioWaitMs - waited;
    } else if (!video_.empty()) {
        const int64_t waited = nowMs - video_.front().queuedMs;
        if (!limits_.audio || waited >= limits_.videoWaitMs)
            from = &video_;
        else
            *waitMs = limits_.videoWaitMs - waited;
    }
    if (from == nullptr)
        return false;
    *out = std::move(from->front());
    from->pop_front();
    inFlight_ = true;
    inFlightType_ = out->type;
    inFlightStampMs_ = out->stampMs;
    return true;
}

void SendQueue::Sent(bool ok) {
    if (inFlight_ && !ok) {
        ++dropped_;
        if (inFlightType_ == kVideoType)
            Lose();
    }
    inFlight_ = false;
}

void SendQueue::VideoLost() {
    Lose();
}

void SendQueue::Lose() {
    // The plain frames waiting behind a lost one cannot be decoded; from a waiting key frame
    // on, everything can.
    while (!video_.empty() && !video_.front().key) {
        ++dropped_;
        GiveBuffer(std::move(video_.front().bytes));
        video_.pop_front();
    }
    if (!video_.empty())
        return;
    if (!broken_) {
        broken_ = true;
        keyWanted_ = true;
        ++episodes_;
    }
}

void SendQueue::DropQueuedVideo() {
    dropped_ += video_.size();
    for (MediaPacket& p : video_)
        GiveBuffer(std::move(p.bytes));
    video_.clear();
}

bool SendQueue::TakeKeyRequest() {
    return std::exchange(keyWanted_, false);
}

int64_t SendQueue::DelayMs(int64_t nowMs) const {
    bool any = inFlight_;
    int64_t oldest = inFlightStampMs_;
    for (const auto* q : {&audio_, &video_}) {
        if (!q->empty()) {
            oldest = any ? std::min(oldest, q->front().stampMs) : q->front().stampMs;
            any = true;
        }
    }
    return any ? std::max<int64_t>(0, nowMs - oldest) : 0;
}

std::vector<uint8_t> SendQueue::TakeBuffer() {
    if (spare_.empty())
        return {};
    std::vector<uint8_t> b = std::move(spare_.back());
    spare_.pop_back();
    return b;
}

void SendQueue::GiveBuffer(std::vector<uint8_t>&& buffer) {
    if (spare_.size() < kSpareBuffers && buffer.capacity() > 0)
        spare_.push_back(std::move(buffer));
}

bool IsKeyFrame(const uint8_t* data, int length) {
    if (data == nullptr || length <= 0)
        return false;
    const std::span<const uint8_t> s(data, static_cast<size_t>(length));
    for (size_t i = basis::FindStartCode(s); i + 3 < s.size(); i = basis::FindStartCode(s, i + 3)) {
        if ((s[i + 3] & 0x1F) == 5)
            return true;
    }
    return false;
}

}  // namespace ocelix
