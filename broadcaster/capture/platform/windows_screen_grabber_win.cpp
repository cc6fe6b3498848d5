// ScreenGrabber on Windows: the top-left rectangle of the primary screen from Desktop Duplication
// where the system offers it (the Options' sharedMemory asks for the faster transfer), from GDI
// otherwise and whenever the duplication fails. The screen as of the last grab is kept, and only
// the rows that differ from it are written into the caller's frame, plus the rows the arrow left
// and entered.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <vector>

#include "capture/frame_image.h"
#include "capture/platform/screen_dpi_win.h"
#include "capture/platform/screen_source_win.h"
#include "capture/pointer_arrow.h"
#include "capture/screen_grabber.h"

namespace capture {
namespace {

using Clock = std::chrono::steady_clock;

// Where the arrow sits in a frame; `shown` is false when its tip lies outside the frame.
struct ArrowSpot {
    bool shown = false;
    int x = 0;
    int y = 0;
    bool operator==(const ArrowSpot&) const = default;
};

// One screen row as blue, green, red bytes.
void ToBgr(const uint8_t* in, int bytesPerPixel, int columns, uint8_t* out) {
    if (bytesPerPixel == 3) {
        std::memcpy(out, in, static_cast<size_t>(columns) * 3);
        return;
    }
    for (int x = 0; x < columns; ++x, in += 4, out += 3) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
    }
}

}  // namespace

class ScreenGrabber::Impl {
  public:
    explicit Impl(Options options) : options_(std::move(options)) { BecomeDpiAware(); }

    bool Grab(uint8_t* dst, int width, int height);
    bool UsedSharedMemory() const { return usedDuplication_; }
    Work Done() const {
        Work work;
        work.screenReads = screenReads_.load(std::memory_order_relaxed);
        work.rowsRead = rowsRead_.load(std::memory_order_relaxed);
        work.rowsWritten = rowsWritten_.load(std::memory_order_relaxed);
        return work;
    }

  private:
    // The source for this grab: the duplication when asked for and available (tried again a
    // while after it failed), GDI otherwise.
    ScreenSource& Source();
    // Takes a picture into the kept screen and marks the rows that changed; false when there is
    // none.
    bool TakePicture(int columns, int rows);
    void WriteRow(const FrameImage& frame, int pictureRow) const;

    Options options_;
    std::unique_ptr<ScreenSource> duplication_;
    std::unique_ptr<ScreenSource> gdi_;
    std::optional<Clock::time_point> duplicationFailedAt_;
    bool usedDuplication_ = false;
    ScreenSource* lastSource_ = nullptr;

    // The screen as of the last grab: columns x rows, top row first, 3 bytes a pixel.
    std::vector<uint8_t> kept_;
    bool keptValid_ = false;
    int keptColumns_ = 0;
    int keptRows_ = 0;
    std::vector<uint8_t> scratch_;      // one converted row
    std::vector<uint8_t> changedRows_;  // per screen row: differs from the last grab
    // The frame the last grab wrote, and where its arrow is.
    bool frameValid_ = false;
    const uint8_t* lastFrame_ = nullptr;
    int lastWidth_ = 0;
    int lastHeight_ = 0;
    int lastColumns_ = 0;
    int lastRows_ = 0;
    ArrowSpot arrow_;
    std::vector<uint8_t> writeRows_;  // per picture row: to be written
    std::atomic<uint64_t> screenReads_{0};
    std::atomic<uint64_t> rowsRead_{0};
    std::atomic<uint64_t> rowsWritten_{0};
};

ScreenSource& ScreenGrabber::Impl::Source() {
    if (options_.sharedMemory && duplication_ == nullptr &&
        (!duplicationFailedAt_ ||
         Clock::now() - *duplicationFailedAt_ >= options_.reopenInterval)) {
        duplication_ = MakeDuplicationScreenSource();
        if (duplication_ == nullptr)
            duplicationFailedAt_ = Clock::now();
        else
            duplicationFailedAt_.reset();
    }
    if (duplication_ != nullptr)
        return *duplication_;
    if (gdi_ == nullptr)
        gdi_ = MakeGdiScreenSource();
    return *gdi_;
}

