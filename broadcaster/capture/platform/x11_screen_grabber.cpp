// ScreenGrabber on Xlib: the root window of the default screen, read with XShmGetImage into a
// shared-memory image when the MIT-SHM extension is usable, with XGetImage otherwise.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

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

// Copies a 32-bit image whose channels are whole bytes: blue, green and red sit at byte offsets
// b, g and r of each 4-byte pixel in memory.
void ConvertBytes(const XImage& image, const FrameImage& frame, int columns, int rows, int b, int g,
                  int r) {
    for (int row = 0; row < rows; ++row) {
        const auto* in = reinterpret_cast<const uint8_t*>(image.data) +
                         static_cast<ptrdiff_t>(row) * image.bytes_per_line;
        uint8_t* out = frame.Pixel(0, frame.height - 1 - row);
        if (b == 0 && g == 1 && r == 2) {
            for (int x = 0; x < columns; ++x, in += 4, out += 3) {
                out[0] = in[0];
                out[1] = in[1];
                out[2] = in[2];
            }
        } else {
            for (int x = 0; x < columns; ++x, in += 4, out += 3) {
                out[0] = in[b];
                out[1] = in[g];
                out[2] = in[r];
            }
        }
    }
}

uint8_t Scale(unsigned long pixel, const Channel& channel) {
    const unsigned long max = (1UL << channel.bits) - 1UL;
    const unsigned long value = (pixel >> channel.shift) & max;
    return static_cast<uint8_t>((value * 255UL + max / 2UL) / max);
}

// Writes the image's top-left columns x rows into the frame's top rows (bottom-up storage).
// False when the pixel format carries no usable colour masks.
bool ConvertImage(XImage& image, const FrameImage& frame, int columns, int rows) {
    const Channel red = DescribeMask(image.red_mask);
    const Channel green = DescribeMask(image.green_mask);
    const Channel blue = DescribeMask(image.blue_mask);
    if (red.bits == 0 || green.bits == 0 || blue.bits == 0 || red.bits > 16 || green.bits > 16 ||
        blue.bits > 16) {
        return false;
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
        ConvertBytes(image, frame, columns, rows, offset(blue), offset(green), offset(red));
        return true;
    }
    for (int row = 0; row < rows; ++row) {
        uint8_t* out = frame.Pixel(0, frame.height - 1 - row);
        for (int x = 0; x < columns; ++x, out += 3) {
            const unsigned long pixel = XGetPixel(&image, x, row);
            out[0] = Scale(pixel, blue);
            out[1] = Scale(pixel, green);
            out[2] = Scale(pixel, red);
        }
    }
    return true;
}

// Paints black every pixel of the frame outside its top-left columns x rows.
void BlackenOutside(const FrameImage& frame, int columns, int rows) {
    for (int y = 0; y < frame.height; ++y) {
        const int pictureRow = frame.height - 1 - y;
        if (pictureRow >= rows) {
            std::memset(frame.Pixel(0, y), 0, static_cast<size_t>(frame.stride));
        } else if (columns < frame.width) {
            std::memset(frame.Pixel(columns, y), 0,
                        static_cast<size_t>(frame.width - columns) * 3U);
        }
    }
}

struct ImageDeleter {
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDeleter>;

}  // namespace

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

  private:
    static void OnConnectionLost(Display* /*display*/, void* self) {
        static_cast<Impl*>(self)->connectionLost_ = true;
    }

    bool EnsureOpen();
    void CloseDisplay();
    bool EnsureSharedImage(int columns, int rows);
    void ReleaseSharedImage();
    // Reads the rectangle into the shared image; false when that failed.
    bool ReadShared(Window root, int columns, int rows);

    Options options_;
    Display* display_ = nullptr;
    std::atomic<bool> connectionLost_{false};
    bool sharedMemoryUsable_ = false;  // extension present and attaching worked on this connection
    XImage* sharedImage_ = nullptr;
    XShmSegmentInfo segment_{};
    std::optional<Clock::time_point> lastFailedOpen_;
    bool usedSharedMemory_ = false;
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
    return true;
}

void ScreenGrabber::Impl::CloseDisplay() {
    if (display_ == nullptr) {
        return;
    }
    ReleaseSharedImage();
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

bool ScreenGrabber::Impl::ReadShared(Window root, int columns, int rows) {
    if (!sharedMemoryUsable_ || !EnsureSharedImage(columns, rows)) {
        return false;
    }
    TakeError(display_);
    return XShmGetImage(display_, root, sharedImage_, 0, 0, AllPlanes) == True &&
           TakeError(display_) == 0 && !connectionLost_;
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

    XImage* image = nullptr;
    ImagePtr plain;
    const bool shared = ReadShared(root, columns, rows);
    if (shared) {
        image = sharedImage_;
    } else {
        if (connectionLost_) {
            return false;
        }
        plain.reset(XGetImage(display_, root, 0, 0, static_cast<unsigned>(columns),
                              static_cast<unsigned>(rows), AllPlanes, ZPixmap));
        if (!plain || TakeError(display_) != 0 || connectionLost_) {
            return false;
        }
        image = plain.get();
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
        return false;
    }

    const FrameImage frame(dst, width, height);
    if (!ConvertImage(*image, frame, columns, rows)) {
        return false;
    }
    BlackenOutside(frame, columns, rows);
    if (pointerOnScreen) {
        DrawPointer(frame, pointerX, pointerY);
    }
    usedSharedMemory_ = shared;
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

}  // namespace capture
