// ScreenGrabber on Xlib: the root window of the default screen, read with XShmGetImage into a
// shared-memory image when the MIT-SHM extension is usable, with XGetImage otherwise; the DAMAGE
// extension tells which areas changed between grabs.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "capture/frame_image.h"
#include "capture/pointer_arrow.h"
#include "capture/screen_grabber.h"

namespace capture {
namespace {

using Clock = std::chrono::steady_clock;

// Protocol errors on the grabbers' own connections are recorded here instead of reaching the
// process's error handler (Xlib's default one ends the process). A lost connection of a grabber is
// reported to that grabber by its exit handler instead of ending the process. Errors on other
// connections go to the handlers that were installed before ours.
struct ErrorRegistry {
    std::mutex lock;
    std::map<Display*, int> lastError;  // 0: no error since the last reset
    XErrorHandler previous = nullptr;
    XIOErrorHandler previousIo = nullptr;
};

ErrorRegistry& Errors() {
    static ErrorRegistry registry;
    return registry;
}

int OnProtocolError(Display* display, XErrorEvent* event) {
    ErrorRegistry& registry = Errors();
    XErrorHandler previous = nullptr;
    {
        std::lock_guard<std::mutex> hold(registry.lock);
        auto it = registry.lastError.find(display);
        if (it != registry.lastError.end()) {
            it->second = event->error_code;
            return 0;
        }
        previous = registry.previous;
    }
    return previous != nullptr ? previous(display, event) : 0;
}

int OnConnectionError(Display* display) {
    ErrorRegistry& registry = Errors();
    XIOErrorHandler previous = nullptr;
    {
        std::lock_guard<std::mutex> hold(registry.lock);
        if (registry.lastError.count(display) != 0) {
            return 0;  // Xlib goes on to the connection's exit handler, which marks it lost
        }
        previous = registry.previousIo;
    }
    return previous != nullptr ? previous(display) : 0;
}

void WatchErrors(Display* display) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        XErrorHandler previous = XSetErrorHandler(OnProtocolError);
        XIOErrorHandler previousIo = XSetIOErrorHandler(OnConnectionError);
        std::lock_guard<std::mutex> hold(Errors().lock);
        Errors().previous = previous;
        Errors().previousIo = previousIo;
    });
    std::lock_guard<std::mutex> hold(Errors().lock);
    Errors().lastError[display] = 0;
}

void UnwatchErrors(Display* display) {
    std::lock_guard<std::mutex> hold(Errors().lock);
    Errors().lastError.erase(display);
}

// Returns the error recorded for `display` since the last call, and clears it.
int TakeError(Display* display) {
    std::lock_guard<std::mutex> hold(Errors().lock);
    auto it = Errors().lastError.find(display);
    if (it == Errors().lastError.end()) {
        return 0;
    }
    return std::exchange(it->second, 0);
}

// Position and width of a contiguous colour mask.
struct Channel {
    unsigned shift = 0;
    unsigned bits = 0;
};

Channel DescribeMask(unsigned long mask) {
    Channel channel;
    if (mask == 0) {
        return channel;
    }
    while ((mask & 1UL) == 0) {
        mask >>= 1;
        ++channel.shift;
    }
    while ((mask & 1UL) != 0) {
        mask >>= 1;
        ++channel.bits;
    }
    return mask == 0 ? channel : Channel{};  // non-contiguous masks are not supported
}

uint8_t Scale(unsigned long pixel, const Channel& channel) {
    const unsigned long max = (1UL << channel.bits) - 1UL;
    const unsigned long value = (pixel >> channel.shift) & max;
    return static_cast<uint8_t>((value * 255UL + max / 2UL) / max);
}

// How the pixels of a screen image become blue, green and red bytes.
struct PixelLayout {
    enum class Kind { Unusable, Bgra, ByteChannels, Masks };
    Kind kind = Kind::Unusable;
    int b = 0;  // byte offsets of the channels in a 4-byte pixel (ByteChannels)
    int g = 0;
    int r = 0;
    Channel red, green, blue;  // Masks
};

