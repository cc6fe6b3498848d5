#include "support/throttle_proxy.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "support/loopback.h"

namespace rtmp::test {
namespace {

constexpr int64_t kChunk = 4096;

}  // namespace

ThrottleProxy::~ThrottleProxy() {
    stop_.store(true);
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes the accept loop
    if (acceptThread_.joinable())
        acceptThread_.join();
    GoSilent();  // wakes every forwarder
    for (std::thread& t : forwards_)
        t.join();
    for (const int fd : sockets_)
        ::close(fd);
    ::close(listenFd_);
}

bool ThrottleProxy::Start() {
    // A receive buffer small enough that a sender's bytes wait in its own socket, not here.
    listenFd_ = ListenOnLoopback(8, 8192, &port_);
    if (listenFd_ >= 0)
        acceptThread_ = std::thread([this] { AcceptLoop(); });
    return listenFd_ >= 0;
}

void ThrottleProxy::GoSilent() {
    silent_.store(true);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const int fd : sockets_)
        ::shutdown(fd, SHUT_RDWR);
}

void ThrottleProxy::AcceptLoop() {
    while (!stop_.load()) {
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (client < 0)
            break;  // the listener was shut down, or cannot accept any more
        accepted_.fetch_add(1);
        // Under the lock, so that a GoSilent either comes first or also ends this connection.
        std::lock_guard<std::mutex> lock(mutex_);
        const bool silent = silent_.load();
        const int server = silent ? -1 : ConnectToLoopback(targetPort_);
        sockets_.push_back(client);
        if (server >= 0) {
            sockets_.push_back(server);
            forwards_.emplace_back([this, client, server] { Forward(client, server, true); });
            forwards_.emplace_back([this, client, server] { Forward(server, client, false); });
        } else if (!silent) {  // the target is gone: so is the connection
            ::shutdown(client, SHUT_RDWR);
        }
    }
}

void ThrottleProxy::Forward(int from, int to, bool throttled) {
    uint8_t buffer[kChunk];
    auto due = std::chrono::steady_clock::now();
    for (;;) {
        const int64_t rate = throttled ? rate_.load() : 0;
        // Bursts of at most 20 ms of the rate, as on a real line; the next read waits until the
        // rate has carried these bytes.
        const int64_t want = rate > 0 ? std::clamp<int64_t>(rate / 50, 1, kChunk) : kChunk;
        const ssize_t n = ::recv(from, buffer, static_cast<size_t>(want), 0);
        if (n <= 0 || !SendAll(to, buffer, static_cast<size_t>(n)))
            break;
        if (rate > 0) {
            due = std::max(due, std::chrono::steady_clock::now()) +
                  std::chrono::microseconds(n * 1000000 / rate);
            std::this_thread::sleep_until(due);
        }
    }
    ::shutdown(from, SHUT_RDWR);
    ::shutdown(to, SHUT_RDWR);
}

}  // namespace rtmp::test
