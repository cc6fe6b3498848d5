// A picture of the screen as a screen-sharing stream delivers it (32-bit pixels top-down with a
// row stride, in one of four byte orders), and its conversion into the broadcaster's packed BGR
// bottom-up frame with the broadcaster's own pointer arrow.
#ifndef BROADCASTER_CAPTURE_SHARED_SCREEN_FRAME_H
#define BROADCASTER_CAPTURE_SHARED_SCREEN_FRAME_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace capture {

// Byte order of one 32-bit pixel in memory; the x/A byte is ignored.
enum class SharedPixelOrder {
    kBgrx,  // blue, green, red, x (also BGRA)
    kRgbx,  // red, green, blue, x (also RGBA)
};

// Pointer position in the shared picture's pixels, counted from its top-left corner.
struct SharedPointer {
    int32_t x = 0;
    int32_t y = 0;
};

struct SharedScreenFrame {
    const uint8_t* pixels = nullptr;  // first byte of the top row
    size_t bytes = 0;                 // bytes readable from pixels
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;  // bytes from one row to the next
    SharedPixelOrder order = SharedPixelOrder::kBgrx;
    // Where to draw the arrow; none when the picture carries the pointer itself or the pointer
    // is not on this screen.
    std::optional<SharedPointer> pointer;
};

// Writes the top-left width x height pixels of the shared picture into dst (width x height x 3
// bytes, rows bottom-up, blue, green, red) and draws the arrow with its tip at the pointer.
// Parts of the rectangle beyond the picture are black. False, with dst untouched, when the
// arguments are unusable: no pixels, a size or stride that does not fit the readable bytes, or a
// non-positive destination size.
bool ConvertSharedScreenFrame(const SharedScreenFrame& frame, uint8_t* dst, int width, int height);

}  // namespace capture

#endif  // BROADCASTER_CAPTURE_SHARED_SCREEN_FRAME_H
