#include "client/connection.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "client/commands.h"
#include "client/vistrel.h"
#include "log/log.h"
#include "wire/my_exception.h"

namespace rtmp {
namespace {

constexpr int kHandshakeSize = 1536;
constexpr uint32_t kHandshakeTime = 0x001CCF88;

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// C0 and C1: version 3, the time field, four zero bytes and a fixed filler.
std::vector<uint8_t> MakeClientHello() {
    std::vector<uint8_t> hello(1 + kHandshakeSize, 0);
    hello[0] = 0x03;
    hello[1] = static_cast<uint8_t>(kHandshakeTime >> 24);
    hello[2] = static_cast<uint8_t>(kHandshakeTime >> 16);
    hello[3] = static_cast<uint8_t>(kHandshakeTime >> 8);
    hello[4] = static_cast<uint8_t>(kHandshakeTime);
    uint32_t x = 0x2F6B4E1Du;
    for (size_t i = 9; i < hello.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        hello[i] = static_cast<uint8_t>(x);
    }
    return hello;
}

}  // namespace

CConnection::CConnection() : decoder_(this) {}

CConnection::~CConnection() {
    Close();
    // No other reference is left, so nothing else touches the thread object now. The last
    // reference may be the receive thread's own, dropped as it ends: it cannot join itself.
    if (receiveThread_.joinable()) {
        if (receiveThread_.get_id() == std::this_thread::get_id()) {
            receiveThread_.detach();
        } else {
            receiveThread_.join();
        }
    }
    socket_.Close();
}

bool CConnection::Connect(const ServerInfo& info, uint32_t transactionId,
                          const std::string& caFile) {
    failure_ = {RTMP_ERROR_OTHER, "no connection to " + info.server};
    try {
        info_ = info;
        std::string host;
        int port = 0;
        SplitHostPort(info_.server, &host, &port, info_.tls ? kRtmpsPort : kRtmpPort);
        log::ShowFMT("OpenWin32.Server=%s,app=%s,port=%d,ver=%s", host.c_str(), info_.app.c_str(),
                     port, kVersionString);
        const std::string address =
            host.size() < 4 ? std::string() : socket_.Resolve(host, kResolveTimeoutMs);
        if (!address.empty() && address != host)
            log::ShowFMT("Read Server ip %s ", address.c_str());
        log::ShowFMT("Trying to connect to ip:%s", address.c_str());
        if (address.empty() || !socket_.Connect(address, port, kConnectTimeoutMs)) {
            log::ShowText("Connect [Failue]");
            return false;
        }
        log::ShowText("Connect [OK]");
        if (info_.tls) {
            if (!socket_.StartTls(host, caFile, kTlsHandshakeTimeoutMs, &failure_)) {
                // Always in the log file: a server that fails its certificate check may be
                // someone else's.
                log::ForceFMT("TLS [Failue] %s", failure_.text.c_str());
                return false;
            }
            log::ShowText("TLS [OK]");
        }
        failure_.text = "no RTMP handshake with " + info.server;
        if (!Handshake())
            return false;
        failure_.text = "no answer to connect from " + info.server;
        if (!SendCommand("connect", CS_COMMAND, transactionId))
            return false;

        {
            std::lock_guard<std::mutex> lock(threadMutex_);
            if (closed_)
                return false;
            running_.store(1);
            // The thread keeps the connection alive until it has left its loop.
            receiveThread_ = std::thread([self = shared_from_this()]() mutable {
                self->ThreadReceive();
                self.reset();
            });
        }
        for (int i = 0; i < 2000 && !started_.load() && running_.load() != 0; ++i)
            Pause(1);
        log::ShowText("Connect complete.");
        return running_.load() != 0;
    } catch (const std::exception&) {
        log::ShowText("Exception in connect.");
        return false;
    }
}

bool CConnection::Handshake() {
    const std::vector<uint8_t> hello = MakeClientHello();
    std::vector<uint8_t> answer(1 + 2 * kHandshakeSize);
    const bool ok = socket_.SendAll(hello.data(), hello.size(), kHandshakeTimeoutMs) &&
                    socket_.ReceiveExactly(answer.data(), answer.size(), kHandshakeTimeoutMs) &&
                    socket_.SendAll(answer.data() + 1, kHandshakeSize, kHandshakeTimeoutMs);
    log::ShowText(ok ? "Handshake [OK]" : "Handshake [Failue]");
    return ok;
}

bool CConnection::Write(ByteBuffer& buffer) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    return WriteLocked(buffer);
}

