// The shared screen's stream over libpipewire-0.3, on a thread loop of its own.
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "capture/shared_screen_frame.h"
#include "capture/shared_screen_stream.h"

namespace capture {
namespace {

// Room for the pointer's bitmap that a desktop may send with its position (we use only the
// position, but the buffer must hold what the desktop writes).
constexpr size_t CursorMetaSize(int w, int h) {
    return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + static_cast<size_t>(w * h) * 4U;
}

constexpr auto kStartTimeout = std::chrono::seconds(10);

void InitPipeWireOnce() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

class SharedScreenStream::Impl {
  public:
    ~Impl() { Stop(); }

    bool Start(int fd, uint32_t node, bool pointerAsMetadata) {
        Stop();
        InitPipeWireOnce();
        pointerAsMetadata_ = pointerAsMetadata;
        {
            std::lock_guard<std::mutex> hold(lock_);
            picture_.clear();
            pointer_.reset();
            havePicture_ = fresh_ = ended_ = false;
            takenWidth_ = takenHeight_ = formatWidth_ = formatHeight_ = 0;
            detail_.clear();
        }
        loop_ = pw_thread_loop_new("tutorlane-screen", nullptr);
        if (loop_ == nullptr) {
            close(fd);
            return Failed("cannot make the PipeWire thread loop");
        }
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        if (context_ == nullptr) {
            close(fd);
            return Failed("cannot make the PipeWire context");
        }
        if (pw_thread_loop_start(loop_) < 0) {
            close(fd);
            return Failed("cannot start the PipeWire thread");
        }
        pw_thread_loop_lock(loop_);
        const bool ok = Connect(fd, node);
        if (ok)
            WaitUntilRunning();
        const bool running = ok && state_ == PW_STREAM_STATE_STREAMING;
        pw_thread_loop_unlock(loop_);
        if (!running) {
            const std::string why = Detail();
            Stop();
            return Failed(why.empty() ? "the screen's stream did not start" : why);
        }
        return true;
    }

    void Stop() {
        if (loop_ != nullptr)
            pw_thread_loop_stop(loop_);
        if (stream_ != nullptr) {
            spa_hook_remove(&streamListener_);
            pw_stream_destroy(stream_);
            stream_ = nullptr;
        }
        if (registry_ != nullptr) {
            spa_hook_remove(&registryListener_);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
            registry_ = nullptr;
        }
        if (core_ != nullptr) {
            spa_hook_remove(&coreListener_);
            pw_core_disconnect(core_);
            core_ = nullptr;
        }
        if (context_ != nullptr) {
            pw_context_destroy(context_);
            context_ = nullptr;
        }
        if (loop_ != nullptr) {
            pw_thread_loop_destroy(loop_);
            loop_ = nullptr;
        }
        state_ = PW_STREAM_STATE_UNCONNECTED;
    }

    bool TakeNewPicture(uint8_t* dst, int width, int height) {
        std::lock_guard<std::mutex> hold(lock_);
        if (!havePicture_ || (!fresh_ && width == takenWidth_ && height == takenHeight_))
            return false;
        SharedScreenFrame frame;
        frame.pixels = picture_.data();
        frame.bytes = picture_.size();
        frame.width = width_;
        frame.height = height_;
        frame.stride = stride_;
        frame.order = order_;
        if (pointerAsMetadata_ && pointer_)
            frame.pointer = pointer_;
        if (!ConvertSharedScreenFrame(frame, dst, width, height))
            return false;
        fresh_ = false;
        takenWidth_ = width;
        takenHeight_ = height;
        return true;
    }

    bool Ended() const {
        std::lock_guard<std::mutex> hold(lock_);
        return ended_;
    }

    std::string Detail() const {
        std::lock_guard<std::mutex> hold(lock_);
        return detail_;
    }

  private:
    bool Failed(std::string why) {
        std::lock_guard<std::mutex> hold(lock_);
        detail_ = std::move(why);
        return false;
    }

