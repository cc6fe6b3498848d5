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
    int SetTlsCaFile(void* h, const char* path) override { return RTMP_SetTlsCaFile(h, path); }
    int LastConnectError(void* h) override { return RTMP_GetLastError(h, nullptr, 0); }
};

static_assert(OCELIX_CONNECT_OK == RTMP_ERROR_NONE && OCELIX_CONNECT_FAILED == RTMP_ERROR_OTHER &&
              OCELIX_CONNECT_TLS == RTMP_ERROR_TLS &&
              OCELIX_CONNECT_CERT_UNTRUSTED == RTMP_ERROR_CERT_UNTRUSTED &&
              OCELIX_CONNECT_CERT_HOST == RTMP_ERROR_CERT_HOST &&
              OCELIX_CONNECT_CERT_EXPIRED == RTMP_ERROR_CERT_EXPIRED &&
              OCELIX_CONNECT_CERT_NOT_YET_VALID == RTMP_ERROR_CERT_NOT_YET_VALID &&
              OCELIX_CONNECT_CA_FILE == RTMP_ERROR_CA_FILE);

}  // namespace

std::unique_ptr<RtmpLayer> MakeStreamRtmpLayer() {
    return std::make_unique<StreamRtmpLayer>();
}

}  // namespace ocelix
