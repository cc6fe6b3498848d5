// A loopback TCP proxy passing a limited byte rate from its clients to a target port in short
// bursts, like a slow line (answers come back unlimited; a small receive window makes the sender
// feel the limit). The line can be cut for the connections open now, or for good.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/platform/test_socket.h"

namespace rtmp::test {

class ThrottleProxy {
  public:
    // kSilent: nothing passes either way, both ends left open (a dead line). kHalfClose: the
    // client sees a close while the server side still takes what it sends.
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
    int Accepted() const { return accepted_.load(); }
    // Bytes passed from the client to the target on the n-th connection accepted (from 0).
    int64_t PassedUp(int n);

  private:
    struct Link {
        Socket client = kNoSocket, server = kNoSocket;
        std::atomic<int64_t> up{0};
        std::atomic<bool> frozen{false}, reset{false}, halfClosed{false};
        std::atomic<int> forwarders{2};
    };
    void AcceptLoop();
    // Passes bytes until either side ends (at the set rate when `up`), then shuts both down.
    void Forward(Link& link, bool up);

    uint16_t targetPort_, port_ = 0;
    Socket listener_ = kNoSocket;
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
