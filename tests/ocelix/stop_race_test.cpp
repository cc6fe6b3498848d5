// Stop against reconnections in flight, with the real RTMP library and a real server: once
// OCELIX_Stop has returned, nothing of the broadcast reaches the server any more.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "encoder_instance.h"
#include "fakes.h"
#include "stream/client/scripted_peer.h"
#include "support/encoder_config.h"
#include "support/loopback.h"
#include "support/tls_front.h"

namespace ocelix::testing {
namespace {

using rtmp::test::Socket;
using namespace std::chrono_literals;

// A server that hangs up on every publisher right after its publish was answered, so that
// the watchdog is always reconnecting. Its answers come after a random pause of up to 3 ms,
// so that a stop meets the attempts at every step.
class HangUpServer {
  public:
    HangUpServer() : listener_(rtmp::test::ListenOnLoopback(64, 0, &port_)) {
        accepting_ = std::thread([this] {
            for (Socket s;
                 (s = rtmp::test::AcceptUntil(listener_, stop_)) != rtmp::test::kNoSocket;) {
                rtmp::test::SetNoDelay(
                    s);  // each answer at once, not after the client's delayed ack
                std::lock_guard<std::mutex> lock(mutex_);
                sessions_.emplace_back([this, s] { Serve(s); });
            }
        });
    }
    ~HangUpServer() {
        stop_.store(true);
        accepting_.join();
        for (std::thread& t : sessions_)
            t.join();
        rtmp::test::CloseSocket(listener_);
    }
    std::string Url() const { return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/race"; }
    uint16_t Port() const { return port_; }
    int Publishes() const { return publishes_.load(); }

  private:
    void Serve(Socket s) {
        testpeer::ScriptedPeer peer(s);
        std::minstd_rand random(static_cast<unsigned>(s));
        const auto pause = [&] { std::this_thread::sleep_for(random() % 3000 * 1us); };
        testpeer::Message connect, createStream, publish;
        pause();
        if (!peer.ServeHandshake() || !peer.ReadMessageOfType(20, &connect, 5000, "connect"))
            return;
        pause();
        if (!peer.SendInvoke(kit::Command("_result", double(testpeer::TransactionId(connect)),
                                          {{"code", "NetConnection.Connect.Success"}}))) {
            return;
        }
        pause();
        if (peer.ServeStreamCommand("publish", testpeer::Answer::kSuccess, &createStream, &publish))
            publishes_.fetch_add(1);
    }  // hangs up

    uint16_t port_ = 0;  // set by the listener's making, below
    Socket listener_;
    std::atomic<bool> stop_{false};
    std::atomic<int> publishes_{0};
    std::mutex mutex_;
    std::vector<std::thread> sessions_;  // guarded by mutex_ until the accepting thread ended
    std::thread accepting_;
};

// The real RTMP library, which notes every call that could send something and that began or
// ended after `stopped` was set.
struct WatchedLayer final : RtmpLayer {
    void* Create() override { return real->Create(); }
    void Release(void* h) override { real->Release(h); }
    int Connect(void* h, const char* url) override {
        return Watch([&] { return real->Connect(h, url); });
    }
    int Publish(void* h, const char* mode) override {
        return Watch([&] { return real->Publish(h, mode); });
    }
    int GetState(void* h) override { return real->GetState(h); }
    int SendStream(void* h, const uint8_t* data, int length, int ts, int type) override {
        return Watch([&] { return real->SendStream(h, data, length, ts, type); });
    }
    int Disconnect(void* h) override { return real->Disconnect(h); }
    int SetTlsCaFile(void* h, const char* path) override { return real->SetTlsCaFile(h, path); }
    int LastConnectError(void* h) override { return real->LastConnectError(h); }
    void* CreateMetaData() override { return real->CreateMetaData(); }
    int AddMetaDataDouble(void* m, const char* name, double v) override {
        return real->AddMetaDataDouble(m, name, v);
    }
    int AddMetaDataString(void* m, const char* name, const char* v) override {
        return real->AddMetaDataString(m, name, v);
    }
    int ApplyMetaData(void* h, void* m) override {
        return Watch([&] { return real->ApplyMetaData(h, m); });
    }

    template <typename Call>
    int Watch(Call&& call) {
        const bool before = stopped.load();
        const int result = call();
        if (before || stopped.load())
            afterStop.fetch_add(1);
        return result;
    }

    std::unique_ptr<RtmpLayer> real = MakeStreamRtmpLayer();
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};
};

// Each round starts a broadcast to the hanging-up server, whose watchdog looks every 5 ms and
// gives an attempt 40 ms, and stops it at a random moment; some attempts are in flight then,
// and some were given up on but may still run. Plain and through a TLS front, where a stop also
// meets TLS handshakes, reads and writes.
TEST(StopRace, NothingReachesTheServerAfterStopReturned) {
    HangUpServer server;
    rtmp::test::TlsFront front;
    ASSERT_TRUE(front.Start(server.Port())) << front.Error();
    std::minstd_rand random(7);
    EncoderRecord codecs;
    constexpr int kRounds = 40;
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "rtmps" : "rtmp");
        const std::string url =
            tls ? front.Url(rtmp::test::CertKind::kGood, "localhost", "live", "race")
                : server.Url();
        const int publishesBefore = server.Publishes();
        int started = 0;
        std::vector<std::shared_ptr<WatchedLayer>> layers;
        for (int round = 0; round < kRounds; ++round) {
            auto layer = std::make_shared<WatchedLayer>();
            Backends b{layer,
                       MakeSteadyTickClock(),
                       std::make_unique<FakeVideo>(&codecs),
                       std::make_unique<FakeAudio>(&codecs),
                       false,
                       5,
                       40};
            auto e = std::make_unique<CEncoderInstance>(
                rtmp::test::MakeEncoderConfig(url, 4, 2, 25, 44100), std::move(b));
            e->SetTlsCaFile(front.Certificates().caFile.string().c_str());
            started += e->Start();
            // Where the stop meets the watchdog: a session (with its metadata) takes about 60 ms.
            std::this_thread::sleep_for(random() % 150 * 1ms);
            EXPECT_EQ(e->Stop(), 1);
            layer->stopped.store(true);
            e.reset();
            layers.push_back(layer);
        }
        // Also what an attempt that outlived its stop would have done since.
        for (size_t round = 0; round < layers.size(); ++round)
            EXPECT_EQ(layers[round]->afterStop.load(), 0) << "round " << round;
        EXPECT_GT(started, kRounds * 9 / 10);
        EXPECT_GT(server.Publishes() - publishesBefore, 2 * kRounds)
            << "the watchdog published again and again";
    }
}

}  // namespace
}  // namespace ocelix::testing
