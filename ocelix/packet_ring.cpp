#include "packet_ring.h"

#include <cstring>
#include <new>

namespace ocelix {

PacketRing::PacketRing(int slots) : slots_(static_cast<size_t>(slots > 0 ? slots : 1)) {}

int PacketRing::Push(const uint8_t* packet, int length, bool keyFrame, uint32_t stampMs) {
    if (full_)
        return -1;
    if (length < 0 || (length > 0 && packet == nullptr))
        return -2;
    Slot& slot = slots_[static_cast<size_t>(write_)];
    if (slot.storage.size() < static_cast<size_t>(length)) {
        try {
            slot.storage.resize(static_cast<size_t>(length));
        } catch (const std::bad_alloc&) {
            return -2;
        }
    }
    slot.length = length;
    slot.keyFrame = keyFrame;
    slot.stampMs = stampMs;
    if (length > 0)
        std::memcpy(slot.storage.data(), packet, static_cast<size_t>(length));
    write_ = (write_ + 1) % static_cast<int>(slots_.size());
    if (write_ == read_)
        full_ = true;
    empty_ = false;
    return 0;
}

int PacketRing::Pop(const uint8_t** packet, bool* keyFrame, uint32_t* stampMs) {
    if (empty_)
        return -1;
    const Slot& slot = slots_[static_cast<size_t>(read_)];
    if (packet != nullptr)
        *packet = slot.storage.data();
    if (keyFrame != nullptr)
        *keyFrame = slot.keyFrame;
    if (stampMs != nullptr)
        *stampMs = slot.stampMs;
    read_ = (read_ + 1) % static_cast<int>(slots_.size());
    if (read_ == write_)
        empty_ = true;
    full_ = false;
    return slot.length;
}

int PacketRing::Count() const {
    if (full_)
        return static_cast<int>(slots_.size());
    if (empty_)
        return 0;
    const int n = static_cast<int>(slots_.size());
    return (write_ - read_ + n) % n;
}

bool IsKeyFrame(const uint8_t* data, int length) {
    for (int i = 0; i + 3 < length; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if ((data[i + 3] & 0x1F) == 5)
                return true;
            i += 2;
        }
    }
    return false;
}

}  // namespace ocelix
