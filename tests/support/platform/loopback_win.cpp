// The loopback test sockets on Windows (Winsock 2, started at the first socket and never
// cleaned up). Sockets are not inherited by child processes.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <type_traits>

#include "support/loopback.h"

namespace rtmp::test {
namespace {

static_assert(std::is_same_v<Socket, SOCKET>);

bool WinsockReady() {
    static const bool ready = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

Socket OpenTcpSocket() {
    if (!WinsockReady())
        return kNoSocket;
    // Windows before 7 SP1 refuses the flag: the handle is kept from children afterwards.
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET)
            SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return s;
}

bool SetBlocking(Socket socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

bool SetIntOption(Socket socket, int level, int name, int value) {
    return setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value) ==
           0;
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

Socket ListenOnLoopback(int backlog, int receiveBuffer, uint16_t* port) {
    const Socket s = OpenTcpSocket();  // on failure bind fails too
    if (receiveBuffer > 0)
        SetReceiveBuffer(s, receiveBuffer);
    sockaddr_in a = Loopback(0);
    int len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(s, backlog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 || !SetBlocking(s, false)) {
        CloseSocket(s);
        return kNoSocket;
    }
    *port = ntohs(a.sin_port);
    return s;
}

Socket ConnectToLoopback(uint16_t port) {
    const Socket s = OpenTcpSocket();  // else connect fails
    const sockaddr_in a = Loopback(port);
    if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
        return s;
    CloseSocket(s);
    return kNoSocket;
}

int WaitReadable(Socket socket, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval limit{timeoutMs / 1000, timeoutMs % 1000 * 1000};
    const int ready = select(0, &readable, nullptr, nullptr, &limit);
    return ready == SOCKET_ERROR ? -1 : ready;
}

Socket Accept(Socket listener) {
    const Socket s = accept(listener, nullptr, nullptr);
    // Accepted sockets inherit the listener's non-blocking mode, and its handle's inheritance.
    if (s != INVALID_SOCKET && !SetBlocking(s, true)) {
        CloseSocket(s);
        return kNoSocket;
    }
    return s;
}

bool SendAll(Socket socket, const uint8_t* p, std::size_t n) {
    while (n > 0) {
        const int w = send(socket, reinterpret_cast<const char*>(p),
                           static_cast<int>(std::min<std::size_t>(n, INT_MAX)), 0);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::ptrdiff_t ReceiveSome(Socket socket, uint8_t* buffer, std::size_t n) {
    return recv(socket, reinterpret_cast<char*>(buffer),
                static_cast<int>(std::min<std::size_t>(n, INT_MAX)), 0);
}

void ShutdownSocket(Socket socket, Direction direction) {
    shutdown(socket, direction == Direction::kReceive ? SD_RECEIVE
                     : direction == Direction::kSend  ? SD_SEND
                                                      : SD_BOTH);
}

bool CloseSocket(Socket socket) {
    return socket != kNoSocket && closesocket(socket) == 0;
}

bool SetReceiveBuffer(Socket socket, int bytes) {
    return SetIntOption(socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool SetNoDelay(Socket socket) {
    return SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

bool ResetOnClose(Socket socket) {
    linger reset{};
    reset.l_onoff = 1;
    reset.l_linger = 0;
    return setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
                      sizeof reset) == 0;
}

}  // namespace rtmp::test
