// The shared screen's stream against a PipeWire producer of the test's own on the test desktop's
// PipeWire: pictures in either byte order, the pointer's position sent beside them (also alone,
// without a new picture), nothing new when nothing was sent, and the end when the producer goes.
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "capture/shared_screen_frame.h"
#include "capture/shared_screen_stream.h"
#include "wayland/wayland_desktop.h"

namespace capture::test {
namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kStride = kWidth * 4 + 16;  // padded rows

// A screen of one colour with a pointer, offered as a video source that sends a buffer each
// time Push is called (it drives its own graph). The buffers and their pointer metadata are the
// ones the stream under test asks for.
class TestScreenSource {
  public:
    explicit TestScreenSource(spa_video_format format) : format_(format) {}
    ~TestScreenSource() { Stop(); }
    TestScreenSource(const TestScreenSource&) = delete;
    TestScreenSource& operator=(const TestScreenSource&) = delete;

    // The node id once the source is ready; 0 when it did not start.
    uint32_t Start() {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("test-screen-source", nullptr);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        static const pw_stream_events events = {
            .version = PW_VERSION_STREAM_EVENTS,
            .state_changed =
                [](void* data, pw_stream_state, pw_stream_state, const char*) {
                    pw_thread_loop_signal(static_cast<TestScreenSource*>(data)->loop_, false);
                },
            .param_changed =
                [](void* data, uint32_t id, const spa_pod* param) {
                    static_cast<TestScreenSource*>(data)->OnParam(id, param);
                },
            .process = [](void* data) { static_cast<TestScreenSource*>(data)->OnProcess(); }};
        stream_ = pw_stream_new_simple(
            pw_thread_loop_get_loop(loop_), "test screen",
            pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr), &events, this);
        uint8_t buffer[512];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_rectangle size{kWidth, kHeight};
        const spa_fraction rate{30, 1};
        const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format_),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
            SPA_POD_Fraction(&rate)))};
        pw_stream_connect(
            stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (pw_stream_get_node_id(stream_) == PW_ID_ANY &&
               std::chrono::steady_clock::now() < deadline)
            pw_thread_loop_timed_wait(loop_, 1);
        const uint32_t node = pw_stream_get_node_id(stream_);
        pw_thread_loop_unlock(loop_);
        return node == PW_ID_ANY ? 0 : node;
    }

    // Sends one buffer: the picture and the pointer, or only the pointer.
    void Push(int pointerX, int pointerY, bool withPicture) {
        pointerX_ = pointerX;
        pointerY_ = pointerY;
        withPicture_ = withPicture;
        pw_thread_loop_lock(loop_);
        pw_stream_trigger_process(stream_);
        pw_thread_loop_unlock(loop_);
    }

    void Stop() {
        if (loop_ == nullptr)
            return;
        pw_thread_loop_stop(loop_);
        pw_stream_destroy(stream_);
        pw_thread_loop_destroy(loop_);
        loop_ = nullptr;
    }

    // Every pixel of the pictures sent from now on: these four bytes (as a little-endian word),
    // rows padded with 0x77.
    void SetPixel(uint32_t pixel) { pixel_ = pixel; }
    std::vector<uint8_t> Picture() const {
        std::vector<uint8_t> bytes(static_cast<size_t>(kStride * kHeight), 0x77);
        const uint32_t pixel = pixel_;
        for (int i = 0; i < kWidth * kHeight; ++i)
            std::memcpy(&bytes[static_cast<size_t>(i / kWidth * kStride + i % kWidth * 4)], &pixel,
                        4);
        return bytes;
    }

    // What the stream should make of the picture with the arrow at (x, y), or without it.
    std::vector<uint8_t> Expected(std::optional<SharedPointer> arrow) const {
        const std::vector<uint8_t> picture = Picture();
        const SharedPixelOrder order =
            format_ == SPA_VIDEO_FORMAT_RGBx ? SharedPixelOrder::kRgbx : SharedPixelOrder::kBgrx;
        std::vector<uint8_t> out(kWidth * kHeight * 3);
        EXPECT_TRUE(ConvertSharedScreenFrame(
            {picture.data(), picture.size(), kWidth, kHeight, kStride, order, arrow}, out.data(),
            kWidth, kHeight));
        return out;
    }

  private:
    void OnParam(uint32_t id, const spa_pod* param) {
        if (param == nullptr || id != SPA_PARAM_Format)
            return;
        uint8_t buffer[512];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const int cursorMeta =
            static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + 64 * 64 * 4);
        const spa_pod* params[] = {
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
                SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
                SPA_PARAM_BUFFERS_size, SPA_POD_Int(kStride * kHeight), SPA_PARAM_BUFFERS_stride,
                SPA_POD_Int(kStride), SPA_PARAM_BUFFERS_dataType,
                SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
                SPA_POD_CHOICE_RANGE_Int(cursorMeta, static_cast<int>(sizeof(spa_meta_cursor)),
                                         cursorMeta)))};
        pw_stream_update_params(stream_, params, 2);
    }

    void OnProcess() {
        pw_buffer* b = pw_stream_dequeue_buffer(stream_);
        if (b == nullptr)
            return;
        spa_data& d = b->buffer->datas[0];
        const std::vector<uint8_t> picture = Picture();
        if (withPicture_ && d.data != nullptr && d.maxsize >= picture.size()) {
            std::memcpy(d.data, picture.data(), picture.size());
            *d.chunk = spa_chunk{0, static_cast<uint32_t>(picture.size()), kStride, 0};
        } else {
            d.chunk->size = 0;  // only the pointer moved
        }
        if (auto* cursor = static_cast<spa_meta_cursor*>(
                spa_buffer_find_meta_data(b->buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)))) {
            *cursor = spa_meta_cursor{};  // no bitmap, the hot spot at the tip
            cursor->id = 1;
            cursor->position = spa_point{pointerX_, pointerY_};
        }
        pw_stream_queue_buffer(stream_, b);
    }

    spa_video_format format_;
    std::atomic<uint32_t> pixel_{0xFFE09030};
    std::atomic<int> pointerX_{0};
    std::atomic<int> pointerY_{0};
    std::atomic<bool> withPicture_{true};
    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
};