    // Loop lock held.
    bool Connect(int fd, uint32_t node) {
        core_ = pw_context_connect_fd(context_, fd, nullptr, 0);
        if (core_ == nullptr)
            return Failed("cannot connect to the desktop's PipeWire");
        static const pw_core_events coreEvents = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.error = [](void* data, uint32_t id, int, int res, const char* message) {
                auto* self = static_cast<Impl*>(data);
                if (id == PW_ID_CORE)
                    self->End(std::string("PipeWire: ") + (message ? message : "") + " (" +
                              spa_strerror(res) + ")");
            };
            return e;
        }();
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
        // The shared node goes away when the desktop stops sharing; the stream itself only
        // pauses then, waiting for a node that never comes back.
        node_ = node;
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        if (registry_ == nullptr)
            return Failed("cannot watch the desktop's PipeWire nodes");
        static const pw_registry_events registryEvents = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global_remove = [](void* data, uint32_t id) {
                auto* self = static_cast<Impl*>(data);
                if (id == self->node_)
                    self->End("the desktop stopped sharing the screen");
            };
            return e;
        }();
        pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);

        stream_ = pw_stream_new(core_, "tutorlane screen",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                  "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
        if (stream_ == nullptr)
            return Failed("cannot make the PipeWire stream");
        static const pw_stream_events streamEvents = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                                 const char* error) {
                static_cast<Impl*>(data)->OnState(state, error);
            };
            e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
                static_cast<Impl*>(data)->OnParam(id, param);
            };
            e.process = [](void* data) { static_cast<Impl*>(data)->OnProcess(); };
            return e;
        }();
        pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_rectangle sizeDefault{1280, 720};
        const spa_rectangle sizeMin{1, 1};
        const spa_rectangle sizeMax{16384, 16384};
        const spa_fraction rateDefault{30, 1};
        const spa_fraction rateMin{0, 1};
        const spa_fraction rateMax{1000, 1};
        // Raw formats only, without modifiers: the desktop then has to use shared memory.
        const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                   SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                                   SPA_VIDEO_FORMAT_RGBA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&sizeDefault, &sizeMin, &sizeMax),
            SPA_FORMAT_VIDEO_framerate,
            SPA_POD_CHOICE_RANGE_Fraction(&rateDefault, &rateMin, &rateMax)))};
        const int r = pw_stream_connect(
            stream_, PW_DIRECTION_INPUT, node,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
        if (r < 0)
            return Failed(std::string("cannot connect the PipeWire stream: ") + spa_strerror(r));
        return true;
    }

    // Loop lock held; the loop's thread signals every state change.
    void WaitUntilRunning() {
        const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
        while (state_ != PW_STREAM_STATE_STREAMING && state_ != PW_STREAM_STATE_ERROR && !Ended()) {
            const auto left = std::chrono::duration_cast<std::chrono::seconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 ||
                pw_thread_loop_timed_wait(loop_, static_cast<int>(left.count())) != 0)
                break;
        }
    }

    void End(std::string why) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (!ended_ && detail_.empty())
                detail_ = std::move(why);
            ended_ = true;
        }
        pw_thread_loop_signal(loop_, false);
    }

    void OnState(pw_stream_state state, const char* error) {
        const pw_stream_state before = state_;
        state_ = state;
        if (state == PW_STREAM_STATE_ERROR)
            End(std::string("PipeWire stream: ") + (error ? error : "error"));
        else if (state == PW_STREAM_STATE_UNCONNECTED && before != PW_STREAM_STATE_UNCONNECTED)
            End("the desktop stopped sharing the screen");
        pw_thread_loop_signal(loop_, false);
    }

    void OnParam(uint32_t id, const spa_pod* param) {
        if (param == nullptr || id != SPA_PARAM_Format)
            return;
        uint32_t mediaType = 0;
        uint32_t mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
            mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
            return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0)
            return;
        {
            std::lock_guard<std::mutex> hold(lock_);
            order_ = info.format == SPA_VIDEO_FORMAT_RGBx || info.format == SPA_VIDEO_FORMAT_RGBA
                         ? SharedPixelOrder::kRgbx
                         : SharedPixelOrder::kBgrx;
            formatWidth_ = static_cast<int>(info.size.width);
            formatHeight_ = static_cast<int>(info.size.height);
        }

        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const int memTypes = (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd);
        const spa_pod* params[3];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int(memTypes)));
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
            SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(static_cast<int>(CursorMetaSize(64, 64)),
                                     static_cast<int>(CursorMetaSize(1, 1)),
                                     static_cast<int>(CursorMetaSize(256, 256)))));
        pw_stream_update_params(stream_, params, 3);
    }

    void OnProcess() {
        // Only the newest buffer matters: give older ones straight back.
        pw_buffer* newest = nullptr;
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream_)) {
            if (newest != nullptr)
                pw_stream_queue_buffer(stream_, newest);
            newest = next;
        }
        if (newest == nullptr)
            return;
        Store(*newest->buffer);
        pw_stream_queue_buffer(stream_, newest);
    }

    void Store(const spa_buffer& buf) {
        std::lock_guard<std::mutex> hold(lock_);
        const auto* cursor = static_cast<const spa_meta_cursor*>(
            spa_buffer_find_meta_data(&buf, SPA_META_Cursor, sizeof(spa_meta_cursor)));
        // Id 0: no new pointer data in this buffer.
        if (pointerAsMetadata_ && cursor != nullptr && cursor->id != 0) {
            const SharedPointer p{cursor->position.x, cursor->position.y};
            if (!pointer_ || pointer_->x != p.x || pointer_->y != p.y) {
                pointer_ = p;
                fresh_ = havePicture_;  // the pointer moved over the kept picture
            }
        }
        const auto* header = static_cast<const spa_meta_header*>(
            spa_buffer_find_meta_data(&buf, SPA_META_Header, sizeof(spa_meta_header)));
        if (header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0)
            return;
        if (buf.n_datas < 1 || buf.datas[0].data == nullptr || buf.datas[0].chunk == nullptr)
            return;
        const spa_data& d = buf.datas[0];
        const spa_chunk& chunk = *d.chunk;
        if (chunk.size == 0 || (chunk.flags & SPA_CHUNK_FLAG_CORRUPTED) != 0 || formatWidth_ <= 0 ||
            formatHeight_ <= 0)
            return;  // a pointer-only update
        const uint32_t offset = d.maxsize > 0 ? chunk.offset % d.maxsize : 0;
        const size_t bytes = std::min<size_t>(chunk.size, d.maxsize - offset);
        const int stride = chunk.stride > 0 ? chunk.stride : formatWidth_ * 4;
        const auto* pixels = static_cast<const uint8_t*>(d.data) + offset;
        picture_.assign(pixels, pixels + bytes);
        width_ = formatWidth_;
        height_ = formatHeight_;
        stride_ = stride;
        havePicture_ = true;
        fresh_ = true;
    }

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    pw_registry* registry_ = nullptr;
    uint32_t node_ = 0;
    spa_hook registryListener_{};
    spa_hook coreListener_{};
    spa_hook streamListener_{};
    pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;  // loop thread, or loop lock held
    bool pointerAsMetadata_ = false;

    mutable std::mutex lock_;  // what follows
    SharedPixelOrder order_ = SharedPixelOrder::kBgrx;
    int formatWidth_ = 0;
    int formatHeight_ = 0;
    std::vector<uint8_t> picture_;
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    std::optional<SharedPointer> pointer_;
    bool havePicture_ = false;
    bool fresh_ = false;
    int takenWidth_ = 0;
    int takenHeight_ = 0;
    bool ended_ = false;
    std::string detail_;
};

SharedScreenStream::SharedScreenStream() : impl_(std::make_unique<Impl>()) {}
SharedScreenStream::~SharedScreenStream() = default;

bool SharedScreenStream::Start(int fd, uint32_t node, bool pointerAsMetadata) {
    return impl_->Start(fd, node, pointerAsMetadata);
}
void SharedScreenStream::Stop() {
    impl_->Stop();
}
bool SharedScreenStream::TakeNewPicture(uint8_t* dst, int width, int height) {
    return impl_->TakeNewPicture(dst, width, height);
}
bool SharedScreenStream::Ended() const {
    return impl_->Ended();
}
std::string SharedScreenStream::Detail() const {
    return impl_->Detail();
}

}  // namespace capture