bool ScreenGrabber::Impl::TakePicture(int columns, int rows) {
    ScreenSource* source = &Source();
    ScreenPicture picture;
    ScreenSource::Result result = source->Capture(columns, rows, picture);
    if (source == duplication_.get() &&
        (result == ScreenSource::Result::kLost || result == ScreenSource::Result::kFailed)) {
        // GDI takes over at once; the duplication is made again later.
        if (result == ScreenSource::Result::kLost) {
            duplication_.reset();
            duplicationFailedAt_ = Clock::now();
        }
        if (gdi_ == nullptr)
            gdi_ = MakeGdiScreenSource();
        source = gdi_.get();
        result = source->Capture(columns, rows, picture);
    }
    if (source != lastSource_ || columns != keptColumns_ || rows != keptRows_) {
        keptValid_ = false;  // another source's picture is compared with nothing
        lastSource_ = source;
    }
    usedDuplication_ = source == duplication_.get();
    std::fill(changedRows_.begin(), changedRows_.end(), 0);
    if (result == ScreenSource::Result::kUnchanged && keptValid_)
        return true;
    if (result != ScreenSource::Result::kPicture) {
        keptValid_ = false;
        return false;
    }
    screenReads_.fetch_add(1, std::memory_order_relaxed);
    rowsRead_.fetch_add(static_cast<uint64_t>(rows), std::memory_order_relaxed);
    const size_t rowBytes = static_cast<size_t>(columns) * 3;
    if (!keptValid_) {
        kept_.assign(rowBytes * static_cast<size_t>(rows), 0);
        changedRows_.assign(static_cast<size_t>(rows), 1);
        keptColumns_ = columns;
        keptRows_ = rows;
    }
    scratch_.resize(rowBytes);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* in = picture.top + picture.stride * y;
        uint8_t* keptRow = kept_.data() + rowBytes * static_cast<size_t>(y);
        ToBgr(in, picture.bytesPerPixel, columns, scratch_.data());
        if (!keptValid_ || std::memcmp(scratch_.data(), keptRow, rowBytes) != 0) {
            std::memcpy(keptRow, scratch_.data(), rowBytes);
            changedRows_[static_cast<size_t>(y)] = 1;
        }
    }
    keptValid_ = true;
    return true;
}

void ScreenGrabber::Impl::WriteRow(const FrameImage& frame, int pictureRow) const {
    uint8_t* out = frame.Pixel(0, frame.height - 1 - pictureRow);
    const int columns = std::min(keptColumns_, frame.width);
    if (pictureRow < keptRows_) {
        std::memcpy(
            out,
            kept_.data() + static_cast<size_t>(keptColumns_) * 3 * static_cast<size_t>(pictureRow),
            static_cast<size_t>(columns) * 3);
        if (columns < frame.width) {
            std::memset(out + static_cast<ptrdiff_t>(columns) * 3, 0,
                        static_cast<size_t>(frame.width - columns) * 3U);
        }
    } else {
        std::memset(out, 0, static_cast<size_t>(frame.stride));
    }
    if (arrow_.shown)
        DrawPointerRow(frame, arrow_.x, arrow_.y, pictureRow);
}

bool ScreenGrabber::Impl::Grab(uint8_t* dst, int width, int height) {
    if (dst == nullptr || width <= 0 || height <= 0 || width > kMaxScaleDimension ||
        height > kMaxScaleDimension)
        return false;
    // The primary screen's size now (it changes with the display mode).
    const int columns = std::min(width, GetSystemMetrics(SM_CXSCREEN));
    const int rows = std::min(height, GetSystemMetrics(SM_CYSCREEN));
    if (columns <= 0 || rows <= 0)
        return false;
    if (!TakePicture(columns, rows)) {
        frameValid_ = false;
        return false;
    }

    // The pointer where the screen's origin is (0, 0); the arrow's tip goes there.
    POINT pointer{};
    ArrowSpot arrow;
    if (GetCursorPos(&pointer) != 0 && pointer.x >= 0 && pointer.y >= 0 && pointer.x < width &&
        pointer.y < height) {
        arrow.shown = true;
        arrow.x = pointer.x;
        arrow.y = pointer.y;
    }

    const bool sameFrame = frameValid_ && dst == lastFrame_ && width == lastWidth_ &&
                           height == lastHeight_ && columns == lastColumns_ && rows == lastRows_;
    writeRows_.assign(static_cast<size_t>(height), sameFrame ? 0 : 1);
    bool anything = !sameFrame;
    if (sameFrame) {
        for (int y = 0; y < rows; ++y) {
            if (changedRows_[static_cast<size_t>(y)] != 0) {
                writeRows_[static_cast<size_t>(y)] = 1;
                anything = true;
            }
        }
        const auto mark = [&](const ArrowSpot& spot) {
            if (!spot.shown)
                return;
            for (int y = spot.y; y < std::min(height, spot.y + kPointerSize); ++y)
                writeRows_[static_cast<size_t>(y)] = 1;
            anything = true;
        };
        if (!(arrow == arrow_)) {
            mark(arrow_);
            mark(arrow);
        }
    }
    if (!anything)
        return false;  // nothing changed: nothing written

    arrow_ = arrow;
    const FrameImage frame(dst, width, height);
    uint64_t written = 0;
    for (int y = 0; y < height; ++y) {
        if (writeRows_[static_cast<size_t>(y)] != 0) {
            WriteRow(frame, y);
            ++written;
        }
    }
    rowsWritten_.fetch_add(written, std::memory_order_relaxed);
    frameValid_ = true;
    lastFrame_ = dst;
    lastWidth_ = width;
    lastHeight_ = height;
    lastColumns_ = columns;
    lastRows_ = rows;
    return true;
}

ScreenGrabber::ScreenGrabber() : ScreenGrabber(Options{}) {}

ScreenGrabber::ScreenGrabber(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

ScreenGrabber::~ScreenGrabber() = default;

bool ScreenGrabber::Grab(uint8_t* dst, int width, int height) {
    return impl_->Grab(dst, width, height);
}

bool ScreenGrabber::UsedSharedMemory() const {
    return impl_->UsedSharedMemory();
}

ScreenGrabber::Work ScreenGrabber::Done() const {
    return impl_->Done();
}

}  // namespace capture
