// The connection's receive thread and its reactions to what the decoder reports.
#include <atomic>
#include <cstring>
#include <vector>

#include "client/commands.h"
#include "client/connection.h"
#include "log/log.h"
#include "wire/my_exception.h"

namespace rtmp {
namespace {
std::atomic<int> g_threadNumber{0};
}

void CConnection::ThreadReceive() {
    const int threadId = g_threadNumber.fetch_add(1);
    started_.store(true);
    log::ShowFMT("ThreadReceive().Start ThreadID=%d", threadId);
    ByteBuffer block(kReceiveBlock);
    while (running_.load() != 0) {
        try {
            // Received straight into the block the decoder reads.
            block.Allocate(kReceiveBlock);
            const long n = socket_.Receive(block.Data(), static_cast<size_t>(block.Capacity()));
            log::ShowFMT("ThreadID=%d,Recv=%ld(Byte),total=%u(KB)", threadId, n, bytesIn_ / 1024);
            if (n <= 0) {
                log::ShowFMT("ThreadReceive().Recv=%ld ThreadID=%d", n, threadId);
                break;
            }
            if (log::TrafficOn())
                log::DumpTcpRecv(block.Data(), static_cast<size_t>(n));
            block.SetLimit(static_cast<int>(n));
            HandleBlock(block);
        } catch (MyException code) {
            log::ShowFMT("Exception in ThreadReceive().code=%d ThreadID=%d", static_cast<int>(code),
                         threadId);
            break;
        } catch (const std::exception& e) {
            log::ShowFMT("Exception in ThreadReceive().code=%s ThreadID=%d", e.what(), threadId);
            break;
        }
    }
    log::ShowFMT("ThreadReceive.Stop() ThreadID=%d", threadId);
    running_.store(0);
    alive_.store(0);
}

void CConnection::HandleBlock(ByteBuffer& block) {
    bytesIn_ += static_cast<uint32_t>(block.Remaining());
    decoder_.DecodeReciveUnite(receiveContext_, block);
    if (bytesIn_ >= nextAck_) {
        nextAck_ += kAckWindow;
        SendBytesRead(bytesIn_);
        log::ShowFMT("Send BytesRead=%u(Byte)", bytesIn_);
        if (bytesIn_ > kAckWrap) {
            bytesIn_ = 0;
            nextAck_ = kAckWindow;
        }
    }
}

bool CConnection::SendControl(int type, ByteBuffer& body) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    mediaContext_.SetHeader(CS_CONTROL, type, 0, 0, body.Remaining());
    ByteBuffer out(ChunkedSizeBound(body.Remaining()));
    mediaWriter_.WriteMessage(mediaContext_, CS_CONTROL, out, body);
    return WriteLocked(out);
}

void CConnection::SendBytesRead(uint32_t count) {
    ByteBuffer body;
    body.PutInt32(count);
    body.Flip();
    SendControl(MSG_BYTES_READ, body);
}

void CConnection::OnPingRequest(PingMessage& answer) {
    SendControl(MSG_PING, answer);
    log::ShowText("Send PingServer");
}

void CConnection::OnCallBack(const char* text, int length) {
    const CallBackFn fn = callback_.load();
    if (fn == nullptr)
        return;
    try {
        fn(callbackUser_.load(), text, length);
    } catch (...) {
        log::ShowText("CConnection::CallBack() Erro");
    }
}

void CConnection::OnResultLine(const char* line, int length) {
    std::lock_guard<std::mutex> lock(hookMutex_);
    if (hook_ == nullptr)
        return;
    try {
        hook_(waiter_, line, length);
    } catch (...) {
        log::ShowText("CConnection::CallBack() Erro");
    }
}

void CConnection::OnVideo(const uint8_t* data, int length, uint32_t ts) {
    DeliverMedia(videoOut_.load(), data, length, ts);
}

void CConnection::OnAudio(const uint8_t* data, int length, uint32_t ts) {
    DeliverMedia(audioOut_.load(), data, length, ts);
}

void CConnection::DeliverMedia(StreamOutFn fn, const uint8_t* data, int length, uint32_t ts) {
    if (fn == nullptr)
        return;
    try {
        fn(streamUser_.load(), data, length, static_cast<int>(ts));
    } catch (...) {
        log::ShowText("CConnection::CallBack() Erro");
    }
}

}  // namespace rtmp
