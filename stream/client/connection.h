// One TCP connection to an RTMP server with its receive thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "client/connect_failure.h"
#include "client/platform/tcp_socket.h"
#include "client/result_waiter.h"
#include "client/server_info.h"
#include "stream/rtmp.h"
#include "wire/chunk.h"
#include "wire/decoder_listener.h"
#include "wire/message_decoder.h"

namespace rtmp {

constexpr uint32_t kAckWindow = 5242880;
constexpr uint32_t kAckWrap = 4000445610u;
// A name lookup that takes longer is given up, so that a dead line costs the watchdog no more
// than one of its 2 s rounds.
constexpr int kResolveTimeoutMs = 2000;
constexpr int kConnectTimeoutMs = 4000;
constexpr int kHandshakeTimeoutMs = 5000;
constexpr int kTlsHandshakeTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 3000;
constexpr int kReceiveBlock = 20480;
// Largest body a message header's 24-bit length field can state.
constexpr int kMaxMessageLength = 0xFFFFFF;

// Shared between the handle, every API call that uses it and its own receive thread (which
// holds a reference while it runs), so it must be made by std::make_shared.
class CConnection final : public DecoderListener, public std::enable_shared_from_this<CConnection> {
  public:
    CConnection();
    ~CConnection() override;
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    // Opens the TCP connection to the server of info (copied), inside TLS for rtmps:// (caFile:
    // authorities trusted besides the system's), shakes hands, sends connect with the
    // transaction id and starts the receive thread. True when the receive thread runs. Fails at
    // once, or as soon as it notices, once Close was called. Failure() then says why.
    bool Connect(const ServerInfo& info, uint32_t transactionId, const std::string& caFile = {});
    // Why Connect failed; read by the thread that called it, after it returned.
    const ConnectFailure& Failure() const { return failure_; }
    bool Handshake();
    // Sends a finished buffer (flipped here) whole; on failure the connection is closed.
    // Caller holds no lock; Write takes the send lock.
    bool Write(ByteBuffer& buffer);
    // Ends the connection from any thread: wakes the receive thread and any blocked connect,
    // handshake, send or result wait. Never waits itself.
    void Close() noexcept;
    // Close, then wait for the receive thread to end, unless called on that thread (from one
    // of its callbacks): then it ends right after the callback returns.
    void Stop() noexcept;

    // Command messages with the transaction id the caller's waiter expects; the caller waits
    // for the answers through the result hook.
    bool SendCommand(const char* name, int chunkStream, uint32_t transactionId,
                     const char* publishType = nullptr);
    // receiveAudio, receiveVideo and play (after createStream was answered).
    bool SendPlay(uint32_t transactionId);
    bool CloseStream();
    bool CallServer(const char* const* texts, int count, uint32_t transactionId);
    bool SendMetadata(RtmpPacket& metadata);
    // A new publish starts a new stream: sequence headers go out again with the next units.
    void RestartMedia();

    // Media: one Annex B access unit or one ADTS frame, timestamp = delta in ms.
    int SendVideo(const uint8_t* data, int length, int timestamp);
    int SendAudio(const uint8_t* data, int length, int timestamp);
    // Frames one media payload on chunk stream 4 with the media writer and sends it.
    int SendStream(ByteBuffer& payload, int type, int timestamp);

    bool Running() const noexcept { return running_.load() != 0; }
    const ServerInfo& Info() const { return info_; }  // fixed once Connect started
    void SetStreamOut(StreamOutFn video, StreamOutFn audio, void* user);
    void SetCallBack(CallBackFn callback, void* user);
    // Installs the hook that receives result lines. When the connection has ended (or ends
    // while installed) the waiter is finished at once with the verdict 0.
    void InstallHook(ResultHookFn hook, ResultWaiter* waiter);
    void RemoveHook() { InstallHook(nullptr, nullptr); }
    // Held by a call for as long as it has the hook installed.
    std::mutex& CallMutex() { return callMutex_; }
    // True on the connection's receive thread (inside a callback).
    bool OnReceiveThread() const;

    // DecoderListener, on the receive thread.
    void OnCallBack(const char* text, int length) override;
    void OnReply(ReplyKind kind, int64_t transactionId) override;
    void OnResultLine(const char* line, int length) override;
    void OnPingRequest(PingMessage& answer) override;
    void OnWindowAckSize(uint32_t size) override;
    bool WantsVideo() const override;
    bool WantsAudio() const override;
    void OnVideo(const uint8_t* data, int length, uint32_t ts) override;
    void OnAudio(const uint8_t* data, int length, uint32_t ts) override;

  private:
    // A function and its user value, always stored and read together.
    struct StreamOutSlots {
        StreamOutFn video = nullptr;
        StreamOutFn audio = nullptr;
        void* user = nullptr;
    };
    struct CallBackSlot {
        CallBackFn fn = nullptr;
        void* user = nullptr;
    };

    void ThreadReceive();
    // Decodes one received block, counts its bytes and acknowledges them per the window.
    void HandleBlock(ByteBuffer& block);
    // Marks the connection ended and finishes an installed waiter with the verdict 0.
    void EndWaits() noexcept;
    StreamOutSlots StreamOut() const;
    bool SendControl(int type, ByteBuffer& body);
    void SendBytesRead(uint32_t count);
    int SendVideoLocked(const uint8_t* data, int length, int timestamp);
    // A unit that is not sent still passed its time: the next message carries it, so that
    // the stream's running time stays the caller's. Returns result.
    int Carry(int timestamp, int result);
    bool WriteLocked(ByteBuffer& buffer);

    TcpSocket socket_;
    ServerInfo info_;         // written by Connect before the receive thread starts
    ConnectFailure failure_;  // Connect's thread only

    // threadMutex_ guards the thread object and closed_: a Close racing Connect either
    // stops the thread Connect started or keeps Connect from starting it.
    std::mutex threadMutex_;
    std::thread receiveThread_;
    bool closed_ = false;
    std::atomic<std::thread::id> receiveId_{};  // set by the receive thread itself
    std::atomic<int> running_{0};
    std::atomic<bool> started_{false};

    // Acknowledgement accounting: receive thread only.
    uint32_t bytesIn_ = 0;
    uint32_t ackWindow_ = kAckWindow;
    uint32_t lastAck_ = 0;
    uint32_t nextAck_ = kAckWindow;

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
    // Time of the media units that were not sent (dropped or refused), still to be carried by
    // the next message; guarded by sendMutex_.
    int64_t carriedTime_ = 0;

    // Media packaging state; packMutex_ serialises the caller's video and audio paths.
    std::mutex packMutex_;
    int avcHeaderSent_ = 0;
    int aacHeaderCountdown_ = 0;
    ByteBuffer videoInput_{0};     // the caller's access unit
    ByteBuffer videoPayload_{0};   // the video message body
    ByteBuffer endOfSequence_{0};  // an end-of-sequence unit to carry along
    ByteBuffer sei_{0};            // the unit's SEI units, each with its length
    ByteBuffer audioPayload_{0};   // the audio message body

    mutable std::mutex slotMutex_;
    StreamOutSlots streamOut_;  // guarded by slotMutex_
    CallBackSlot callBack_;     // guarded by slotMutex_

    std::mutex callMutex_;
    std::mutex hookMutex_;
    ResultHookFn hook_ = nullptr;     // guarded by hookMutex_
    ResultWaiter* waiter_ = nullptr;  // guarded by hookMutex_
    bool ended_ = false;              // guarded by hookMutex_
    // Whether the reply being decoded belongs to the installed waiter; guarded by hookMutex_.
    bool replyTaken_ = false;
};

}  // namespace rtmp
