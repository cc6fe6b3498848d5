#include "app/audio_device_table.h"

namespace app {

AudioDeviceTable& AudioDeviceTable::Instance() {
    static AudioDeviceTable table;
    return table;
}

std::optional<size_t> AudioDeviceTable::Add(const std::string& identity) {
    if (count_ >= kSlots)
        return std::nullopt;
    slots_[count_] = identity;
    return count_++;
}

std::optional<std::string> AudioDeviceTable::At(size_t slot) const {
    if (slot >= count_)
        return std::nullopt;
    return slots_[slot];
}

}  // namespace app
