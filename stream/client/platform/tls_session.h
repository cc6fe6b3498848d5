// The client side of one TLS connection over a socket, with the server's certificate checked:
// the chain against the system's trust store (and a CA file, when one is given), the host name
// or IP address, and the validity dates. Every operation is non-blocking: it says whether it
// must wait for the socket to become readable or writable, and the caller waits and asks again.
// One thread may read while another writes; the session serialises them.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "client/connect_failure.h"
#include "client/platform/socket_io.h"

namespace rtmp {

class TlsSession {
  public:
    enum class Step { kDone, kWantRead, kWantWrite, kClosed, kFailed };
    struct Result {
        Step step = Step::kFailed;
        size_t bytes = 0;  // moved, with kDone
    };

    // Prepares a session to `host` (a name or a dotted address) over io, which must outlive
    // it. caFile: a PEM file of authorities trusted besides the system's; empty for none.
    // Null, with failure filled, when the CA file cannot be used or TLS cannot be set up.
    static std::unique_ptr<TlsSession> Create(SocketIo& io, const std::string& host,
                                              const std::string& caFile, ConnectFailure* failure);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // One step of the handshake; kDone once the server is proven to be `host`. On kFailed,
    // failure says which check failed.
    Step Handshake(ConnectFailure* failure);
    // Up to length plain bytes. kClosed: the server ended the session.
    Result Read(void* data, size_t length);
    // Some of the bytes, whole records only: bytes that have left the session for the socket.
    // After kWantWrite the same bytes must be offered again (nothing of them counts as sent).
    Result Write(const void* data, size_t length);

  private:
    struct Native;
    explicit TlsSession(std::unique_ptr<Native> native);

    std::mutex mutex_;  // one OpenSSL call at a time
    std::unique_ptr<Native> native_;
};

}  // namespace rtmp
