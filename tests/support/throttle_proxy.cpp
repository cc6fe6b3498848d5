#include "support/throttle_proxy.h"

#include <algorithm>
#include <chrono>

#include "support/loopback.h"

namespace rtmp::test {

constexpr int64_t kChunk = 4096;

ThrottleProxy::~ThrottleProxy() {
    stop_.store(true);  // ends the accept loop
    if (acceptThread_.joinable())
        acceptThread_.join();
    GoSilent();  // wakes every forwarder
    { std::lock_guard<std::mutex> lock(mutex_); }
    stopped_.notify_all();
    for (std::thread& t : forwards_)
        t.join();
    for (const auto& link : links_)
        for (const Socket s : {link->client, link->server})
            CloseSocket(s);
    CloseSocket(listener_);
}

bool ThrottleProxy::Start() {
    listener_ = ListenOnLoopback(8, 8192, &port_);
    if (listener_ != kNoSocket)
        acceptThread_ = std::thread([this] { AcceptLoop(); });
    return listener_ != kNoSocket;
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
            if (link->client != kNoSocket)
                ShutdownSocket(link->client, Direction::kSend);
            continue;
        }
        // No lingering: the last close resets; shutting the reading side wakes the forwarders.
        link->reset.store(true);
        for (const Socket s : {link->client, link->server})
            if (s != kNoSocket && ResetOnClose(s))
                ShutdownSocket(s, Direction::kReceive);
    }
}

void ThrottleProxy::GoSilent() {
    silent_.store(true);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& link : links_)
        for (const Socket s : {link->client, link->server})
            if (s != kNoSocket)
                ShutdownSocket(s, Direction::kBoth);
}

int64_t ThrottleProxy::PassedUp(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    return n >= 0 && static_cast<size_t>(n) < links_.size() ? links_[size_t(n)]->up.load() : 0;
}

void ThrottleProxy::AcceptLoop() {
    for (;;) {
        const Socket client = AcceptUntil(listener_, stop_);
        if (client == kNoSocket)
            break;  // stopped, or the listener failed
        // Under the lock, so that a cut either comes first or also ends this connection.
        std::lock_guard<std::mutex> lock(mutex_);
        const bool silent = silent_.load();
        auto& link = *links_.emplace_back(std::make_unique<Link>());
        link.client = client;
        link.server = silent ? kNoSocket : ConnectToLoopback(targetPort_);
        accepted_.fetch_add(1);
        if (link.server != kNoSocket) {
            forwards_.emplace_back([this, &link] { Forward(link, true); });
            forwards_.emplace_back([this, &link] { Forward(link, false); });
        } else if (!silent) {  // the target is gone: so is the connection
            ShutdownSocket(client, Direction::kBoth);
        }
    }
}

void ThrottleProxy::Forward(Link& link, bool up) {
    const Socket from = up ? link.client : link.server, to = up ? link.server : link.client;
    uint8_t buffer[kChunk];
    auto due = std::chrono::steady_clock::now();
    for (;;) {
        const int64_t rate = up ? rate_.load() : 0;
        // Bursts of at most 20 ms of the rate; the next read waits until these bytes are due.
        const int64_t want = rate > 0 ? std::clamp<int64_t>(rate / 50, 1, kChunk) : kChunk;
        // Windows' shutdown wakes no blocked receive: a cut or the end is looked for every 50 ms.
        int ready = 0;
        while ((ready = WaitReadable(from, 50)) == 0 && !link.reset.load() && !silent_.load()) {
        }
        if (ready < 0 || link.reset.load() || silent_.load())
            break;
        const std::ptrdiff_t n = ReceiveSome(from, buffer, static_cast<size_t>(want));
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
        ShutdownSocket(from, Direction::kBoth);
        ShutdownSocket(to, Direction::kBoth);
    }
    if (link.forwarders.fetch_sub(1) == 1 && !stop_.load()) {
        // The last of the pair closes, so that a reset is sent where one was asked for.
        std::lock_guard<std::mutex> lock(mutex_);
        for (Socket* s : {&link.client, &link.server}) {
            CloseSocket(*s);
            *s = kNoSocket;
        }
    }
}

}  // namespace rtmp::test
