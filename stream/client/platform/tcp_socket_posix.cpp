#include "client/platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace rtmp {
namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
}

bool SetNonBlocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

// How often a wait looks whether Shutdown was called (a shut-down socket normally wakes
// poll itself; this bounds the wait where it does not, e.g. during a connect).
constexpr int kWakeCheckMs = 50;

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

Clock::time_point DeadlineAfter(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// The first IPv4 address of host, as dotted text; empty when there is none.
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

// A name lookup on a thread of its own, which shares only this record: a lookup that outlives
// its caller's wait finishes without touching any socket, and its answer serves the next caller.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;         // guarded by mutex
    std::string address;           // guarded by mutex; empty: the name did not resolve
    Clock::time_point finishedAt;  // guarded by mutex
};

// How long an answer is used again before the name is looked up anew.
constexpr auto kLookupKept = std::chrono::seconds(60);

// The lookup of host in flight, a recent answer, or a new lookup. One lookup per name at a
// time, so that a slow resolver is waited for across attempts instead of asked again each time.
std::shared_ptr<Lookup> LookupFor(const std::string& host) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<Lookup>> lookups;  // guarded by mutex
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<Lookup>& slot = lookups[host];
    if (slot) {
        std::lock_guard<std::mutex> slotLock(slot->mutex);
        if (!slot->finished ||
            (!slot->address.empty() && Clock::now() - slot->finishedAt < kLookupKept))
            return slot;
    }
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host] {
            std::string address = LookUpIpv4(host);
            {
                std::lock_guard<std::mutex> done(lookup->mutex);
                lookup->finished = true;
                lookup->address = std::move(address);
                lookup->finishedAt = Clock::now();
            }
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        lookup->finished = true;  // no thread to be had: no address
        return lookup;
    }
    slot = lookup;
    return lookup;
}

bool IsDottedAddress(const std::string& host) {
    if (host.empty())
        return false;
    for (char c : host) {
        if (!((c >= '0' && c <= '9') || c == '.'))
            return false;
    }
    return true;
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

bool TcpSocket::WaitFor(int fd, short events, Clock::time_point deadline) const {
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

bool TcpSocket::StartTls(const std::string& host, const std::string& caFile, int timeoutMs,
                         ConnectFailure* failure) {
    const int fd = fd_.load();
    failure->kind = RTMP_ERROR_TLS;
    failure->text = "no TLS session with " + host + ": the connection ended";
    if (shut_.load())
        *failure = ConnectFailure{RTMP_ERROR_OTHER, "disconnected"};
    if (fd < 0 || shut_.load() || !SetNonBlocking(fd, true))
        return false;
    tls_ = TlsSession::Create(raw_, host, caFile, failure);
    if (!tls_)
        return false;
    const auto deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        const TlsSession::Step step = tls_->Handshake(failure);
        if (step == TlsSession::Step::kDone)
            return true;
        // A Disconnect says nothing about the server, also when it broke the handshake.
        if (shut_.load()) {
            *failure = ConnectFailure{RTMP_ERROR_OTHER, "disconnected"};
            return false;
        }
        if (step != TlsSession::Step::kWantRead && step != TlsSession::Step::kWantWrite)
            return false;
        if (!WaitForTls(step, deadline)) {
            // A Disconnect says nothing about the server.
            *failure = shut_.load() ? ConnectFailure{RTMP_ERROR_OTHER, "disconnected"}
                                    : ConnectFailure{RTMP_ERROR_TLS,
                                                     "no TLS session with " + host +
                                                         ": the server did not answer in time "
                                                         "(is it an RTMPS port?)"};
            return false;
        }
    }
}

long TcpSocket::TlsReceive(void* data, size_t length, Clock::time_point deadline) {
    for (;;) {
        if (shut_.load())
            return -1;
        const TlsSession::Result r = tls_->Read(data, length);
        switch (r.step) {
            case TlsSession::Step::kDone:
                return static_cast<long>(r.bytes);
            case TlsSession::Step::kClosed:
                return 0;
            case TlsSession::Step::kWantRead:
            case TlsSession::Step::kWantWrite:
                if (!WaitForTls(r.step, deadline))
                    return -1;
                break;
            default:
                return -1;
        }
    }
}

std::string TcpSocket::Resolve(const std::string& host, int timeoutMs) {
    if (IsDottedAddress(host))
        return host;
    const std::shared_ptr<Lookup> lookup = LookupFor(host);
    const auto deadline = DeadlineAfter(timeoutMs);
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->finished && !shut_.load() && Clock::now() < deadline) {
        lookup->done.wait_until(lock, std::min(deadline, DeadlineAfter(kWakeCheckMs)));
    }
    return lookup->finished && !shut_.load() ? lookup->address : std::string();
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
        if (!WaitFor(fd, POLLOUT, deadline))
            return false;
        int error = 0;
        socklen_t len = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
            return false;
    }
    return SetNonBlocking(fd, false);
}

bool TcpSocket::SendAll(const void* data, size_t length, int timeoutMs) {
    const int fd = fd_.load();
    if (fd < 0)
        return false;
    const auto* p = static_cast<const uint8_t*>(data);
    const auto deadline = DeadlineAfter(timeoutMs);
    while (length > 0 && tls_) {
        if (shut_.load())
            return false;
        const TlsSession::Result r = tls_->Write(p, length);
        if (r.step == TlsSession::Step::kDone) {
            p += r.bytes;
            length -= r.bytes;
        } else if (r.step != TlsSession::Step::kWantRead &&
                   r.step != TlsSession::Step::kWantWrite) {
            return false;
        } else if (!WaitForTls(r.step, deadline)) {
            return false;
        }
    }
    while (length > 0) {
        const ssize_t n = send(fd, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(fd, POLLOUT, deadline))
                return false;
            continue;
        }
        return false;
    }
    return true;
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

bool TcpSocket::ReceiveExactly(void* data, size_t length, int timeoutMs) {
    const int fd = fd_.load();
    if (fd < 0)
        return false;
    auto* p = static_cast<uint8_t*>(data);
    const auto deadline = DeadlineAfter(timeoutMs);
    while (length > 0 && tls_) {
        const long n = TlsReceive(p, length, deadline);
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    while (length > 0) {
        if (!WaitFor(fd, POLLIN, deadline))
            return false;
        const ssize_t n = recv(fd, p, length, MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            length -= static_cast<size_t>(n);
        } else if (n == 0) {
            return false;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
    return true;
}

void TcpSocket::Shutdown() noexcept {
    shut_.store(true);
    const int fd = fd_.load();
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

void TcpSocket::Close() noexcept {
    tls_.reset();
    const int fd = fd_.exchange(-1);
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}

}  // namespace rtmp
