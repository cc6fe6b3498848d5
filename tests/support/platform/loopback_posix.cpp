// The loopback test sockets on POSIX systems.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "support/loopback.h"

namespace rtmp::test {
namespace {

bool SetIntOption(Socket socket, int level, int name, int value) {
    return ::setsockopt(socket, level, name, &value, sizeof value) == 0;
}

}  // namespace

Socket ListenOnLoopback(int backlog, int receiveBuffer, uint16_t* port) {
    // On failure bind fails too.
    const Socket fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (receiveBuffer > 0)
        SetReceiveBuffer(fd, receiveBuffer);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        CloseSocket(fd);
        return kNoSocket;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

Socket ConnectToLoopback(uint16_t port) {
    const Socket fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // else connect fails
    const sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
        return fd;
    CloseSocket(fd);
    return kNoSocket;
}

int WaitReadable(Socket socket, int timeoutMs) {
    pollfd p{socket, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    return ready > 0 && (p.revents & POLLNVAL) != 0 ? -1 : ready;
}

Socket Accept(Socket listener) {
    // Accepted sockets do not inherit the listener's O_NONBLOCK on Linux.
    Socket fd = kNoSocket;
    while ((fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) < 0 && errno == EINTR) {
    }
    return fd < 0 ? kNoSocket : fd;
}

bool SendAll(Socket socket, const uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(socket, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::ptrdiff_t ReceiveSome(Socket socket, uint8_t* buffer, std::size_t n) {
    ssize_t r = 0;
    while ((r = ::recv(socket, buffer, n, 0)) < 0 && errno == EINTR) {
    }
    return r;
}

void ShutdownSocket(Socket socket, Direction direction) {
    ::shutdown(socket, direction == Direction::kReceive ? SHUT_RD
                       : direction == Direction::kSend  ? SHUT_WR
                                                        : SHUT_RDWR);
}

bool CloseSocket(Socket socket) {
    return socket != kNoSocket && ::close(socket) == 0;
}

bool SetReceiveBuffer(Socket socket, int bytes) {
    return SetIntOption(socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool SetNoDelay(Socket socket) {
    return SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

bool ResetOnClose(Socket socket) {
    const linger reset{1, 0};
    return ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) == 0;
}

}  // namespace rtmp::test
