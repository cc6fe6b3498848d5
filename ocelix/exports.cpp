// The exported C functions. Nothing thrown inside the library crosses this edge.
#include <memory>

#include "encoder_instance.h"
#include "ocelix/ocelix.h"

using ocelix::CEncoderInstance;

namespace {

template <typename Fn>
int Guard(Fn&& fn) noexcept {
    try {
        return fn();
    } catch (...) {
        return 0;
    }
}

CEncoderInstance* AsInstance(void* h) {
    return static_cast<CEncoderInstance*>(h);
}

}  // namespace

extern "C" {

void* OCELIX_CreateEncoder(const EncoderConfig* config) {
    if (config == nullptr)
        return nullptr;
    try {
        auto instance = std::make_unique<CEncoderInstance>(*config, ocelix::DefaultBackends());
        return instance.release();  // owned by the caller until OCELIX_ReleaseEncoder
    } catch (...) {
        return nullptr;
    }
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

int OCELIX_GetStats(void* handle, OcelixStats* stats) {
    return Guard([&] {
        if (handle == nullptr || stats == nullptr)
            return 0;
        AsInstance(handle)->GetStats(stats);
        return 1;
    });
}

}  // extern "C"
