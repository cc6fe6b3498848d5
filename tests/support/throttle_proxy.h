// A loopback TCP proxy that passes a limited byte rate from its clients to a target port, in short
// bursts, like a slow line between a publisher and its server. Answers come back unlimited.
// The proxy's receive window is small, so a sender feels the limit as a real line makes it feel
// it rather than filling the proxy's buffers. It can also go silent: drop every connection and
// from then on accept new ones without ever answering.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace rtmp::test {

class ThrottleProxy {
  public:
    explicit ThrottleProxy(uint16_t targetPort) : targetPort_(targetPort) {}
    ~ThrottleProxy();

    // Listens on a free loopback port; false when it cannot.
    bool Start();
    uint16_t Port() const { return port_; }
    // Bytes a second from clients to the target; 0 lifts the limit.
    void SetRate(int64_t bytesPerSecond) { rate_.store(bytesPerSecond); }
    // Closes every connection; later ones are accepted and left without an answer.
    void GoSilent();
    // Connections accepted so far.
    int Accepted() const { return accepted_.load(); }

  private:
    void AcceptLoop();
    // Passes bytes from one socket to the other until either side ends, at the set rate when
    // `throttled`; then shuts both down.
    void Forward(int from, int to, bool throttled);

    uint16_t targetPort_, port_ = 0;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false}, silent_{false};
    std::atomic<int64_t> rate_{0};
    std::atomic<int> accepted_{0};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<int> sockets_;           // every accepted and connected one; guarded by mutex_
    std::vector<std::thread> forwards_;  // two per connection passed on; guarded by mutex_
};

}  // namespace rtmp::test
