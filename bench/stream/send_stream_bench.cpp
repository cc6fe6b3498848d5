// RTMP_SendStream throughput for 720p-sized video units into a loopback socket whose reader
// discards the bytes; and the sending thread's CPU for a 1080p stream, plain and over TLS (an
// nginx TLS front, in a process of its own, in front of the same reader).
#include <benchmark/benchmark.h>

#include <time.h>

#include <string>
#include <vector>

#include "stream/rtmp.h"
#include "support/discarding_server.h"
#include "support/tls_front.h"

namespace {

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
    bench::DiscardingServer server;
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

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A 1080p broadcast at 4 Mbit/s: 25 units of 20 kB a second. core_share is the sending thread's
// CPU for one second of it, as a share of one core; compare with the encoder's CPU for one
// second of 1080p (ocelix_bench) for what TLS adds.
void BM_SendStream1080p(benchmark::State& state) {
    const bool tls = state.range(0) != 0;
    bench::DiscardingServer server;
    rtmp::test::TlsFront front;
    std::string url = server.Url();
    void* h = RTMP_Create();
    if (tls) {
        if (!front.Start(static_cast<uint16_t>(server.Port()))) {
            state.SkipWithError(front.Error().c_str());
            RTMP_Release(h);
            return;
        }
        url = front.Url(rtmp::test::CertKind::kGood, "localhost", "live", "bench");
        RTMP_SetTlsCaFile(h, front.Certificates().caFile.c_str());
    }
    if (RTMP_Connect(h, url.c_str()) != 1) {
        state.SkipWithError("connect failed");
        RTMP_Release(h);
        return;
    }
    const auto first = Unit({{0x67, 0x64, 0x00, 0x28, 0xAC}, {0x68, 0xEE, 0x3C}, {0x65, 1, 2, 3}});
    RTMP_SendStream(h, first.data(), static_cast<int>(first.size()), 0, RTMP_TYPE_VIDEO);
    std::vector<uint8_t> slice(20000);
    uint32_t x = 1;
    for (uint8_t& b : slice)
        b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    slice[0] = 0x41;
    const auto unit = Unit({slice});
    const double cpuStart = ThreadCpuSeconds();
    for (auto _ : state) {
        if (RTMP_SendStream(h, unit.data(), static_cast<int>(unit.size()), 40, RTMP_TYPE_VIDEO) !=
            1) {
            state.SkipWithError("send failed");
            break;
        }
    }
    const double cpu = ThreadCpuSeconds() - cpuStart;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(unit.size()));
    state.counters["core_share"] = cpu / static_cast<double>(state.iterations()) * 25;
    RTMP_Release(h);
}
BENCHMARK(BM_SendStream1080p)->ArgName("tls")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
