// Screen pictures through GDI: the screen's device context copied with BitBlt into a DIB section
// of 24-bit pixels, rows bottom-up, kept between grabs.
#include <windows.h>

#include "capture/platform/screen_source_win.h"

namespace capture {
namespace {

class GdiScreenSource final : public ScreenSource {
  public:
    GdiScreenSource() = default;
    ~GdiScreenSource() override { Release(); }
    GdiScreenSource(const GdiScreenSource&) = delete;
    GdiScreenSource& operator=(const GdiScreenSource&) = delete;

    Result Capture(int columns, int rows, ScreenPicture& picture) override {
        if ((columns != columns_ || rows != rows_ || bitmap_ == nullptr) && !Prepare(columns, rows))
            return Result::kFailed;
        HDC screen = GetDC(nullptr);
        if (screen == nullptr)
            return Result::kFailed;
        // A plain copy: layered windows are left out, as the broadcaster always did.
        const BOOL copied = BitBlt(memory_, 0, 0, columns, rows, screen, 0, 0, SRCCOPY);
        ReleaseDC(nullptr, screen);
        GdiFlush();  // the bits are read directly below
        if (copied == 0)
            return Result::kFailed;
        const ptrdiff_t stride = (static_cast<ptrdiff_t>(columns) * 3 + 3) / 4 * 4;
        picture.top = bits_ + stride * (rows - 1);
        picture.stride = -stride;
        picture.bytesPerPixel = 3;
        picture.columns = columns;
        picture.rows = rows;
        return Result::kPicture;
    }

  private:
    bool Prepare(int columns, int rows) {
        Release();
        memory_ = CreateCompatibleDC(nullptr);
        if (memory_ == nullptr)
            return false;
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = columns;
        info.bmiHeader.biHeight = rows;  // positive: bottom-up
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        bitmap_ = CreateDIBSection(memory_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (bitmap_ == nullptr || bits == nullptr) {
            Release();
            return false;
        }
        previous_ = SelectObject(memory_, bitmap_);
        bits_ = static_cast<const uint8_t*>(bits);
        columns_ = columns;
        rows_ = rows;
        return true;
    }

    void Release() {
        if (memory_ != nullptr && previous_ != nullptr)
            SelectObject(memory_, previous_);
        if (bitmap_ != nullptr)
            DeleteObject(bitmap_);
        if (memory_ != nullptr)
            DeleteDC(memory_);
        memory_ = nullptr;
        bitmap_ = nullptr;
        previous_ = nullptr;
        bits_ = nullptr;
        columns_ = 0;
        rows_ = 0;
    }

    HDC memory_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    const uint8_t* bits_ = nullptr;
    int columns_ = 0;
    int rows_ = 0;
};

}  // namespace

std::unique_ptr<ScreenSource> MakeGdiScreenSource() {
    return std::make_unique<GdiScreenSource>();
}

}  // namespace capture
