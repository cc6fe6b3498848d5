#include "client/platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "client/platform/tcp_socket_shared.h"

namespace rtmp {

namespace socket_shared {

bool SetNonBlocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

std::string LookUpIpv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    const auto* sin = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    const bool ok = inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr;
    freeaddrinfo(result);
    return ok ? std::string(text) : std::string();
}

bool RunDetached(std::function<void()> job) {
    try {
        std::thread(std::move(job)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace socket_shared

namespace {

using socket_shared::Clock;
using socket_shared::DeadlineAfter;
using socket_shared::kWakeCheckMs;
using socket_shared::MillisLeft;
using socket_shared::SetNonBlocking;

// A dead peer is given up after about 20 s: keep-alive probes after 5 s of silence, three
// more 5 s apart, and no sent data left unacknowledged for longer than 20 s.
constexpr int kKeepIdleSeconds = 5;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 20000;

void WatchForDeadPeer(int fd) {
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
#ifdef TCP_KEEPIDLE
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
#endif
#ifdef TCP_USER_TIMEOUT
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
#endif
}

}  // namespace

IoResult TcpSocket::RawIo::SendSome(const void* data, size_t length) {
    for (;;) {
        const ssize_t n = send(socket_.fd_.load(), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return {static_cast<long>(n), false, false};
        if (errno == EINTR)
            continue;
        const bool again = errno == EAGAIN || errno == EWOULDBLOCK;
        return {0, again, !again};
    }
}

IoResult TcpSocket::RawIo::ReceiveSome(void* data, size_t length) {
    for (;;) {
        const ssize_t n = recv(socket_.fd_.load(), data, length, MSG_DONTWAIT);
        if (n >= 0)
            return {static_cast<long>(n), false, false};
        if (errno == EINTR)
            continue;
        const bool again = errno == EAGAIN || errno == EWOULDBLOCK;
        return {0, again, !again};
    }
}

bool TcpSocket::WaitFor(int fd, SocketWait what, Clock::time_point deadline) const {
    const short events = what == SocketWait::kWritable ? POLLOUT : POLLIN;
    for (;;) {
        if (shut_.load())
            return false;
        const int left = MillisLeft(deadline);
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, left < kWakeCheckMs ? left : kWakeCheckMs);
        if (r > 0)
            return !shut_.load();
        if (r == 0 && left <= kWakeCheckMs)
            return false;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

bool TcpSocket::WaitForTls(TlsSession::Step step, Clock::time_point deadline) const {
    const int fd = fd_.load();
    if (fd < 0 || shut_.load() || Clock::now() >= deadline)
        return false;
    const short events = step == TlsSession::Step::kWantWrite ? POLLOUT : POLLIN;
    pollfd p{fd, events, 0};
    const int left = MillisLeft(deadline);
    const int r = poll(&p, 1, left < kWakeCheckMs ? left : kWakeCheckMs);
    return (r >= 0 || errno == EINTR) && !shut_.load();
}

bool TcpSocket::Connect(const std::string& address, int port, int timeoutMs) {
    Close();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
        return false;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    fd_.store(fd);
    if (shut_.load())
        return false;  // Shutdown came before there was a descriptor to shut down
    const int size = 65536;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Little unsent data may wait in the kernel: on a slow line a send then takes as long as
    // the line needs, and the caller sees the line's pace within a fraction of a second instead
    // of after seconds of buffered media.
    const int unsentLimit = 16384;
    setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsentLimit, sizeof unsentLimit);
    WatchForDeadPeer(fd);
    if (!SetNonBlocking(fd, true))
        return false;
    const auto deadline = DeadlineAfter(timeoutMs);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS)
            return false;
        if (!WaitFor(fd, SocketWait::kWritable, deadline))
            return false;
        int error = 0;
        socklen_t len = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
            return false;
    }
    return SetNonBlocking(fd, false);
}

long TcpSocket::Receive(void* data, size_t length) {
    const int fd = fd_.load();
    if (fd < 0 || shut_.load())
        return -1;
    if (tls_)
        return TlsReceive(data, length, Clock::time_point::max());
    for (;;) {
        const ssize_t n = recv(fd, data, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

void TcpSocket::Shutdown() noexcept {
    shut_.store(true);
    const int fd = fd_.load();
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

void TcpSocket::Close() noexcept {
    tls_.reset();
    const int fd = fd_.exchange(kNoSocket);
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}

}  // namespace rtmp
