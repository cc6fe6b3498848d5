// The connection's receive thread and its reactions to what the decoder reports.
#include <atomic>
#include <cstring>
#include <thread>
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
    receiveId_.store(std::this_thread::get_id());
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
    // Whatever ended the loop, the server learns at once that this session is over: a server
    // that still held it would keep the stream name and refuse the next publish.
    socket_.Shutdown();
    // Nothing answers a waiting call any more.
    EndWaits();
}

void CConnection::HandleBlock(ByteBuffer& block) {
    bytesIn_ += static_cast<uint32_t>(block.Remaining());
    decoder_.DecodeReciveUnite(receiveContext_, block);
    if (bytesIn_ >= nextAck_) {
        lastAck_ = bytesIn_;
        nextAck_ += ackWindow_;
        if (nextAck_ <= bytesIn_)
            nextAck_ = bytesIn_ + ackWindow_;  // a block larger than the window
        SendBytesRead(bytesIn_);
        log::ShowFMT("Send BytesRead=%u(Byte)", bytesIn_);
        if (bytesIn_ > kAckWrap) {
            bytesIn_ = 0;
            lastAck_ = 0;
            nextAck_ = ackWindow_;
        }
    }
}

void CConnection::OnWindowAckSize(uint32_t size) {
    if (size == 0)
        return;  // would acknowledge every block; keep the window in force
    ackWindow_ = size;
    nextAck_ = lastAck_ + size;
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
    CallBackSlot slot;
    {
        std::lock_guard<std::mutex> lock(slotMutex_);
        slot = callBack_;
    }
    if (slot.fn == nullptr)
        return;
    try {
        slot.fn(slot.user, text, length);
    } catch (...) {
        log::ShowText("CConnection::CallBack() Erro");
    }
}

void CConnection::OnReply(ReplyKind kind, int64_t transactionId) {
    std::lock_guard<std::mutex> lock(hookMutex_);
    const bool waited = hook_ != nullptr && waiter_ != nullptr && !ended_;
    replyTaken_ = waited && (kind == ReplyKind::kStatus ? waiter_->takesStatus
                                                        : waiter_->transactionId == transactionId);
    if (!replyTaken_) {
        log::ShowFMT("Answer nobody waits for dropped: %s, id %lld",
                     kind == ReplyKind::kStatus  ? "onStatus"
                     : kind == ReplyKind::kError ? "_error"
                                                 : "_result",
                     static_cast<long long>(transactionId));
    }
}

void CConnection::OnResultLine(const char* line, int length) {
    std::lock_guard<std::mutex> lock(hookMutex_);
    if (hook_ == nullptr || ended_ || !replyTaken_)
        return;
    try {
        hook_(waiter_, line, length);
    } catch (...) {
        log::ShowText("CConnection::CallBack() Erro");
    }
}

namespace {

void DeliverMedia(StreamOutFn fn, void* user, const uint8_t* data, int length, uint32_t ts) {
    if (fn == nullptr)
        return;
    try {
        fn(user, data, length, static_cast<int>(ts));
    } catch (...) {
        log::ShowText("CConnection::CallBack() Erro");
    }
}

}  // namespace

void CConnection::OnVideo(const uint8_t* data, int length, uint32_t ts) {
    const StreamOutSlots slots = StreamOut();
    DeliverMedia(slots.video, slots.user, data, length, ts);
}

void CConnection::OnAudio(const uint8_t* data, int length, uint32_t ts) {
    const StreamOutSlots slots = StreamOut();
    DeliverMedia(slots.audio, slots.user, data, length, ts);
}

}  // namespace rtmp
