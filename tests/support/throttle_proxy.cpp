#include "support/throttle_proxy.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "support/loopback.h"

namespace rtmp::test {
namespace {

// Small enough that a sender's bytes wait in its own socket, not in the proxy.
constexpr int kClientReceiveBuffer = 8192;
constexpr int kPollMs = 10;
constexpr size_t kChunk = 4096;

}  // namespace

ThrottleProxy::~ThrottleProxy() {
    stop_.store(true);
    if (acceptThread_.joinable())
        acceptThread_.join();
    for (std::thread& t : pumps_)
        t.join();
    for (const int fd : sockets_)
        ::close(fd);
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

bool ThrottleProxy::Start() {
    listenFd_ = ListenOnLoopback(8, kClientReceiveBuffer, &port_);
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
        pollfd p{listenFd_, POLLIN, 0};
        const int client =
            ::poll(&p, 1, kPollMs) > 0 ? ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (client < 0)
            continue;
        accepted_.fetch_add(1);
        const bool silent = silent_.load();
        const int server = silent ? -1 : ConnectToLoopback(targetPort_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!silent && server < 0) {  // the target is gone: so is the connection
            ::close(client);
            continue;
        }
        sockets_.push_back(client);
        if (!silent) {
            sockets_.push_back(server);
            pumps_.emplace_back([this, client, server] { Pump(client, server); });
        }
    }
}

void ThrottleProxy::Pump(int client, int server) {
    uint8_t buffer[kChunk];
    double tokens = 0;
    auto last = std::chrono::steady_clock::now();
    bool open = true;
    while (open && !stop_.load()) {
        const int64_t rate = rate_.load();
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - last).count();
        last = now;
        // The bucket holds at most 20 ms of the rate: bursts stay short, as on a real line.
        const double capacity = std::max(1500.0, static_cast<double>(rate) / 50);
        tokens = rate > 0 ? std::min(capacity, tokens + seconds * static_cast<double>(rate)) : 0;
        const bool mayRead = rate <= 0 || tokens >= 1;
        pollfd p[2] = {{client, static_cast<short>(mayRead ? POLLIN : 0), 0}, {server, POLLIN, 0}};
        if (::poll(p, 2, mayRead ? kPollMs : 1) < 0 && errno != EINTR)
            break;
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && mayRead) {
            const size_t want = rate > 0 ? std::min(kChunk, static_cast<size_t>(tokens)) : kChunk;
            const ssize_t n = ::recv(client, buffer, want, 0);
            open = n > 0 && SendAll(server, buffer, static_cast<size_t>(n));
            tokens -= static_cast<double>(n);
        }
        if ((p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
            open = open && n > 0 && SendAll(client, buffer, static_cast<size_t>(n));
        }
    }
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(server, SHUT_RDWR);
}

}  // namespace rtmp::test
