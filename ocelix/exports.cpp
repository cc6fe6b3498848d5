// The exported C functions. Nothing thrown inside the library crosses this edge.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "basis/c_edge.h"
#include "encoder_instance.h"
#include "ocelix/ocelix.h"

using ocelix::CEncoderInstance;

namespace {

// 0 when fn throws.
template <typename Fn>
int Guard(Fn&& fn) noexcept {
    return basis::CallAtCEdge([&]() -> int { return fn(); }, 0);
}

CEncoderInstance* AsInstance(void* h) {
    return static_cast<CEncoderInstance*>(h);
}

}  // namespace

extern "C" {

void* OCELIX_CreateEncoder(const EncoderConfig* config) {
    if (config == nullptr)
        return nullptr;
    return basis::CallAtCEdge(
        [config]() -> void* {
            auto instance = std::make_unique<CEncoderInstance>(*config, ocelix::DefaultBackends());
            return instance.release();  // owned by the caller until OCELIX_ReleaseEncoder
        },
        nullptr);
}

int OCELIX_ReleaseEncoder(void* handle) {
    Guard([&] {
        std::unique_ptr<CEncoderInstance> owned(AsInstance(handle));
        return 1;
    });
    return 1;
}

int OCELIX_Start(void* handle) {
    return Guard([&] { return handle != nullptr ? AsInstance(handle)->Start() : 0; });
}

int OCELIX_Stop(void* handle) {
    Guard([&] { return handle != nullptr ? AsInstance(handle)->Stop() : 1; });
    return 1;
}

int OCELIX_PutVideoData(void* handle, const void* data, int length) {
    Guard([&] {
        if (handle != nullptr)
            AsInstance(handle)->PutVideoData(data, length);
        return 1;
    });
    return 1;
}

int OCELIX_PutVideoDataAt(void* handle, const void* data, int length, int32_t takenMs) {
    Guard([&] {
        if (handle != nullptr)
            AsInstance(handle)->PutVideoData(data, length, takenMs);
        return 1;
    });
    return 1;
}

int OCELIX_GetMediaTime(void* handle, int32_t* ms) {
    return Guard([&] {
        if (handle == nullptr || ms == nullptr)
            return 0;
        auto* e = AsInstance(handle);
        if (e->State() != ocelix::STATE_RUNNING)
            return 0;
        *ms = static_cast<int32_t>(e->MediaNow());
        return 1;
    });
}

int OCELIX_PutAudioData(void* handle, const void* data, int length) {
    Guard([&] {
        if (handle != nullptr)
            AsInstance(handle)->PutAudioData(data, length);
        return 1;
    });
    return 1;
}

int OCELIX_GetAudioNofifySize(void* handle) {
    return Guard([&] { return handle != nullptr ? AsInstance(handle)->AudioNotifySize() : 0; });
}

// The records cross the library boundary: the same layout on every system and compiler.
static_assert(offsetof(OcelixStats, framesSkipped) == OCELIX_STATS_BASE_SIZE);
static_assert(offsetof(OcelixStats, failedAttempts) == 76 && sizeof(OcelixStats) == 80);
static_assert(offsetof(OcelixLocalCopy, bytesWritten) == 8);
static_assert(offsetof(OcelixLocalCopy, path) == 16 && sizeof(OcelixLocalCopy) == 1040);

int OCELIX_GetStats(void* handle, OcelixStats* stats) {
    return OCELIX_GetStatsEx(handle, stats, OCELIX_STATS_BASE_SIZE);
}

int OCELIX_GetStatsEx(void* handle, OcelixStats* stats, int size) {
    return Guard([&] {
        if (handle == nullptr || stats == nullptr || size <= 0)
            return 0;
        OcelixStats all{};
        AsInstance(handle)->GetStats(&all);
        std::memcpy(stats, &all, std::min(static_cast<size_t>(size), sizeof all));
        return 1;
    });
}

int OCELIX_SetLocalCopy(void* handle, const char* path) {
    return Guard(
        [&] { return handle != nullptr && AsInstance(handle)->SetLocalCopy(path) ? 1 : 0; });
}

int OCELIX_SetTlsCaFile(void* handle, const char* path) {
    return Guard(
        [&] { return handle != nullptr && AsInstance(handle)->SetTlsCaFile(path) ? 1 : 0; });
}

int OCELIX_GetLocalCopy(void* handle, OcelixLocalCopy* copy, int size) {
    return Guard([&] {
        if (handle == nullptr || copy == nullptr || size <= 0)
            return 0;
        const OcelixLocalCopy all = AsInstance(handle)->LocalCopyStatus();
        std::memcpy(copy, &all, std::min(static_cast<size_t>(size), sizeof all));
        return 1;
    });
}

}  // extern "C"