PixelLayout DescribeImage(const XImage& image) {
    PixelLayout layout;
    layout.red = DescribeMask(image.red_mask);
    layout.green = DescribeMask(image.green_mask);
    layout.blue = DescribeMask(image.blue_mask);
    const Channel& red = layout.red;
    const Channel& green = layout.green;
    const Channel& blue = layout.blue;
    if (red.bits == 0 || green.bits == 0 || blue.bits == 0 || red.bits > 16 || green.bits > 16 ||
        blue.bits > 16) {
        return layout;
    }
    const bool byteChannels = red.bits == 8 && green.bits == 8 && blue.bits == 8 &&
                              red.shift % 8 == 0 && green.shift % 8 == 0 && blue.shift % 8 == 0 &&
                              red.shift < 32 && green.shift < 32 && blue.shift < 32;
    if (image.bits_per_pixel == 32 && byteChannels) {
        // A channel at bit shift s is byte s/8 of a little-endian pixel, byte 3 - s/8 otherwise.
        auto offset = [&image](const Channel& c) {
            const int index = static_cast<int>(c.shift / 8);
            return image.byte_order == LSBFirst ? index : 3 - index;
        };
        layout.b = offset(blue);
        layout.g = offset(green);
        layout.r = offset(red);
        layout.kind = layout.b == 0 && layout.g == 1 && layout.r == 2
                          ? PixelLayout::Kind::Bgra
                          : PixelLayout::Kind::ByteChannels;
        return layout;
    }
    layout.kind = PixelLayout::Kind::Masks;
    return layout;
}

// Blue, green, red, unused bytes to blue, green, red: four pixels (16 bytes in, 12 out) per step
// on little-endian machines, where each 4-byte pixel loads as 0xXXRRGGBB.
void BgraRowToBgrPortable(const uint8_t* in, uint8_t* out, int columns) {
    int x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 4 <= columns; x += 4, in += 16, out += 12) {
            uint32_t p[4];
            std::memcpy(p, in, sizeof p);
            const uint32_t words[3] = {(p[0] & 0xFFFFFFU) | (p[1] << 24),
                                       ((p[1] >> 8) & 0xFFFFU) | (p[2] << 16),
                                       ((p[2] >> 16) & 0xFFU) | (p[3] << 8)};
            std::memcpy(out, words, sizeof words);
        }
    }
    for (; x < columns; ++x, in += 4, out += 3) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The same with SSSE3 byte shuffles: sixteen pixels (64 bytes in, 48 out) per step. Each 16-byte
// load packs its four pixels into its first 12 bytes; shifts join those into three stores.
__attribute__((target("ssse3"))) void BgraRowToBgrSsse3(const uint8_t* in, uint8_t* out,
                                                        int columns) {
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    int x = 0;
    for (; x + 16 <= columns; x += 16, in += 64, out += 48) {
        const __m128i a =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), pack);
        const __m128i b =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16)), pack);
        const __m128i c =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32)), pack);
        const __m128i d =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 48)), pack);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(a, _mm_slli_si128(b, 12)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16),
                         _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32),
                         _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
    }
    BgraRowToBgrPortable(in, out, columns - x);
}
#endif

void BgraRowToBgr(const uint8_t* in, uint8_t* out, int columns) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool ssse3 = __builtin_cpu_supports("ssse3") != 0;
    if (ssse3) {
        BgraRowToBgrSsse3(in, out, columns);
        return;
    }
#endif
    BgraRowToBgrPortable(in, out, columns);
}

// Converts the first `columns` pixels of the image's row `row` into `out`.
void ConvertRow(const XImage& image, const PixelLayout& layout, int row, int columns,
                uint8_t* out) {
    const auto* in = reinterpret_cast<const uint8_t*>(image.data) +
                     static_cast<ptrdiff_t>(row) * image.bytes_per_line;
    switch (layout.kind) {
        case PixelLayout::Kind::Bgra:
            BgraRowToBgr(in, out, columns);
            return;
        case PixelLayout::Kind::ByteChannels:
            for (int x = 0; x < columns; ++x, in += 4, out += 3) {
                out[0] = in[layout.b];
                out[1] = in[layout.g];
                out[2] = in[layout.r];
            }
            return;
        case PixelLayout::Kind::Masks:
            for (int x = 0; x < columns; ++x, out += 3) {
                const unsigned long pixel = XGetPixel(const_cast<XImage*>(&image), x, row);
                out[0] = Scale(pixel, layout.blue);
                out[1] = Scale(pixel, layout.green);
                out[2] = Scale(pixel, layout.red);
            }
            return;
        case PixelLayout::Kind::Unusable:
            return;
    }
}

// Sorted, disjoint half-open row ranges.
class RowSpans {
  public:
    struct Span {
        int begin;
        int end;
    };

