// RTMP_SendStream throughput for 720p-sized video units into a loopback socket whose reader
// discards the bytes.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "stream/rtmp.h"
#include "support/discarding_server.h"

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

}  // namespace
