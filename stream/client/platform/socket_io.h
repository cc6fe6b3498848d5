// Raw, non-blocking sends and receives on one connected socket: what the TLS layer reads and
// writes its records through.
#pragma once

#include <cstddef>

namespace rtmp {

struct IoResult {
    long bytes = 0;           // > 0 moved; 0 with !wouldBlock: the peer closed (receive)
    bool wouldBlock = false;  // nothing moved now; try again when the socket is ready
    bool failed = false;      // the socket is broken
};

class SocketIo {
  public:
    virtual ~SocketIo() = default;
    virtual IoResult SendSome(const void* data, size_t length) = 0;
    virtual IoResult ReceiveSome(void* data, size_t length) = 0;
};

}  // namespace rtmp
