// The RTMP client library (its exported RTMP_* functions) behind RtmpLayer.
#include "backends.h"
#include "stream/rtmp.h"

namespace ocelix {
namespace {

class StreamRtmpLayer final : public RtmpLayer {
  public:
    void* Create() override { return RTMP_Create(); }
    void Release(void* h) override { RTMP_Release(h); }
    int Connect(void* h, const char* url) override { return RTMP_Connect(h, url); }
    int Publish(void* h, const char* mode) override { return RTMP_Publish(h, mode); }
    int GetState(void* h) override { return RTMP_GetState(h); }
    int SendStream(void* h, const uint8_t* data, int length, int timestamp, int type) override {
        return RTMP_SendStream(h, data, length, timestamp, type);
    }
    int Disconnect(void* h) override { return RTMP_Disconnect(h); }
    void* CreateMetaData() override { return RTMP_CreateMetaData(); }
    int AddMetaDataDouble(void* m, const char* name, double value) override {
        return RTMP_AddMetaDataDouble(m, name, value);
    }
    int AddMetaDataString(void* m, const char* name, const char* value) override {
        return RTMP_AddMetaDataString(m, name, value);
    }
    int ApplyMetaData(void* h, void* m) override { return RTMP_ApplyMetaData(h, m); }
};

}  // namespace

std::unique_ptr<RtmpLayer> MakeStreamRtmpLayer() {
    return std::make_unique<StreamRtmpLayer>();
}

}  // namespace ocelix
