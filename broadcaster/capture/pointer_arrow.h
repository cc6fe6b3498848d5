// The pointer picture drawn into captured screen frames: a 32 x 32 yellow-orange arrow with a dark
// red outline and a soft translucent rim, its tip at the picture's top-left corner. Whatever shape
// the pointer has on screen, this arrow is what the stream shows.
#ifndef BROADCASTER_CAPTURE_POINTER_ARROW_H
#define BROADCASTER_CAPTURE_POINTER_ARROW_H

#include <array>
#include <cstdint>

#include "capture/frame_image.h"

namespace capture {

inline constexpr int kPointerSize = 32;

// One pixel of the pointer picture, straight (not premultiplied) alpha.
struct PointerPixel {
    uint8_t blue = 0;
    uint8_t green = 0;
    uint8_t red = 0;
    uint8_t alpha = 0;  // 0 transparent, 255 opaque
};

// Rows top-down, kPointerSize pixels each; built once, on first use.
using PointerPicture = std::array<PointerPixel, kPointerSize * kPointerSize>;
const PointerPicture& PointerArrow();

// Fill and outline colours of the arrow.
inline constexpr PointerPixel kPointerFill{32, 180, 255, 255};
inline constexpr PointerPixel kPointerOutline{0, 0, 139, 255};

// Alpha-blends the arrow into a bottom-up frame with its tip at (tipX, tipY), counted from the
// top-left corner of the picture. Parts past the right or bottom edge are clipped; when the tip
// lies outside the frame nothing is drawn.
void DrawPointer(const FrameImage& frame, int32_t tipX, int32_t tipY);

// Draws only the part of that arrow that lies on one picture row (counted from the top): what
// DrawPointer draws there. Lets a caller that writes a frame row by row blend the arrow in while
// the row is at hand.
void DrawPointerRow(const FrameImage& frame, int32_t tipX, int32_t tipY, int32_t pictureRow);

}  // namespace capture

#endif  // BROADCASTER_CAPTURE_POINTER_ARROW_H
