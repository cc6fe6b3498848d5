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
    DropStale(nowMs);
    const bool video = packet.type == kVideoType;
    if (video && DelayMs(nowMs) > limits_.maxDelayMs) {
        // The line does not keep up: the video waiting is worth less than the time it costs.
        DropQueuedVideo();
        Lose();
    }
    const auto size = static_cast<int64_t>(packet.bytes.size());
    bool keep = size <= limits_.maxBytes && (!video || packet.key || !broken_);
    if (keep) {
        while (heldBytes_ + size > limits_.maxBytes && DropOldest()) {
        }
        if (video && packet.key)
            broken_ = false;
        keep = !(video && broken_);  // room made by dropping the frame it builds on
    }
    if (!keep) {
        ++dropped_;
        if (video)
            Break();  // the frames after it cannot be decoded
        GiveBuffer(std::move(packet.bytes));
        return false;
    }
    heldBytes_ += size;
    (video ? video_ : audio_).push_back(std::move(packet));
    return true;
}

bool SendQueue::Next(int64_t nowMs, MediaPacket* out, int64_t* waitMs) {
    *waitMs = -1;
    if (inFlight_)
        return false;
    // What got too old while waiting is dropped on the way out as well.
    DropStale(nowMs);
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
    heldBytes_ -= static_cast<int64_t>(out->bytes.size());
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
    while (!video_.empty() && !video_.front().key)
        DropFront(video_);
    if (video_.empty())
        Break();
}

void SendQueue::Break() {
    if (!broken_) {
        broken_ = true;
        keyWanted_ = true;
        ++episodes_;
    }
}

void SendQueue::DropQueuedVideo() {
    while (!video_.empty())
        DropFront(video_);
}

void SendQueue::DropStale(int64_t nowMs) {
    // Sound that waited past the bound is of no use to a live listener any more; the newer
    // sound behind it is. On a line slower than the sound alone the queue keeps the newest.
    while (!audio_.empty() && nowMs - audio_.front().stampMs > limits_.maxDelayMs)
        DropFront(audio_);
    if (!video_.empty() && nowMs - video_.front().stampMs > limits_.maxDelayMs) {
        DropQueuedVideo();
        Lose();
    }
}

bool SendQueue::DropOldest() {
    if (audio_.empty() && video_.empty())
        return false;
    if (video_.empty() || (!audio_.empty() && audio_.front().stampMs <= video_.front().stampMs)) {
        DropFront(audio_);
    } else {
        DropFront(video_);
        Lose();
    }
    return true;
}

void SendQueue::DropFront(std::deque<MediaPacket>& q) {
    ++dropped_;
    heldBytes_ -= static_cast<int64_t>(q.front().bytes.size());
    GiveBuffer(std::move(q.front().bytes));
    q.pop_front();
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
