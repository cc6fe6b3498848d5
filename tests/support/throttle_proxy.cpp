#include "support/throttle_proxy.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "support/loopback.h"

namespace rtmp::test {

constexpr int64_t kChunk = 4096;

ThrottleProxy::~ThrottleProxy() {
    stop_.store(true);
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes the accept loop
    if (acceptThread_.joinable())
        acceptThread_.join();
    GoSilent();  // wakes every forwarder
    { std::lock_guard<std::mutex> lock(mutex_); }
    stopped_.notify_all();
    for (std::thread& t : forwards_)
        t.join();
    for (const auto& link : links_)
        for (const int fd : {link->client, link->server})
            if (fd >= 0)
                ::close(fd);
    ::close(listenFd_);
}

bool ThrottleProxy::Start() {
    listenFd_ = ListenOnLoopback(8, 8192, &port_);
    if (listenFd_ >= 0)
        acceptThread_ = std::thread([this] { AcceptLoop(); });
    return listenFd_ >= 0;
}

void ThrottleProxy::CutOpenConnections(Cut how) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& link : links_) {
        if (how == Cut::kSilent) {
            link->frozen.store(true);
            continue;
        }
        if (how == Cut::kHalfClose) {
            link->halfClosed.store(true);
            if (link->client >= 0)
                ::shutdown(link->client, SHUT_WR);
            continue;
        }
        // No lingering: the last close resets; shutting the reading side wakes the forwarders.
        const linger reset{1, 0};
        link->reset.store(true);
        for (const int fd : {link->client, link->server})
            if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) == 0)
                ::shutdown(fd, SHUT_RD);
    }
}

void ThrottleProxy::GoSilent() {
    silent_.store(true);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& link : links_)
        for (const int fd : {link->client, link->server})
            if (fd >= 0)
                ::shutdown(fd, SHUT_RDWR);
}

int64_t ThrottleProxy::PassedUp(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    return n >= 0 && static_cast<size_t>(n) < links_.size() ? links_[size_t(n)]->up.load() : 0;
}

void ThrottleProxy::AcceptLoop() {
    while (!stop_.load()) {
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (client < 0)
            break;  // the listener was shut down
        // Under the lock, so that a cut either comes first or also ends this connection.
        std::lock_guard<std::mutex> lock(mutex_);
        const bool silent = silent_.load();
        auto& link = *links_.emplace_back(std::make_unique<Link>());
        link.client = client;
        link.server = silent ? -1 : ConnectToLoopback(targetPort_);
        accepted_.fetch_add(1);
        if (link.server >= 0) {
            forwards_.emplace_back([this, &link] { Forward(link, true); });
            forwards_.emplace_back([this, &link] { Forward(link, false); });
        } else if (!silent) {  // the target is gone: so is the connection
            ::shutdown(client, SHUT_RDWR);
        }
    }
}

void ThrottleProxy::Forward(Link& link, bool up) {
    const int from = up ? link.client : link.server, to = up ? link.server : link.client;
    uint8_t buffer[kChunk];
    auto due = std::chrono::steady_clock::now();
    for (;;) {
        const int64_t rate = up ? rate_.load() : 0;
        // Bursts of at most 20 ms of the rate; the next read waits until these bytes are due.
        const int64_t want = rate > 0 ? std::clamp<int64_t>(rate / 50, 1, kChunk) : kChunk;
        const ssize_t n = ::recv(from, buffer, static_cast<size_t>(want), 0);
        if (link.frozen.load()) {
            // A dead line: nothing passes, not even a close.
            std::unique_lock<std::mutex> lock(mutex_);
            stopped_.wait(lock, [this] { return stop_.load(); });
            break;
        }
        if (n <= 0 || !SendAll(to, buffer, static_cast<size_t>(n)))
            break;
        if (up)
            link.up.fetch_add(n);
        if (rate > 0) {
            due = std::max(due, std::chrono::steady_clock::now()) +
                  std::chrono::microseconds(n * 1000000 / rate);
            std::this_thread::sleep_until(due);
        }
    }
    // A reset is sent by the close; a half-closed server side stays open until the client closes.
    if (!link.reset.load() && (up || !link.halfClosed.load())) {
        ::shutdown(from, SHUT_RDWR);
        ::shutdown(to, SHUT_RDWR);
    }
    if (link.forwarders.fetch_sub(1) == 1 && !stop_.load()) {
        // The last of the pair closes, so that a reset is sent where one was asked for.
        std::lock_guard<std::mutex> lock(mutex_);
        for (int* fd : {&link.client, &link.server}) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

}  // namespace rtmp::test
