// A loopback TCP proxy that passes a limited byte rate from its clients to a target port, in short
// bursts, like a slow line between a publisher and its server. Answers come back unlimited.
// The proxy's receive window is small, so a sender feels the limit as a real line makes it feel
// it rather than filling the proxy's buffers. The line can also be cut: for the connections open
// now only (reset; gone silent both ways with both ends left open, as a dead line leaves them;
// or closed towards the client only), or for good (every connection dropped and later ones never
// answered).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace rtmp::test {

class ThrottleProxy {
  public:
    // kHalfClose: the client is told the server closed, while the server's side stays open and
    // still takes what the client sends (a server that only shut its sending side).
    enum class Cut { kReset, kSilent, kHalfClose };

    explicit ThrottleProxy(uint16_t targetPort) : targetPort_(targetPort) {}
    ~ThrottleProxy();

    // Listens on a free loopback port; false when it cannot.
    bool Start();
    uint16_t Port() const { return port_; }
    // Bytes a second from clients to the target; 0 lifts the limit.
    void SetRate(int64_t bytesPerSecond) { rate_.store(bytesPerSecond); }
    // Cuts the connections open now; later ones pass as before.
    void CutOpenConnections(Cut how);
    // Closes every connection; later ones are accepted and left without an answer.
    void GoSilent();
    // Connections accepted so far.
    int Accepted() const { return accepted_.load(); }
    // Bytes passed from the client to the target on the n-th connection accepted (from 0).
    int64_t PassedUp(int n);

  private:
    struct Link {
        int client = -1, server = -1;
        std::atomic<int64_t> up{0};
        std::atomic<bool> frozen{false}, reset{false}, halfClosed{false};
        std::atomic<int> forwarders{2};
    };
    void AcceptLoop();
    // Passes bytes from one socket to the other until either side ends, at the set rate when
    // `up`; then shuts both down, or on a reset closes both with a reset.
    void Forward(Link& link, bool up);

    uint16_t targetPort_, port_ = 0;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false}, silent_{false};
    std::atomic<int64_t> rate_{0};
    std::atomic<int> accepted_{0};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::condition_variable stopped_;          // wakes the forwarders of a silent line
    std::deque<std::unique_ptr<Link>> links_;  // in accept order; guarded by mutex_
    std::vector<std::thread> forwards_;        // two per connection passed on; guarded by mutex_
};

}  // namespace rtmp::test
