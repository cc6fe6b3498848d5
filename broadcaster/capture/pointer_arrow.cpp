#include "capture/pointer_arrow.h"

namespace capture {
namespace {

struct Point {
    int32_t x;
    int32_t y;
};

// Outline of the arrow in half-pixel units (x right, y down), tip at the origin: the head's left
// edge, the notch, the tail and the head's right edge.
constexpr std::array<Point, 7> kArrowOutline{{
    {0, 0},
    {0, 46},
    {12, 36},
    {20, 54},
    {28, 50},
    {20, 34},
    {36, 34},
}};

// Alpha of the rim drawn just outside the outline.
constexpr uint8_t kRimAlpha = 96;

// Whether the centre of pixel (px, py) lies inside the outline (even-odd rule). Centres are at odd
// half-pixel coordinates and vertices at even ones, so no centre lies on an edge or a vertex row.
bool CentreInside(int32_t px, int32_t py) {
    const int32_t cx = 2 * px + 1;
    const int32_t cy = 2 * py + 1;
    bool inside = false;
    for (size_t i = 0; i < kArrowOutline.size(); ++i) {
        const Point a = kArrowOutline[i];
        const Point b = kArrowOutline[(i + 1) % kArrowOutline.size()];
        if ((a.y > cy) == (b.y > cy)) {
            continue;
        }
        // Does the edge cross the horizontal ray from the centre to the right?
        const int32_t dy = b.y - a.y;
        const int32_t lhs = (cx - a.x) * dy;
        const int32_t rhs = (cy - a.y) * (b.x - a.x);
        if (dy > 0 ? lhs < rhs : lhs > rhs) {
            inside = !inside;
        }
    }
    return inside;
}

bool Covered(int32_t px, int32_t py) {
    return px >= 0 && py >= 0 && px < kPointerSize && py < kPointerSize && CentreInside(px, py);
}

// Counts the covered pixels among the eight neighbours of (px, py).
int CoveredNeighbours(int32_t px, int32_t py) {
    int count = 0;
    for (int32_t dy = -1; dy <= 1; ++dy) {
        for (int32_t dx = -1; dx <= 1; ++dx) {
            if ((dx != 0 || dy != 0) && Covered(px + dx, py + dy)) {
                ++count;
            }
        }
    }
    return count;
}

PointerPicture BuildArrow() {
    PointerPicture picture{};
    for (int32_t py = 0; py < kPointerSize; ++py) {
        for (int32_t px = 0; px < kPointerSize; ++px) {
            PointerPixel& pixel = picture[static_cast<size_t>(py * kPointerSize + px)];
            const int neighbours = CoveredNeighbours(px, py);
            if (Covered(px, py)) {
                // Pixels on the border of the shape (including the picture's edge at the tip)
                // form the outline; the rest is filled.
                bool border = px == 0 || py == 0;
                for (int32_t dy = -1; dy <= 1 && !border; ++dy) {
                    for (int32_t dx = -1; dx <= 1 && !border; ++dx) {
                        border = !Covered(px + dx, py + dy);
                    }
                }
                pixel = border ? kPointerOutline : kPointerFill;
            } else if (neighbours > 0) {
                pixel = kPointerOutline;
                pixel.alpha = kRimAlpha;
            }
        }
    }
    return picture;
}

inline uint8_t Blend(uint8_t over, uint8_t under, uint32_t alpha) {
    return static_cast<uint8_t>((over * alpha + under * (255U - alpha) + 127U) / 255U);
}

}  // namespace

const PointerPicture& PointerArrow() {
    static const PointerPicture picture = BuildArrow();
    return picture;
}

void DrawPointerRow(const FrameImage& frame, int32_t tipX, int32_t tipY, int32_t pictureRow) {
    if (frame.data == nullptr || tipX < 0 || tipY < 0 || tipX >= frame.width ||
        tipY >= frame.height || pictureRow < tipY || pictureRow >= tipY + kPointerSize ||
        pictureRow >= frame.height) {
        return;
    }
    const int32_t row = pictureRow - tipY;
    // Frames are stored bottom-up: picture row r is buffer row height - 1 - r.
    const int32_t bufferRow = frame.height - 1 - pictureRow;
    const PointerPixel* line = &PointerArrow()[static_cast<size_t>(row * kPointerSize)];
    uint8_t* out = frame.Pixel(tipX, bufferRow);
    for (int32_t col = 0; col < kPointerSize && tipX + col < frame.width; ++col, out += 3) {
        const PointerPixel& p = line[col];
        if (p.alpha == 0) {
            continue;
        }
        out[0] = Blend(p.blue, out[0], p.alpha);
        out[1] = Blend(p.green, out[1], p.alpha);
        out[2] = Blend(p.red, out[2], p.alpha);
    }
}

void DrawPointer(const FrameImage& frame, int32_t tipX, int32_t tipY) {
    for (int32_t row = 0; row < kPointerSize; ++row) {
        DrawPointerRow(frame, tipX, tipY, tipY + row);
    }
}

}  // namespace capture
