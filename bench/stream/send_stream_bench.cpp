// RTMP_SendStream throughput for 720p-sized video units into a loopback socket whose reader
// discards the bytes.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "stream/rtmp.h"
#include "wire/chunk.h"

namespace {

bool ReadExactly(int fd, size_t n) {
    std::vector<uint8_t> buf(n);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = recv(fd, buf.data() + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// Accepts one client, shakes hands, accepts its connect, then discards everything.
class DiscardingServer {
  public:
    DiscardingServer() {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(listen_, 1);
        socklen_t len = sizeof sa;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~DiscardingServer() {
        shutdown(listen_, SHUT_RDWR);
        close(listen_);
        if (client_ >= 0)
            shutdown(client_, SHUT_RDWR);
        thread_.join();
        if (client_ >= 0)
            close(client_);
    }
    std::string Url() const { return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/bench"; }
    uint64_t Discarded() const { return discarded_.load(); }

  private:
    void Serve() {
        client_ = accept(listen_, nullptr, nullptr);
        if (client_ < 0 || !ReadExactly(client_, 1537))
            return;
        std::vector<uint8_t> hello(3073, 0);
        hello[0] = 3;
        send(client_, hello.data(), hello.size(), MSG_NOSIGNAL);
        if (!ReadExactly(client_, 1536))
            return;
        // The connect reply.
        rtmp::RtmpContext context;
        context.SetHeader(3, rtmp::MSG_INVOKE, 0);
        rtmp::RtmpPacket reply;
        reply.WriteString("_result");
        reply.WriteNumber(1);
        reply.WriteNull();
        reply.WriteObjectStart();
        reply.WriteStringProperty("level", "status");
        reply.WriteStringProperty("code", "NetConnection.Connect.Success");
        reply.WriteObjectEnd();
        reply.Finish(context, 3);
        send(client_, reply.Current(), static_cast<size_t>(reply.Remaining()), MSG_NOSIGNAL);
        std::vector<uint8_t> sink(1 << 16);
        for (;;) {
            const ssize_t r = recv(client_, sink.data(), sink.size(), 0);
            if (r <= 0)
                break;
            discarded_.fetch_add(static_cast<uint64_t>(r));
        }
    }
    int listen_ = -1;
    int client_ = -1;
    int port_ = 0;
    std::atomic<uint64_t> discarded_{0};
    std::thread thread_;
};

std::vector<uint8_t> Unit(std::initializer_list<std::vector<uint8_t>> nals) {
    std::vector<uint8_t> out;
    for (const auto& n : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), n.begin(), n.end());
    }
    return out;
}

void BM_SendStream720p(benchmark::State& state) {
    const size_t unitBytes = static_cast<size_t>(state.range(0));
    DiscardingServer server;
    void* h = RTMP_Create();
    if (RTMP_Connect(h, server.Url().c_str()) != 1) {
        state.SkipWithError("connect failed");
        RTMP_Release(h);
        return;
    }
    std::vector<uint8_t> slice(unitBytes, 0x5A);
    slice[0] = 0x41;
    const auto first = Unit({{0x67, 0x64, 0x00, 0x1F, 0xAC}, {0x68, 0xEE, 0x3C}, {0x65, 1, 2, 3}});
    RTMP_SendStream(h, first.data(), static_cast<int>(first.size()), 0, RTMP_TYPE_VIDEO);
    const auto unit = Unit({slice});
    for (auto _ : state) {
        if (RTMP_SendStream(h, unit.data(), static_cast<int>(unit.size()), 40, RTMP_TYPE_VIDEO) !=
            1) {
            state.SkipWithError("send failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(unit.size()));
    state.counters["messages_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    RTMP_Release(h);
}
// 720p units: a typical inter frame, a large key frame.
BENCHMARK(BM_SendStream720p)->Arg(30000)->Arg(150000)->UseRealTime();

}  // namespace
