// Throughput of the chunk layer: framing media bodies into 128-byte chunks, and joining a
// recorded stream of video messages back together (logging off).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "log/log.h"
#include "wire/chunk.h"
#include "wire/decoder_listener.h"
#include "wire/message_decoder.h"
#include "wire/ping_message.h"

namespace rtmp {
namespace {

// A body the size of a 720p inter frame, with the plain-video marker in front.
std::vector<uint8_t> MediaBody(int length) {
    std::vector<uint8_t> body(static_cast<size_t>(length));
    body[0] = 0x12;
    for (size_t i = 1; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(i * 31);
    return body;
}

void BM_FrameMediaMessage(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    const std::vector<uint8_t> bytes = MediaBody(length);
    ByteBuffer body(length);
    body.PutBytes(bytes.data(), length);
    body.Flip();
    RtmpContext context;
    ChunkWriter writer;
    ByteBuffer out(ChunkedSizeBound(length));
    for (auto _ : state) {
        body.SetPosition(0);
        out.Clear();
        context.SetHeader(4, MSG_VIDEO, 1, 40, length);
        writer.WriteMessage(context, 4, out, body);
        benchmark::DoNotOptimize(out.Data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
BENCHMARK(BM_FrameMediaMessage)->Arg(1024)->Arg(30 * 1024)->Arg(200 * 1024);

class CountingListener : public DecoderListener {
  public:
    void OnCallBack(const char*, int) override {}
    void OnResultLine(const char*, int) override {}
    void OnPingRequest(PingMessage&) override {}
    bool WantsVideo() const override { return true; }
    bool WantsAudio() const override { return true; }
    void OnVideo(const uint8_t* data, int length, uint32_t) override {
        bytes += length;
        benchmark::DoNotOptimize(data[0]);
    }
    void OnAudio(const uint8_t*, int length, uint32_t) override { bytes += length; }
    int64_t bytes = 0;
};

// 60 video messages of 30 KB (two seconds at 30 frames/s) as the writer puts them on the
// wire, read back in blocks of range(0) bytes.
void BM_DecodeVideoStream(benchmark::State& state) {
    constexpr int kMessages = 60;
    constexpr int kLength = 30 * 1024;
    const std::vector<uint8_t> bytes = MediaBody(kLength);
    RtmpContext sendContext;
    ChunkWriter writer;
    std::vector<uint8_t> wire;
    for (int i = 0; i < kMessages; ++i) {
        ByteBuffer body(kLength);
        body.PutBytes(bytes.data(), kLength);
        body.Flip();
        ByteBuffer out;
        sendContext.SetHeader(4, MSG_VIDEO, 1, 33, kLength);
        writer.WriteMessage(sendContext, 4, out, body);
        wire.insert(wire.end(), out.Current(), out.Current() + out.Remaining());
    }

    const int blockSize = static_cast<int>(state.range(0));
    std::vector<ByteBuffer> blocks;
    for (size_t at = 0; at < wire.size(); at += static_cast<size_t>(blockSize)) {
        const int n = static_cast<int>(std::min(wire.size() - at, static_cast<size_t>(blockSize)));
        ByteBuffer block(n);
        block.PutBytes(wire.data() + at, n);
        block.Flip();
        blocks.push_back(std::move(block));
    }

    if (log::LinesOn()) {
        state.SkipWithError("logging is switched on");
        return;
    }
    CountingListener listener;
    MessageDecoder decoder(&listener);
    RtmpContext context;
    for (auto _ : state) {
        for (ByteBuffer& block : blocks)
            decoder.DecodeReciveUnite(context, block);
    }
    if (listener.bytes != static_cast<int64_t>(state.iterations()) * kMessages * (kLength - 1))
        state.SkipWithError("decoded bytes differ from the bytes written");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(wire.size()));
}
BENCHMARK(BM_DecodeVideoStream)->Arg(1460)->Arg(4096)->Arg(65536);

}  // namespace
}  // namespace rtmp
