// Draws on the root window of an X display and moves its pointer, each call on a connection of
// its own that has been synchronised with the server when the call returns.
#pragma once

#include <cstdint>
#include <string>

namespace capture::test {

// Fills the whole root window with one colour and moves the pointer.
bool PaintScreen(const std::string& displayName, const uint8_t rgb[3], int pointerX, int pointerY);

// Fills one rectangle of the root window.
bool PaintRectangle(const std::string& displayName, const uint8_t rgb[3], int x, int y, int width,
                    int height);

bool MovePointer(const std::string& displayName, int x, int y);

}  // namespace capture::test
