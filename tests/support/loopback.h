// Loopback TCP sockets for the test servers and the proxy: listening, accepting, connecting,
// sending and receiving. The system's calls are in platform/loopback_*.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "support/platform/test_socket.h"

namespace rtmp::test {

// A socket listening on 127.0.0.1 at a free port (to *port), accepted sockets inheriting a
// receive buffer above 0; kNoSocket on failure. It never blocks: see Accept.
Socket ListenOnLoopback(int backlog, int receiveBuffer, uint16_t* port);
// A socket connected to 127.0.0.1:port, or kNoSocket.
Socket ConnectToLoopback(uint16_t port);

// Waits up to timeoutMs until `socket` has a connection to accept, bytes to read or an end:
// 1 when it has, 0 on time-out, -1 on error.
int WaitReadable(Socket socket, int timeoutMs);
// A connection waiting at a listener, as a blocking socket; kNoSocket when none waits.
Socket Accept(Socket listener);
// The next connection of a listener, looking every 50 ms whether `stop` was set: kNoSocket
// once it is, or when the listener failed.
Socket AcceptUntil(Socket listener, const std::atomic<bool>& stop);

// Sends all n bytes; false once the peer is gone (no SIGPIPE).
bool SendAll(Socket socket, const uint8_t* p, std::size_t n);
// Receives up to n bytes, blocking: the count, 0 when the peer closed, below 0 on error.
std::ptrdiff_t ReceiveSome(Socket socket, uint8_t* buffer, std::size_t n);

enum class Direction { kReceive, kSend, kBoth };
// Shuts down one or both directions; a thread blocked receiving on it wakes.
void ShutdownSocket(Socket socket, Direction direction);
// Closes it; false when it was not an open socket.
bool CloseSocket(Socket socket);

bool SetReceiveBuffer(Socket socket, int bytes);
// Each write leaves at once (no Nagle wait for the peer's delayed acknowledgement).
bool SetNoDelay(Socket socket);
// Its close resets the connection instead of ending it in order.
bool ResetOnClose(Socket socket);

}  // namespace rtmp::test
