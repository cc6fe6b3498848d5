// The process-wide table of sound-capture device identities (PCM names) that the entries of the
// window's audio list point into: 20 slots, filled in enumeration order and never cleared.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace app {

class AudioDeviceTable {
  public:
    static constexpr size_t kSlots = 20;

    static AudioDeviceTable& Instance();

    // Copies identity into the next free slot; its index, or nullopt when all slots are used.
    std::optional<size_t> Add(const std::string& identity);
    // The identity in slot, nullopt for a slot not in use.
    std::optional<std::string> At(size_t slot) const;
    size_t Count() const { return count_; }

  private:
    std::array<std::string, kSlots> slots_{};
    size_t count_ = 0;
};

}  // namespace app
