// Fills the root window of an X display with one colour and moves the pointer.
#pragma once

#include <cstdint>
#include <string>

namespace capture::test {

bool PaintScreen(const std::string& displayName, const uint8_t rgb[3], int pointerX, int pointerY);

}  // namespace capture::test
