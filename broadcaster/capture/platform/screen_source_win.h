// Where the Windows screen grabber takes its pictures from: Desktop Duplication (DXGI) where the
// system offers it, GDI everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace capture {

// One picture of the top-left of the primary screen, as a source hands it over.
struct ScreenPicture {
    const uint8_t* top = nullptr;  // first byte of the top row
    ptrdiff_t stride = 0;          // bytes from a row to the one below it (negative: bottom-up)
    int bytesPerPixel = 0;         // 3 (blue, green, red) or 4 (blue, green, red, unused)
    int columns = 0;
    int rows = 0;
};

class ScreenSource {
  public:
    enum class Result {
        kPicture,    // picture holds the screen as it is now
        kUnchanged,  // nothing was drawn since the last picture
        kFailed,     // no picture this time
        kLost,       // the source can't go on (another desktop, a mode change): use another
    };

    virtual ~ScreenSource() = default;
    // Takes the top-left columns x rows of the primary screen. The picture stays valid until the
    // next call.
    virtual Result Capture(int columns, int rows, ScreenPicture& picture) = 0;
};

// BitBlt from the screen into a 24-bit bottom-up DIB section.
std::unique_ptr<ScreenSource> MakeGdiScreenSource();
// Desktop Duplication of the output at the desktop's origin; null where the system does not
// offer it (before Windows 8, in a remote session without it, under Wine).
std::unique_ptr<ScreenSource> MakeDuplicationScreenSource();

}  // namespace capture
