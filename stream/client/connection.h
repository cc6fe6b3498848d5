// One TCP connection to an RTMP server with its receive thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "client/platform/tcp_socket.h"
#include "client/result_waiter.h"
#include "stream/rtmp.h"
#include "wire/chunk.h"
#include "wire/decoder_listener.h"
#include "wire/message_decoder.h"

namespace rtmp {

struct CVistrel;

constexpr uint32_t kAckWindow = 5242880;
constexpr uint32_t kAckWrap = 4000445610u;
constexpr int kConnectTimeoutMs = 4000;
constexpr int kHandshakeTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 3000;
constexpr int kReceiveBlock = 20480;

class CConnection final : public DecoderListener {
  public:
    CConnection();
    ~CConnection() override;
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    // Opens the TCP connection to the handle's server, shakes hands, sends connect and
    // starts the receive thread. True when the receive thread runs.
    bool Connect(CVistrel* client);
    bool Handshake();
    // Sends a finished buffer (flipped here) whole; on failure the connection is closed.
    // Caller holds no lock; Write takes the send lock.
    bool Write(ByteBuffer& buffer);
    void Close() noexcept;

    // Command sequences (block the caller with the fixed pauses).
    bool SendCommand(const char* name, int chunkStream);
    bool Publish();
    bool Play();
    bool CloseStream();
    bool CallServer(const char* const* texts, int count);
    bool SendMetadata(RtmpPacket& metadata);

    // Media: one Annex B access unit or one ADTS frame, timestamp = delta in ms.
    int SendVideo(const uint8_t* data, int length, int timestamp);
    int SendAudio(const uint8_t* data, int length, int timestamp);
    // Frames one media payload on chunk stream 4 with the media writer and sends it.
    int SendStream(ByteBuffer& payload, int type, int timestamp);

    bool Running() const noexcept { return running_.load() != 0; }
    void SetPublishType(const char* type) { publishType_ = type; }
    void SetStreamOut(StreamOutFn video, StreamOutFn audio, void* user);
    void SetCallBack(CallBackFn callback, void* user);
    void InstallHook(ResultHookFn hook, ResultWaiter* waiter);
    void RemoveHook() { InstallHook(nullptr, nullptr); }

    // DecoderListener, on the receive thread.
    void OnCallBack(const char* text, int length) override;
    void OnResultLine(const char* line, int length) override;
    void OnPingRequest(PingMessage& answer) override;
    bool WantsVideo() const override { return videoOut_.load() != nullptr; }
    bool WantsAudio() const override { return audioOut_.load() != nullptr; }
    void OnVideo(const uint8_t* data, int length, uint32_t ts) override;
    void OnAudio(const uint8_t* data, int length, uint32_t ts) override;

    // Received-bytes accounting, exposed for tests of the acknowledgement rule.
    void HandleBlock(ByteBuffer& block);
    uint32_t BytesIn() const { return bytesIn_; }

  private:
    void ThreadReceive();
    void DeliverMedia(StreamOutFn fn, const uint8_t* data, int length, uint32_t ts);
    bool SendControl(int type, ByteBuffer& body);
    void SendBytesRead(uint32_t count);
    int SendVideoLocked(const uint8_t* data, int length, int timestamp);
    bool WriteLocked(ByteBuffer& buffer);

    TcpSocket socket_;
    std::thread receiveThread_;
    std::atomic<int> running_{0};
    std::atomic<int> alive_{0};
    std::atomic<bool> started_{false};
    uint32_t bytesIn_ = 0;
    uint32_t nextAck_ = kAckWindow;

    CVistrel* client_ = nullptr;
    std::string publishType_ = "record";

    // Receive side: used by the receive thread only.
    RtmpContext receiveContext_;
    MessageDecoder decoder_;

    // Send side. sendMutex_ serialises building and writing every message, so control
    // answers from the receive thread never interleave with media and the media writer's
    // state stays consistent.
    std::mutex sendMutex_;
    RtmpContext commandContext_;  // guarded by sendMutex_
    RtmpContext mediaContext_;    // guarded by sendMutex_
    ChunkWriter mediaWriter_;     // guarded by sendMutex_
    ByteBuffer sendBuffer_{0};    // the framed media message; guarded by sendMutex_

    // Media packaging state; packMutex_ serialises the caller's video and audio paths.
    std::mutex packMutex_;
    int avcHeaderSent_ = 0;
    int aacHeaderCountdown_ = 0;
    ByteBuffer videoInput_{0};     // the caller's access unit
    ByteBuffer videoPayload_{0};   // the video message body
    ByteBuffer endOfSequence_{0};  // an end-of-sequence unit to carry along
    ByteBuffer sei_{0};            // the unit's SEI
    ByteBuffer audioPayload_{0};   // the audio message body

    std::atomic<StreamOutFn> videoOut_{nullptr};
    std::atomic<StreamOutFn> audioOut_{nullptr};
    std::atomic<void*> streamUser_{nullptr};
    std::atomic<CallBackFn> callback_{nullptr};
    std::atomic<void*> callbackUser_{nullptr};

    std::mutex hookMutex_;
    ResultHookFn hook_ = nullptr;     // guarded by hookMutex_
    ResultWaiter* waiter_ = nullptr;  // guarded by hookMutex_
};

}  // namespace rtmp
