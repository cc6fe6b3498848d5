#include "support/throttle_proxy.h"

#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace rtmp::test {
namespace {

using Clock = std::chrono::steady_clock;

// Small enough that a sender's bytes wait in its own socket, not in the proxy.
constexpr int kClientReceiveBuffer = 8192;
constexpr int kPollMs = 10;
constexpr size_t kChunk = 4096;

}  // namespace

struct ThrottleProxy::Pair {
    int client = -1;
    int server = -1;
    std::thread thread;
};

ThrottleProxy::ThrottleProxy(uint16_t targetPort) : targetPort_(targetPort) {}

ThrottleProxy::~ThrottleProxy() {
    stop_.store(true);
    if (acceptThread_.joinable())
        acceptThread_.join();
    std::vector<std::unique_ptr<Pair>> pairs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pairs.swap(pairs_);
        for (int fd : silentFds_)
            ::close(fd);
        silentFds_.clear();
    }
    for (auto& p : pairs) {
        if (p->thread.joinable())
            p->thread.join();
    }
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

bool ThrottleProxy::Start() {
    listenFd_ = ListenOnLoopback(8, kClientReceiveBuffer, &port_);
    if (listenFd_ < 0)
        return false;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void ThrottleProxy::GoSilent() {
    silent_.store(true);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& p : pairs_) {
        ::shutdown(p->client, SHUT_RDWR);
        ::shutdown(p->server, SHUT_RDWR);
    }
}

void ThrottleProxy::AcceptLoop() {
    while (!stop_.load()) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0)
            continue;
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        accepted_.fetch_add(1);
        if (silent_.load()) {
            std::lock_guard<std::mutex> lock(mutex_);
            silentFds_.push_back(client);
            continue;
        }
        const int server = ConnectToLoopback(targetPort_);
        if (server < 0) {
            ::close(client);
            continue;
        }
        auto pair = std::make_unique<Pair>();
        pair->client = client;
        pair->server = server;
        Pair* raw = pair.get();
        std::lock_guard<std::mutex> lock(mutex_);
        pairs_.push_back(std::move(pair));
        raw->thread = std::thread([this, raw] { Pump(raw); });
    }
}

void ThrottleProxy::Pump(Pair* pair) {
    uint8_t buffer[kChunk];
    double tokens = 0;
    auto last = Clock::now();
    bool open = true;
    while (open && !stop_.load()) {
        const int64_t rate = rate_.load();
        const auto now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - last).count();
        last = now;
        // The bucket holds at most 20 ms of the rate: bursts stay short, as on a real line.
        const double capacity = std::max(1500.0, static_cast<double>(rate) / 50);
        tokens = rate > 0 ? std::min(capacity, tokens + seconds * static_cast<double>(rate)) : 0;
        const bool mayRead = rate <= 0 || tokens >= 1;
        pollfd p[2] = {{pair->client, static_cast<short>(mayRead ? POLLIN : 0), 0},
                       {pair->server, POLLIN, 0}};
        const int timeout = mayRead ? kPollMs : 1;
        if (::poll(p, 2, timeout) < 0 && errno != EINTR)
            break;
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && mayRead) {
            const size_t want = rate > 0 ? std::min(kChunk, static_cast<size_t>(tokens)) : kChunk;
            const ssize_t n = ::recv(pair->client, buffer, want, 0);
            if (n <= 0 || !SendAll(pair->server, buffer, static_cast<size_t>(n))) {
                open = false;
            } else {
                tokens -= static_cast<double>(n);
            }
        }
        if ((p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::recv(pair->server, buffer, sizeof buffer, 0);
            if (n <= 0 || !SendAll(pair->client, buffer, static_cast<size_t>(n)))
                open = false;
        }
    }
    ::shutdown(pair->client, SHUT_RDWR);
    ::shutdown(pair->server, SHUT_RDWR);
    std::lock_guard<std::mutex> lock(mutex_);
    ::close(pair->client);
    ::close(pair->server);
    pair->client = pair->server = -1;
}

}  // namespace rtmp::test