bool CConnection::WriteLocked(ByteBuffer& buffer) {
    buffer.Flip();
    if (log::LinesOn())
        log::SetConsoleColor(3);
    const int n = buffer.Remaining();
    if (n == 0) {
        log::SetConsoleColor(4);
        log::ShowText("Write 0 byte? OK.");
        return true;
    }
    const bool ok = socket_.SendAll(buffer.Current(), static_cast<size_t>(n), kSendTimeoutMs);
    if (log::TrafficOn())
        log::DumpTcpSend(buffer.Current(), static_cast<size_t>(n));
    if (!ok) {
        log::ShowFMT("::CConnection::Write().Send error.\n");
        // Half a message may be on the wire: the stream is unusable from here on.
        running_.store(0);
        socket_.Shutdown();
    }
    return ok;
}

void CConnection::Close() noexcept {
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        closed_ = true;
    }
    running_.store(0);
    if (socket_.IsOpen())
        log::ShowText("Close socket...");
    socket_.Shutdown();
    EndWaits();
}

void CConnection::Stop() noexcept {
    Close();
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        if (receiveThread_.joinable() && receiveThread_.get_id() != std::this_thread::get_id())
            thread = std::move(receiveThread_);
    }
    // Joined without the lock: the thread may still be in a callback that calls into this
    // connection.
    if (thread.joinable())
        thread.join();
}

bool CConnection::OnReceiveThread() const {
    return receiveId_.load() == std::this_thread::get_id();
}

void CConnection::EndWaits() noexcept {
    std::lock_guard<std::mutex> lock(hookMutex_);
    ended_ = true;
    // A verdict the server gave before it closed stands.
    if (waiter_ != nullptr && waiter_->done.load() == 0) {
        waiter_->ok.store(0);
        waiter_->done.store(1);
    }
}

bool CConnection::SendCommand(const char* name, int chunkStream, uint32_t transactionId,
                              const char* publishType) {
    RtmpPacket packet;
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!MakeCode(commandContext_, chunkStream, packet, name, info_, publishType, transactionId))
        return false;
    // A command on the media chunk stream went out with a header of its own: the media
    // writer's next header there must be a full one again.
    if (chunkStream == CS_STREAM)
        mediaWriter_.ForgetLastHeader();
    return WriteLocked(packet);
}

bool CConnection::SendPlay(uint32_t transactionId) {
    try {
        for (const char* name : {"receiveAudio", "receiveVideo"}) {
            RtmpPacket packet;
            MakeReceiveCommand(packet, name, true);
            if (!Write(packet))
                return false;
        }
        return SendCommand("play", CS_PLAY, transactionId);
    } catch (const std::exception&) {
        log::ShowText("Exception in CConnection::Play()");
        return false;
    }
}

bool CConnection::CloseStream() {
    try {
        const bool ok = SendCommand("closeStream", CS_COMMAND, NextTransactionId());
        Pause(100);
        return ok;
    } catch (const std::exception&) {
        throw MYEX_PUBLISH;
    }
}

bool CConnection::CallServer(const char* const* texts, int count, uint32_t transactionId) {
    if (count <= 0 || texts == nullptr)
        return false;
    try {
        RtmpPacket packet;
        MakeCall(packet, texts, count, transactionId);
        return Write(packet);
    } catch (const std::exception&) {
        log::ShowText("Exception in CConnection::CallServer()");
        return false;
    }
}

bool CConnection::SendMetadata(RtmpPacket& metadata) {
    RtmpContext context;
    context.SetHeader(CS_STREAM, MSG_NOTIFY, 1);
    metadata.WriteObjectEnd();
    metadata.Finish(context, CS_STREAM);
    std::lock_guard<std::mutex> lock(sendMutex_);
    // The metadata went out on the media chunk stream with a header of its own: the media
    // writer's next header there must be a full one again.
    mediaWriter_.ForgetLastHeader();
    return WriteLocked(metadata);
}

void CConnection::RestartMedia() {
    std::lock_guard<std::mutex> lock(packMutex_);
    avcHeaderSent_ = 0;
    aacHeaderCountdown_ = 0;
}

void CConnection::SetStreamOut(StreamOutFn video, StreamOutFn audio, void* user) {
    std::lock_guard<std::mutex> lock(slotMutex_);
    streamOut_ = StreamOutSlots{video, audio, user};
}

void CConnection::SetCallBack(CallBackFn callback, void* user) {
    std::lock_guard<std::mutex> lock(slotMutex_);
    callBack_ = CallBackSlot{callback, user};
}

CConnection::StreamOutSlots CConnection::StreamOut() const {
    std::lock_guard<std::mutex> lock(slotMutex_);
    return streamOut_;
}

bool CConnection::WantsVideo() const {
    return StreamOut().video != nullptr;
}

bool CConnection::WantsAudio() const {
    return StreamOut().audio != nullptr;
}

void CConnection::InstallHook(ResultHookFn hook, ResultWaiter* waiter) {
    std::lock_guard<std::mutex> lock(hookMutex_);
    hook_ = hook;
    waiter_ = waiter;
    replyTaken_ = false;
    if (ended_ && waiter != nullptr) {
        waiter->ok.store(0);
        waiter->done.store(1);
    }
}

}  // namespace rtmp