    // Adds [begin, end) clipped to [0, limit).
    void Add(int begin, int end, int limit) {
        begin = std::max(begin, 0);
        end = std::min(end, limit);
        if (begin < end) {
            spans_.push_back({begin, end});
        }
    }
    // Sorts and joins ranges that overlap or lie less than `gap` rows apart.
    void Join(int gap) {
        std::sort(spans_.begin(), spans_.end(),
                  [](const Span& a, const Span& b) { return a.begin < b.begin; });
        size_t kept = 0;
        for (const Span& s : spans_) {
            if (kept > 0 && s.begin <= spans_[kept - 1].end + gap) {
                spans_[kept - 1].end = std::max(spans_[kept - 1].end, s.end);
            } else {
                spans_[kept++] = s;
            }
        }
        spans_.resize(kept);
    }
    int Rows() const {
        int rows = 0;
        for (const Span& s : spans_) {
            rows += s.end - s.begin;
        }
        return rows;
    }
    bool Empty() const { return spans_.empty(); }
    void Clear() { spans_.clear(); }
    const std::vector<Span>& Spans() const { return spans_; }

  private:
    std::vector<Span> spans_;
};

// Changed rows less than this far apart are read in one request: a request costs a round trip.
constexpr int kReadJoinGap = 16;

// Where the arrow sits in a frame; `shown` is false when its tip lies outside the frame.
struct ArrowSpot {
    bool shown = false;
    int x = 0;
    int y = 0;
    bool operator==(const ArrowSpot&) const = default;
};

struct ImageDeleter {
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDeleter>;

}  // namespace

