#include "client/commands.h"

#include <atomic>
#include <cstring>

#include "client/vistrel.h"
#include "log/log.h"

namespace rtmp {
namespace {

std::atomic<uint32_t> g_transactionCounter{kConnectTransactionId + 1};

constexpr char kSwfUrl[] = "http://127.0.0.1/Vistrel.swf";
constexpr char kPageUrl[] = "http://127.0.0.1/Vistrel.html";
constexpr char kFlashV8Marker[] = "NetConnect.Ver8";

void WriteConnectV9(RtmpPacket& p, const ServerInfo& c, uint32_t transactionId) {
    p.WriteString("connect");
    p.WriteNumber(transactionId);
    p.WriteEcmaArrayStart(0);
    p.WriteStringProperty("app", c.app.c_str());
    p.WriteStringProperty("flashVer", "WIN 9,0,115,0");
    p.WriteStringProperty("swfUrl", kSwfUrl);
    p.WriteStringProperty("pageUrl", kPageUrl);
    p.WriteStringProperty("tcUrl", c.tcUrl.c_str());
    p.WriteBooleanProperty("fpad", 0);
    p.WriteNumberProperty("capabilities", 15);
    p.WriteNumberProperty("audioCodecs", 3191);
    p.WriteNumberProperty("videoCodecs", 252);
    p.WriteNumberProperty("videoFunction", 1);
    p.WriteNumberProperty("objectEncoding", 0);
    p.WriteObjectEnd();
    p.WriteString(c.param1.c_str());
    p.WriteString(c.param2.c_str());
}

void WriteConnectV8(RtmpPacket& p, const ServerInfo& c, uint32_t transactionId) {
    p.WriteString("connect");
    p.WriteNumber(transactionId);
    p.WriteEcmaArrayStart(0);
    p.WriteNumberProperty("objectEncoding", 0);
    p.WriteStringProperty("app", c.app.c_str());
    p.WriteBooleanProperty("fpad", 0);
    p.WriteStringProperty("flashVer", "WIN 8,0,45,0");
    p.WriteStringProperty("tcUrl", c.tcUrl.c_str());
    p.WriteNumberProperty("audioCodecs", 615);
    p.WriteNumberProperty("videoCodecs", 76);
    p.WriteObjectEnd();
    p.WriteString(c.param1.c_str());
    p.WriteString(c.param2.c_str());
}

// name, transaction id, null.
void WriteStreamCommand(RtmpPacket& p, const char* name, uint32_t transactionId) {
    p.WriteString(name);
    p.WriteNumber(transactionId);
    p.WriteNull();
}

}  // namespace

uint32_t NextTransactionId() {
    return g_transactionCounter.fetch_add(1);
}

bool MakeCode(RtmpContext& context, int id, RtmpPacket& packet, const char* name,
              const ServerInfo& client, const char* publishType, uint32_t transactionId) {
    try {
        packet.Allocate(ByteBuffer::kBlockSize);
        context.SetHeader(id, MSG_INVOKE, 0);
        if (std::strcmp(name, "connect") == 0) {
            if (client.param1 == kFlashV8Marker) {
                log::ShowText("ConnectionFlashV8");
                WriteConnectV8(packet, client, transactionId);
            } else {
                log::ShowText("ConnectionFlashV9");
                WriteConnectV9(packet, client, transactionId);
            }
        } else if (std::strcmp(name, "createStream") == 0) {
            WriteStreamCommand(packet, "createStream", transactionId);
        } else if (std::strcmp(name, "publish") == 0) {
            context.SetHeader(id, MSG_INVOKE, 1);
            WriteStreamCommand(packet, "publish", transactionId);
            packet.WriteString(client.streamName.c_str());
            packet.WriteString(publishType != nullptr ? publishType : "live");
        } else if (std::strcmp(name, "play") == 0) {
            context.SetHeader(id, MSG_INVOKE, 1);
            WriteStreamCommand(packet, "play", transactionId);
            packet.WriteString(client.streamName.c_str());
        } else if (std::strcmp(name, "closeStream") == 0) {
            context.SetHeader(id, MSG_INVOKE, 1);
            WriteStreamCommand(packet, "closeStream", transactionId);
        } else {
            log::ShowText("No Action!");
            return false;
        }
        packet.Finish(context, id);
        return true;
    } catch (const std::exception&) {
        log::ShowText("Exception MakeCode()");
        return false;
    }
}

void MakeReceiveCommand(RtmpPacket& packet, const char* name, bool flag) {
    RtmpContext context;
    context.SetHeader(CS_PLAY, MSG_INVOKE, 1);
    packet.Allocate(ByteBuffer::kBlockSize);
    packet.WriteString(name);
    packet.WriteNumber(0);
    packet.WriteNull();
    packet.WriteBoolean(flag ? 1 : 0);
    packet.Finish(context, CS_PLAY);
}

void MakeCall(RtmpPacket& packet, const char* const* texts, int count, uint32_t transactionId) {
    RtmpContext context;
    context.SetHeader(CS_COMMAND, MSG_INVOKE, 0);
    packet.Allocate(ByteBuffer::kBlockSize);
    packet.WriteString(texts[0] != nullptr ? texts[0] : "");
    packet.WriteNumber(transactionId);
    packet.WriteNull();
    for (int i = 1; i < count; ++i)
        packet.WriteString(texts[i] != nullptr ? texts[i] : "");
    packet.Finish(context, CS_COMMAND);
}

}  // namespace rtmp
