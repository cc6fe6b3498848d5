// The exported C functions. Nothing thrown inside the library crosses this edge.
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

#include "basis/c_edge.h"
#include "client/vistrel.h"
#include "log/log.h"
#include "stream/rtmp.h"

using rtmp::CVistrel;

namespace {

void LogCaught() noexcept {
    rtmp::log::ShowText("::RTMP API exception caught.");
}

// 0 when fn throws.
template <typename Fn>
int Guard(Fn&& fn) noexcept {
    return basis::CallAtCEdge([&]() -> int { return fn(); }, 0, &LogCaught);
}

CVistrel* AsHandle(void* h) {
    return static_cast<CVistrel*>(h);
}
rtmp::RtmpPacket* AsMetadata(void* m) {
    return static_cast<rtmp::RtmpPacket*>(m);
}

constexpr int kMetadataRoom = 2048;

}  // namespace

extern "C" {

void* RTMP_Create(void) {
    return basis::CallAtCEdge(
        []() -> void* {
            return std::make_unique<CVistrel>().release();  // owned by the caller until Release
        },
        nullptr);
}

int RTMP_Release(void* handle) {
    return Guard([&] {
        if (handle == nullptr)
            return 0;
        std::unique_ptr<CVistrel> owned(AsHandle(handle));
        rtmp::DoAction(owned.get(), rtmp::ACTION_DISCONNECT);
        return 1;
    });
}

int RTMP_Connect(void* handle, const char* url) {
    return Guard([&] { return rtmp::ConnectHandle(AsHandle(handle), url, nullptr, nullptr); });
}

int RTMP_Connect2(void* handle, const char* url, const char* param1, const char* param2) {
    return Guard([&] { return rtmp::ConnectHandle(AsHandle(handle), url, param1, param2); });
}

int RTMP_SetTlsCaFile(void* handle, const char* path) {
    return Guard([&] { return rtmp::SetTlsCaFile(AsHandle(handle), path); });
}

int RTMP_GetLastError(void* handle, char* text, int size) {
    return Guard([&] { return rtmp::LastConnectError(AsHandle(handle), text, size); });
}

int RTMP_Disconnect(void* handle) {
    return Guard([&] { return rtmp::DoAction(AsHandle(handle), rtmp::ACTION_DISCONNECT); });
}

int RTMP_Publish(void* handle, const char* type) {
    return Guard([&] {
        int code = rtmp::ACTION_PUBLISH_LIVE;
        if (type != nullptr && std::strcmp(type, "record") == 0)
            code = rtmp::ACTION_PUBLISH_RECORD;
        if (type != nullptr && std::strcmp(type, "append") == 0)
            code = rtmp::ACTION_PUBLISH_APPEND;
        return rtmp::DoAction(AsHandle(handle), code);
    });
}

int RTMP_Play(void* handle) {
    return Guard([&] { return rtmp::DoAction(AsHandle(handle), rtmp::ACTION_PLAY); });
}

int RTMP_SendStream(void* handle, const void* data, int length, int timestamp, int type) {
    return Guard([&] {
        const auto c = rtmp::CurrentConnection(AsHandle(handle));
        if (!c || data == nullptr || length <= 0)
            return 0;
        if (timestamp < 0) {
            rtmp::log::ShowFMT("SendStream SetTs=0 org=%d", timestamp);
            timestamp = 0;
        }
        if (!c->Running())
            return 0;
        const auto* bytes = static_cast<const uint8_t*>(data);
        if (type == RTMP_TYPE_AUDIO)
            return c->SendAudio(bytes, length, timestamp);
        if (type == RTMP_TYPE_VIDEO)
            return c->SendVideo(bytes, length, timestamp);
        rtmp::log::ShowText("SendStream.Ex().dataType Erro!");
        return 0;
    });
}

int RTMP_GetState(void* handle) {
    return Guard([&] {
        const auto c = rtmp::CurrentConnection(AsHandle(handle));
        return c && c->Running() ? 1 : 0;
    });
}

int RTMP_SetLog(void* /*handle*/, int console, int flags) {
    rtmp::log::SetLog(console, flags);
    return 1;
}

int RTMP_SetDbgOut(void* handle, int value) {
    return RTMP_SetLog(handle, value, value);
}

int RTMP_SetStreamOut(void* handle, StreamOutFn video, StreamOutFn audio, void* user) {
    return Guard([&] {
        if (const auto c = rtmp::CurrentConnection(AsHandle(handle)))
            c->SetStreamOut(video, audio, user);
        return 1;
    });
}

int RTMP_SetCallBack(void* handle, CallBackFn callback, void* user) {
    return Guard([&] {
        const auto c = rtmp::CurrentConnection(AsHandle(handle));
        if (!c)
            return 0;
        c->SetCallBack(callback, user);
        return 1;
    });
}

int RTMP_Call(void* handle, const char** texts, int count, char* result, int size) {
    return Guard(
        [&] { return rtmp::CallServerMethod(AsHandle(handle), texts, count, result, size); });
}

void* RTMP_CreateMetaData(void) {
    return basis::CallAtCEdge(
        []() -> void* {
            auto metadata = std::make_unique<rtmp::RtmpPacket>(kMetadataRoom);
            metadata->WriteString("@setDataFrame");
            metadata->WriteString("onMetaData");
            metadata->WriteObjectStart();
            return metadata.release();  // owned by the caller until RTMP_ApplyMetaData
        },
        nullptr);
}

int RTMP_AddMetaDataString(void* metadata, const char* name, const char* value) {
    return Guard([&] {
        if (metadata == nullptr || name == nullptr || value == nullptr)
            return 0;
        AsMetadata(metadata)->WriteStringProperty(name, value);
        return 1;
    });
}

int RTMP_AddMetaDataDouble(void* metadata, const char* name, double value) {
    return Guard([&] {
        if (metadata == nullptr || name == nullptr)
            return 0;
        AsMetadata(metadata)->WriteNumberProperty(name, value);
        return 1;
    });
}

int RTMP_ApplyMetaData(void* handle, void* metadata) {
    return Guard([&] {
        if (metadata == nullptr)
            return 0;
        std::unique_ptr<rtmp::RtmpPacket> owned(AsMetadata(metadata));
        const auto c = rtmp::CurrentConnection(AsHandle(handle));
        if (!c)
            return 0;
        c->SendMetadata(*owned);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return 1;
    });
}

}  // extern "C"