// A fresh connection to the desktop's PipeWire, as the portal hands one out (the stream takes
// the socket over, also when it failed to connect).
int ConnectToPipeWire() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/pipewire-0",
                  std::getenv("XDG_RUNTIME_DIR"));  // set by the desktop fixture
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    return fd;
}

// Sends until the stream's picture is `expected` (the link may take a moment to come up, and
// buffers sent before may still be on their way).
bool PushUntil(TestScreenSource& source, SharedScreenStream& stream, int x, int y, bool withPicture,
               const std::vector<uint8_t>& expected, std::vector<uint8_t>& frame) {
    const auto sentAndArrived = [&] {
        source.Push(x, y, withPicture);
        return WaitUntil(
            [&] {
                return stream.TakeNewPicture(frame.data(), kWidth, kHeight) && frame == expected;
            },
            100ms);
    };
    return WaitUntil(sentAndArrived, 20s);
}

using SharedScreenStreamTest = WaylandDesktopTest;

// BGRx and BGRA with the pointer's position beside the pictures, RGBx with the pointer drawn
// into them.
TEST_F(SharedScreenStreamTest, PicturesPointerAndEnd) {
    for (const spa_video_format format :
         {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_BGRA}) {
        SCOPED_TRACE(format);
        const bool pointerAsMetadata = format != SPA_VIDEO_FORMAT_RGBx;
        TestScreenSource source(format);
        const uint32_t node = source.Start();
        ASSERT_NE(node, 0U);
        SharedScreenStream stream;
        ASSERT_TRUE(stream.Start(ConnectToPipeWire(), node, pointerAsMetadata)) << stream.Detail();

        // The arrow where the stream should draw it.
        const auto arrow = [&](int x, int y) {
            return pointerAsMetadata ? std::optional(SharedPointer{x, y}) : std::nullopt;
        };
        std::vector<uint8_t> frame(kWidth * kHeight * 3, 0);
        ASSERT_TRUE(PushUntil(source, stream, 10, 5, true, source.Expected(arrow(10, 5)), frame));
        // A new picture replaces the last.
        source.SetPixel(0xFF302010);
        ASSERT_TRUE(PushUntil(source, stream, 10, 5, true, source.Expected(arrow(10, 5)), frame));
        if (pointerAsMetadata) {
            // The pointer moves over a screen that stands still: buffers without a picture.
            ASSERT_TRUE(
                PushUntil(source, stream, 30, 20, false, source.Expected(arrow(30, 20)), frame));
            // Every buffer sent has arrived (they arrive in order); the repeats of the last one
            // changed nothing, so there is nothing new and the frame stays.
            const std::vector<uint8_t> kept = frame;
            EXPECT_FALSE(stream.TakeNewPicture(frame.data(), kWidth, kHeight));
            EXPECT_EQ(frame, kept);
        }
        EXPECT_FALSE(stream.Ended());

        source.Stop();  // the desktop stops sharing
        EXPECT_TRUE(WaitUntil([&] { return stream.Ended(); }, 20s));
        const std::vector<uint8_t> last = frame;
        EXPECT_FALSE(stream.TakeNewPicture(frame.data(), kWidth, kHeight));
        EXPECT_EQ(frame, last);
        stream.Stop();
    }
}

}  // namespace
}  // namespace capture::test
