// One TCP socket: connect with a time limit, whole sends within a deadline, blocking receives
// that another thread can wake. A peer that stops answering is given up after about 20 s
// (keep-alive probes and a limit on unacknowledged data). After StartTls the same calls carry
// plain bytes through a TLS session, with the same deadlines and the same wake-up.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "client/connect_failure.h"
#include "client/platform/native_socket.h"
#include "client/platform/socket_io.h"
#include "client/platform/tls_session.h"

namespace rtmp {

class TcpSocket {
  public:
    TcpSocket() = default;
    ~TcpSocket() { Close(); }
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Dotted IPv4 text of host: the text itself when it is digits and dots, else the first
    // address the resolver gives within timeoutMs. Empty on failure, on time-out and once
    // Shutdown was called (which ends the wait at once). A resolver that takes longer is left
    // to finish on a thread of its own, and its answer serves the next call for the name.
    std::string Resolve(const std::string& host, int timeoutMs);

    // Connects to a dotted IPv4 address; false when not connected within timeoutMs.
    bool Connect(const std::string& address, int port, int timeoutMs);
    // Over the connected socket: the TLS handshake with `host` (name or dotted address) and the
    // check of its certificate, within timeoutMs. False with failure filled (which check failed)
    // on failure, time-out or Shutdown.
    bool StartTls(const std::string& host, const std::string& caFile, int timeoutMs,
                  ConnectFailure* failure);
    // Sends all bytes or fails: partial sends are continued until deadline. Never raises
    // SIGPIPE. Over TLS the bytes have also left the session's buffer when it returns, so that
    // the unsent limit below holds for them too.
    bool SendAll(const void* data, size_t length, int timeoutMs);
    // Receives up to length bytes, blocking. >0 bytes, 0 orderly close, <0 error or woken.
    long Receive(void* data, size_t length);
    // Receives exactly length bytes within timeoutMs; false on time-out, error or close.
    bool ReceiveExactly(void* data, size_t length, int timeoutMs);
    // Wakes a thread blocked in Receive, Connect, SendAll or ReceiveExactly, from any thread,
    // and makes every later call fail; the descriptor stays valid until Close.
    void Shutdown() noexcept;
    void Close() noexcept;
    bool IsOpen() const noexcept { return fd_.load() != kNoSocket; }

  private:
    using TimePoint = std::chrono::steady_clock::time_point;

    // The raw socket beneath the TLS session.
    class RawIo final : public SocketIo {
      public:
        explicit RawIo(const TcpSocket& socket) : socket_(socket) {}
        IoResult SendSome(const void* data, size_t length) override;
        IoResult ReceiveSome(void* data, size_t length) override;

      private:
        const TcpSocket& socket_;
    };

    // Waits until fd is ready for what, the deadline passed (false) or Shutdown (false).
    bool WaitFor(NativeSocket fd, SocketWait what, TimePoint deadline) const;
    // Waits for what a TLS step asked, at most one wake-up check long (another thread's TLS
    // call may take the bytes it waits for); false once the deadline passed or on Shutdown.
    bool WaitForTls(TlsSession::Step step, TimePoint deadline) const;
    long TlsReceive(void* data, size_t length, TimePoint deadline);

    std::atomic<NativeSocket> fd_{kNoSocket};
    std::atomic<bool> shut_{false};
    RawIo raw_{*this};
    std::unique_ptr<TlsSession> tls_;  // set by StartTls before other threads use the socket
};

}  // namespace rtmp
