// Start codes of an H.264 Annex B byte stream: 00 00 01, or 00 00 00 01 in front of a unit
// that begins an access unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace basis {

// Offset of the next 00 00 01 at or after `from`, or s.size() when there is none.
std::size_t FindStartCode(std::span<const uint8_t> s, std::size_t from = 0);
// Offset of the next 00 00 00 01 at or after `from`, or s.size() when there is none.
std::size_t FindLongStartCode(std::span<const uint8_t> s, std::size_t from = 0);
// Length of the start code s begins with: 4, 3, or 0 when it begins with none.
std::size_t StartCodeLength(std::span<const uint8_t> s);

}  // namespace basis
