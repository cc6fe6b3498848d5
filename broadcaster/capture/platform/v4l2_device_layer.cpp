// Video devices over libv4l2: the device is opened with v4l2_open, so that v4l2_ioctl and
// v4l2_mmap hand over frames converted to RGB24 whatever the camera's own format.
#include <dirent.h>
#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include "capture/video_device_layer.h"

namespace capture {
namespace {

// The N of a "videoN" entry name, or nullopt for any other name.
std::optional<unsigned> VideoNodeNumber(std::string_view name) {
    constexpr std::string_view kPrefix = "video";
    if (name.size() <= kPrefix.size() || name.substr(0, kPrefix.size()) != kPrefix) {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(kPrefix.size());
    unsigned number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return number;
}

// ioctl through libv4l2, retried when a signal interrupts it.
int Xioctl(int fd, unsigned long request, void* arg) {
    int result = 0;
    do {
        result = v4l2_ioctl(fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result;
}

class V4l2DeviceLayer final : public VideoDeviceLayer {
  public:
    V4l2DeviceLayer() = default;
    ~V4l2DeviceLayer() override { Close(); }
    V4l2DeviceLayer(const V4l2DeviceLayer&) = delete;
    V4l2DeviceLayer& operator=(const V4l2DeviceLayer&) = delete;

    std::optional<std::vector<std::string>> ListNodes() override {
        DIR* dir = opendir("/dev");
        if (dir == nullptr) {
            return std::nullopt;
        }
        std::vector<std::pair<unsigned, std::string>> found;
        while (const dirent* entry = readdir(dir)) {
            const std::optional<unsigned> number = VideoNodeNumber(entry->d_name);
            if (number.has_value()) {
                found.emplace_back(*number, std::string("/dev/") + entry->d_name);
            }
        }
        closedir(dir);
        std::sort(found.begin(), found.end());
        std::vector<std::string> nodes;
        for (auto& node : found) {
            nodes.push_back(std::move(node.second));
        }
        return nodes;
    }

    bool Open(const std::string& node) override {
        Close();
        fd_ = v4l2_open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return fd_ >= 0;
    }

    void Close() override {
        if (fd_ < 0) {
            return;
        }
        if (streaming_) {
            StreamOff();
        }
        ReleaseBuffers();
        v4l2_close(fd_);
        fd_ = -1;
    }

    bool QueryCaps(VideoDeviceCaps& caps) override {
        v4l2_capability raw{};
        if (fd_ < 0 || Xioctl(fd_, VIDIOC_QUERYCAP, &raw) < 0) {
            return false;
        }
        const uint32_t flags =
            (raw.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? raw.device_caps : raw.capabilities;
        const auto* card = reinterpret_cast<const char*>(raw.card);
        caps.card.assign(card, strnlen(card, sizeof(raw.card)));
        caps.canCapture = (flags & V4L2_CAP_VIDEO_CAPTURE) != 0;
        caps.canStream = (flags & V4L2_CAP_STREAMING) != 0;
        return true;
    }

    std::vector<uint32_t> EnumerateFormats() override {
        std::vector<uint32_t> formats;
        if (fd_ < 0) {
            return formats;
        }
        for (uint32_t index = 0;; ++index) {
            v4l2_fmtdesc desc{};
            desc.index = index;
            desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (Xioctl(fd_, VIDIOC_ENUM_FMT, &desc) < 0) {
                break;
            }
            // libv4l2 appends the formats it converts to; only the device's own count here.
            if ((desc.flags & V4L2_FMT_FLAG_EMULATED) == 0) {
                formats.push_back(desc.pixelformat);
            }
        }
        return formats;
    }

    bool GetFormat(VideoFormat& format) override {
        v4l2_format raw{};
        raw.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (fd_ < 0 || Xioctl(fd_, VIDIOC_G_FMT, &raw) < 0) {
            return false;
        }
        Copy(raw, format);
        return true;
    }

    bool SetFormat(VideoFormat& format) override {
        v4l2_format raw{};
        raw.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        raw.fmt.pix.pixelformat = format.pixelFormat;
        raw.fmt.pix.width = format.width;
        raw.fmt.pix.height = format.height;
        raw.fmt.pix.field = V4L2_FIELD_ANY;
        if (fd_ < 0 || Xioctl(fd_, VIDIOC_S_FMT, &raw) < 0) {
            return false;
        }
        Copy(raw, format);
        return true;
    }

    bool SetFrameInterval(uint32_t numerator, uint32_t denominator) override {
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parm.parm.capture.timeperframe.numerator = numerator;
        parm.parm.capture.timeperframe.denominator = denominator;
        return fd_ >= 0 && Xioctl(fd_, VIDIOC_S_PARM, &parm) >= 0;
    }

    bool RequestBuffers(uint32_t count) override {
        if (fd_ < 0) {
            return false;
        }
        ReleaseBuffers();
        v4l2_requestbuffers request{};
        request.count = count;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (Xioctl(fd_, VIDIOC_REQBUFS, &request) < 0 || request.count == 0) {
            return false;
        }
        for (uint32_t index = 0; index < request.count; ++index) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = index;
            if (Xioctl(fd_, VIDIOC_QUERYBUF, &buffer) < 0) {
                ReleaseBuffers();
                return false;
            }
            void* start = v4l2_mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                                    buffer.m.offset);
            if (start == MAP_FAILED) {
                ReleaseBuffers();
                return false;
            }
            mapped_.push_back(Mapping{start, buffer.length});
            if (Xioctl(fd_, VIDIOC_QBUF, &buffer) < 0) {
                ReleaseBuffers();
                return false;
            }
        }
        return true;
    }

    bool StreamOn() override {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (fd_ < 0 || Xioctl(fd_, VIDIOC_STREAMON, &type) < 0) {
            return false;
        }
        streaming_ = true;
        return true;
    }

    bool StreamOff() override {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        streaming_ = false;
        return fd_ >= 0 && Xioctl(fd_, VIDIOC_STREAMOFF, &type) >= 0;
    }

    DequeueResult DequeueFrame(int timeoutMs, VideoFrame& frame) override {
        if (fd_ < 0 || !streaming_) {
            return DequeueResult::kError;
        }
        pollfd waitFor{fd_, POLLIN, 0};
        const int ready = ::poll(&waitFor, 1, timeoutMs);
        if (ready < 0) {
            return errno == EINTR ? DequeueResult::kTimeout : DequeueResult::kError;
        }
        if (ready == 0) {
            return DequeueResult::kTimeout;
        }
        if ((waitFor.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return DequeueResult::kError;
        }
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (Xioctl(fd_, VIDIOC_DQBUF, &buffer) < 0) {
            return errno == EAGAIN ? DequeueResult::kTimeout : DequeueResult::kError;
        }
        if (buffer.index >= mapped_.size()) {
            return DequeueResult::kError;
        }
        const Mapping& mapping = mapped_[buffer.index];
        const size_t used = std::min<size_t>(buffer.bytesused, mapping.length);
        const auto* data = static_cast<const uint8_t*>(mapping.start);
        frame.bytes.assign(data, data + used);
        frame.timestampSeconds = static_cast<double>(buffer.timestamp.tv_sec) +
                                 static_cast<double>(buffer.timestamp.tv_usec) / 1e6;
        if (Xioctl(fd_, VIDIOC_QBUF, &buffer) < 0) {
            return DequeueResult::kError;
        }
        return DequeueResult::kFrame;
    }

  private:
    struct Mapping {
        void* start = nullptr;
        size_t length = 0;
    };

    static void Copy(const v4l2_format& raw, VideoFormat& format) {
        format.pixelFormat = raw.fmt.pix.pixelformat;
        format.width = raw.fmt.pix.width;
        format.height = raw.fmt.pix.height;
        format.bytesPerLine = raw.fmt.pix.bytesperline;
    }

    void ReleaseBuffers() {
        for (const Mapping& mapping : mapped_) {
            v4l2_munmap(mapping.start, mapping.length);
        }
        if (!mapped_.empty() && fd_ >= 0) {
            v4l2_requestbuffers request{};
            request.count = 0;
            request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            request.memory = V4L2_MEMORY_MMAP;
            Xioctl(fd_, VIDIOC_REQBUFS, &request);
        }
        mapped_.clear();
    }

    int fd_ = -1;
    bool streaming_ = false;
    std::vector<Mapping> mapped_;
};

}  // namespace

std::unique_ptr<VideoDeviceLayer> MakeSystemVideoDeviceLayer() {
    return std::make_unique<V4l2DeviceLayer>();
}

}  // namespace capture