// The display is asked, on each grab, which areas were drawn since the previous one (a DAMAGE
// object on the root window). The screen image of the last grab is kept (in the shared-memory
// segment, or in a plain image), and only the changed rows are read into it again and converted
// into the caller's frame. The arrow is drawn over the converted rows while they are at hand; when
// only the pointer moved, the rows it leaves and enters are converted again from the kept image.
class ScreenGrabber::Impl {
  public:
    explicit Impl(Options options) : options_(std::move(options)) {
        // The registry is made before this grabber so that it outlives grabbers that live until
        // the end of the process.
        Errors();
    }
    ~Impl() { CloseDisplay(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    bool Grab(uint8_t* dst, int width, int height);
    bool UsedSharedMemory() const { return usedSharedMemory_; }
    Work Done() const {
        Work work;
        work.screenReads = screenReads_.load(std::memory_order_relaxed);
        work.rowsRead = rowsRead_.load(std::memory_order_relaxed);
        work.rowsWritten = rowsWritten_.load(std::memory_order_relaxed);
        return work;
    }

  private:
    static void OnConnectionLost(Display* /*display*/, void* self) {
        static_cast<Impl*>(self)->connectionLost_ = true;
    }

    bool EnsureOpen();
    void WatchDamage();
    void CloseDisplay();
    bool EnsureSharedImage(int columns, int rows);
    void ReleaseSharedImage();
    // Makes sure a kept image of columns x rows exists (or will be made by the first read).
    void EnsureKeptImage(int columns, int rows);
    XImage* Kept() const { return sharedImage_ != nullptr ? sharedImage_ : plainImage_.get(); }
    // Adds the screen rows drawn since the last call to `changed`; false when the display cannot
    // tell (everything is then taken as changed).
    bool TakeDamage(int columns, int rows, RowSpans& changed);
    // Reads screen rows [begin, end) into the kept image; false when that failed.
    bool ReadRows(Window root, int begin, int end, int columns, int rows);
    void WriteRow(const FrameImage& frame, int pictureRow) const;

    Options options_;
    Display* display_ = nullptr;
    std::atomic<bool> connectionLost_{false};
    bool sharedMemoryUsable_ = false;  // extension present and attaching worked on this connection
    XImage* sharedImage_ = nullptr;
    XShmSegmentInfo segment_{};
    ImagePtr plainImage_;
    std::optional<Clock::time_point> lastFailedOpen_;
    bool usedSharedMemory_ = false;

    Damage damage_ = 0;          // 0 when the display offers no damage reports
    XserverRegion damaged_ = 0;  // receives the damage on each grab

    // The kept image holds the whole columns x rows screen as of the last grab.
    bool keptValid_ = false;
    int keptColumns_ = 0;
    int keptRows_ = 0;
    PixelLayout layout_;
    // The frame the last grab wrote, and where its arrow is.
    bool frameValid_ = false;
    const uint8_t* lastFrame_ = nullptr;
    int lastWidth_ = 0;
    int lastHeight_ = 0;
    int lastColumns_ = 0;  // the part of it the screen covered
    int lastRows_ = 0;
    ArrowSpot arrow_;
    // Rows to read and rows to write, refilled on each grab (kept to reuse their storage).
    RowSpans read_;
    RowSpans write_;
    // Work counters; other threads may read them while this one grabs.
    std::atomic<uint64_t> screenReads_{0};
    std::atomic<uint64_t> rowsRead_{0};
    std::atomic<uint64_t> rowsWritten_{0};
};

bool ScreenGrabber::Impl::EnsureOpen() {
    if (display_ != nullptr && connectionLost_) {
        CloseDisplay();
        lastFailedOpen_ = Clock::now();
    }
    if (display_ != nullptr) {
        return true;
    }
    const Clock::time_point now = Clock::now();
    if (lastFailedOpen_ && now - *lastFailedOpen_ < options_.reopenInterval) {
        return false;
    }
    display_ = XOpenDisplay(options_.displayName.empty() ? nullptr : options_.displayName.c_str());
    if (display_ == nullptr) {
        lastFailedOpen_ = now;
        return false;
    }
    lastFailedOpen_.reset();
    connectionLost_ = false;
    WatchErrors(display_);
    XSetIOErrorExitHandler(display_, &Impl::OnConnectionLost, this);
    sharedMemoryUsable_ = options_.sharedMemory && XShmQueryExtension(display_) == True;
    WatchDamage();
    return true;
}

void ScreenGrabber::Impl::WatchDamage() {
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (XDamageQueryExtension(display_, &eventBase, &errorBase) == False ||
        XDamageQueryVersion(display_, &major, &minor) == 0 ||
        XFixesQueryExtension(display_, &eventBase, &errorBase) == False ||
        XFixesQueryVersion(display_, &major, &minor) == 0 || major < 2) {
        return;
    }
    TakeError(display_);
    // Reports come as one event each time the damage becomes non-empty; the grab drains them and
    // asks for the damage itself.
    damage_ = XDamageCreate(display_, DefaultRootWindow(display_), XDamageReportNonEmpty);
    damaged_ = XFixesCreateRegion(display_, nullptr, 0);
    XSync(display_, False);
    if (TakeError(display_) != 0 || connectionLost_) {
        damage_ = 0;
        damaged_ = 0;
    }
}

void ScreenGrabber::Impl::CloseDisplay() {
    if (display_ == nullptr) {
        return;
    }
    ReleaseSharedImage();
    plainImage_.reset();
    // Closing the connection frees the damage object and the region on the server.
    damage_ = 0;
    damaged_ = 0;
    keptValid_ = false;
    frameValid_ = false;
    XCloseDisplay(display_);
    UnwatchErrors(display_);
    display_ = nullptr;
    sharedMemoryUsable_ = false;
}

bool ScreenGrabber::Impl::EnsureSharedImage(int columns, int rows) {
    if (sharedImage_ != nullptr && sharedImage_->width == columns && sharedImage_->height == rows) {
        return true;
    }
    ReleaseSharedImage();
    const int screen = DefaultScreen(display_);
    XImage* image =
        XShmCreateImage(display_, DefaultVisual(display_, screen),
                        static_cast<unsigned>(DefaultDepth(display_, screen)), ZPixmap, nullptr,
                        &segment_, static_cast<unsigned>(columns), static_cast<unsigned>(rows));
    if (image == nullptr) {
        sharedMemoryUsable_ = false;
        return false;
    }
    const size_t bytes = static_cast<size_t>(image->bytes_per_line) * static_cast<size_t>(rows);
    segment_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (segment_.shmid < 0) {
        XDestroyImage(image);
        sharedMemoryUsable_ = false;
        return false;
    }
    void* address = shmat(segment_.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(segment_.shmid, IPC_RMID, nullptr);
        XDestroyImage(image);
        sharedMemoryUsable_ = false;
        return false;
    }
    segment_.shmaddr = static_cast<char*>(address);
    segment_.readOnly = False;
    image->data = segment_.shmaddr;
    TakeError(display_);
    const bool attached = XShmAttach(display_, &segment_) == True;
    XSync(display_, False);
    // The segment disappears once both the server and this process have detached it.
    shmctl(segment_.shmid, IPC_RMID, nullptr);
    if (!attached || TakeError(display_) != 0 || connectionLost_) {
        shmdt(segment_.shmaddr);
        image->data = nullptr;
        XDestroyImage(image);
        segment_ = XShmSegmentInfo{};
        sharedMemoryUsable_ = false;
        return false;
    }
    sharedImage_ = image;
    return true;
}

void ScreenGrabber::Impl::ReleaseSharedImage() {
    if (sharedImage_ == nullptr) {
        return;
    }
    if (!connectionLost_) {
        XShmDetach(display_, &segment_);
        XSync(display_, False);
    }
    shmdt(segment_.shmaddr);
    sharedImage_->data = nullptr;
    XDestroyImage(sharedImage_);
    sharedImage_ = nullptr;
    segment_ = XShmSegmentInfo{};
}

void ScreenGrabber::Impl::EnsureKeptImage(int columns, int rows) {
    if (columns != keptColumns_ || rows != keptRows_) {
        keptValid_ = false;
        keptColumns_ = columns;
        keptRows_ = rows;
    }
    if (sharedMemoryUsable_) {
        if (sharedImage_ == nullptr || sharedImage_->width != columns ||
            sharedImage_->height != rows) {
            keptValid_ = false;
        }
        if (EnsureSharedImage(columns, rows)) {
            plainImage_.reset();
            return;
        }
        keptValid_ = false;  // from now on the plain image is kept
    }
    ReleaseSharedImage();
    if (plainImage_ && (plainImage_->width != columns || plainImage_->height != rows)) {
        plainImage_.reset();
    }
    if (!plainImage_) {
        keptValid_ = false;  // the first read makes it
    }
}

bool ScreenGrabber::Impl::TakeDamage(int columns, int rows, RowSpans& changed) {
    if (damage_ == 0) {
        return false;
    }
    TakeError(display_);
    // Moves the whole damage into the region and empties it: what is drawn from here on is
    // reported by the next grab.
    XDamageSubtract(display_, damage_, 0, damaged_);
    int count = 0;
    XRectangle* rectangles = XFixesFetchRegion(display_, damaged_, &count);
    if (TakeError(display_) != 0 || connectionLost_) {
        if (rectangles != nullptr) {
            XFree(rectangles);
        }
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const XRectangle& r = rectangles[i];
        if (r.x < columns && r.y < rows && r.width > 0 && r.height > 0) {
            changed.Add(r.y, r.y + r.height, rows);
        }
    }
    if (rectangles != nullptr) {
        XFree(rectangles);
    }
    // The reports themselves carry nothing the region does not: they are dropped.
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
    }
    return !connectionLost_;
}

bool ScreenGrabber::Impl::ReadRows(Window root, int begin, int end, int columns, int rows) {
    TakeError(display_);
    screenReads_.fetch_add(1, std::memory_order_relaxed);
    rowsRead_.fetch_add(static_cast<uint64_t>(end - begin), std::memory_order_relaxed);
    if (sharedImage_ != nullptr) {
        // A header for the band of rows inside the kept image: XShmGetImage writes at the
        // header's offset in the segment.
        XImage band = *sharedImage_;
        band.data = sharedImage_->data + static_cast<ptrdiff_t>(begin) * band.bytes_per_line;
        band.height = end - begin;
        return XShmGetImage(display_, root, &band, 0, begin, AllPlanes) == True &&
               TakeError(display_) == 0 && !connectionLost_;
    }
    if (!plainImage_ || (begin == 0 && end == rows)) {
        plainImage_.reset(XGetImage(display_, root, 0, 0, static_cast<unsigned>(columns),
                                    static_cast<unsigned>(rows), AllPlanes, ZPixmap));
        return plainImage_ && TakeError(display_) == 0 && !connectionLost_;
    }
    return XGetSubImage(display_, root, 0, begin, static_cast<unsigned>(columns),
                        static_cast<unsigned>(end - begin), AllPlanes, ZPixmap, plainImage_.get(),
                        0, begin) != nullptr &&
           TakeError(display_) == 0 && !connectionLost_;
}

void ScreenGrabber::Impl::WriteRow(const FrameImage& frame, int pictureRow) const {
    uint8_t* out = frame.Pixel(0, frame.height - 1 - pictureRow);
    const int columns = std::min(keptColumns_, frame.width);
    if (pictureRow < keptRows_) {
        ConvertRow(*Kept(), layout_, pictureRow, columns, out);
        if (columns < frame.width) {
            std::memset(out + static_cast<ptrdiff_t>(columns) * 3, 0,
                        static_cast<size_t>(frame.width - columns) * 3U);
        }
    } else {
        std::memset(out, 0, static_cast<size_t>(frame.stride));
    }
    if (arrow_.shown) {
        DrawPointerRow(frame, arrow_.x, arrow_.y, pictureRow);
    }
}

bool ScreenGrabber::Impl::Grab(uint8_t* dst, int width, int height) {
    if (dst == nullptr || width <= 0 || height <= 0 || !EnsureOpen()) {
        return false;
    }
    const Window root = DefaultRootWindow(display_);
    TakeError(display_);

    // The root window's current size (it can change while connected).
    Window geometryRoot = 0;
    int rootX = 0;
    int rootY = 0;
    unsigned rootWidth = 0;
    unsigned rootHeight = 0;
    unsigned border = 0;
    unsigned depth = 0;
    if (XGetGeometry(display_, root, &geometryRoot, &rootX, &rootY, &rootWidth, &rootHeight,
                     &border, &depth) == 0 ||
        connectionLost_) {
        return false;
    }
    const int columns = std::min(width, static_cast<int>(rootWidth));
    const int rows = std::min(height, static_cast<int>(rootHeight));
    if (columns <= 0 || rows <= 0) {
        return false;
    }

    EnsureKeptImage(columns, rows);
    if (connectionLost_) {
        return false;
    }
    // Screen rows to read again: what was drawn since the last grab, or all of them.
    RowSpans& read = read_;
    read.Clear();
    const bool damageKnown = TakeDamage(columns, rows, read);
    if (connectionLost_) {
        keptValid_ = false;
        return false;
    }
    if (!damageKnown || !keptValid_) {
        read.Clear();
        read.Add(0, rows, rows);
    }
    read.Join(kReadJoinGap);
    if (read.Rows() * 4 >= rows * 3) {
        read.Clear();
        read.Add(0, rows, rows);  // one request instead of several
    }

    Window pointerRoot = 0;
    Window pointerChild = 0;
    int pointerX = 0;
    int pointerY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned buttons = 0;
    const bool pointerOnScreen =
        XQueryPointer(display_, root, &pointerRoot, &pointerChild, &pointerX, &pointerY, &windowX,
                      &windowY, &buttons) == True;
    if (connectionLost_) {
        keptValid_ = false;
        return false;
    }
    ArrowSpot arrow;
    arrow.shown =
        pointerOnScreen && pointerX >= 0 && pointerY >= 0 && pointerX < width && pointerY < height;
    if (arrow.shown) {
        arrow.x = pointerX;
        arrow.y = pointerY;
    }

    // Frame rows to write: the rows read, and the rows the arrow left and entered.
    const bool sameFrame = frameValid_ && dst == lastFrame_ && width == lastWidth_ &&
                           height == lastHeight_ && columns == lastColumns_ && rows == lastRows_;
    RowSpans& write = write_;
    write.Clear();
    if (!sameFrame) {
        write.Add(0, height, height);
    } else {
        for (const RowSpans::Span& span : read.Spans()) {
            write.Add(span.begin, span.end, height);
        }
        if (!(arrow == arrow_)) {
            if (arrow_.shown) {
                write.Add(arrow_.y, arrow_.y + kPointerSize, height);
            }
            if (arrow.shown) {
                write.Add(arrow.y, arrow.y + kPointerSize, height);
            }
        }
        write.Join(0);
    }
    if (write.Empty()) {
        return false;  // nothing changed: no read, no conversion
    }

    for (const RowSpans::Span& span : read.Spans()) {
        if (!ReadRows(root, span.begin, span.end, columns, rows)) {
            // The damage is taken: without these rows the kept image is stale.
            keptValid_ = false;
            return false;
        }
    }
    if (Kept() == nullptr) {
        keptValid_ = false;
        return false;
    }
    if (!keptValid_ || !read.Empty()) {
        layout_ = DescribeImage(*Kept());
    }
    keptValid_ = true;
    if (layout_.kind == PixelLayout::Kind::Unusable) {
        return false;
    }

    arrow_ = arrow;
    const FrameImage frame(dst, width, height);
    for (const RowSpans::Span& span : write.Spans()) {
        for (int row = span.begin; row < span.end; ++row) {
            WriteRow(frame, row);
        }
    }
    rowsWritten_.fetch_add(static_cast<uint64_t>(write.Rows()), std::memory_order_relaxed);
    frameValid_ = true;
    lastFrame_ = dst;
    lastWidth_ = width;
    lastHeight_ = height;
    lastColumns_ = columns;
    lastRows_ = rows;
    usedSharedMemory_ = sharedImage_ != nullptr;
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
