// The silent-microphone watch: which samples are silence, how long the silence must last in sample
// frames, and what breaks it.
#include "capture/silence_watch.h"

#include <gtest/gtest.h>

#include <vector>

namespace capture {
namespace {

using Bytes = std::vector<uint8_t>;

// `frames` frames of `channels` little-endian samples, all `sample`.
Bytes Frames(int frames, int channels, int16_t sample) {
    Bytes block;
    for (int i = 0; i < frames * channels; ++i) {
        block.push_back(static_cast<uint8_t>(static_cast<uint16_t>(sample) & 0xFF));
        block.push_back(static_cast<uint8_t>(static_cast<uint16_t>(sample) >> 8));
    }
    return block;
}

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct WatchCase {
    const char* what;
    int bits;
    int channels;
    std::vector<Bytes> blocks;
    bool silent;
};

// One second at 1000 frames a second is the stretch in every case.
TEST(SilenceWatch, SilentOnlyAfterAWholeStretchOfQuietFrames) {
    const std::vector<WatchCase> cases = {
        {"one frame short", 16, 2, {Frames(600, 2, 0), Frames(399, 2, 0)}, false},
        {"the whole stretch", 16, 2, {Frames(600, 2, 0), Frames(400, 2, 0)}, true},
        {"mono", 16, 1, {Frames(999, 1, 0), Frames(1, 1, 0)}, true},
        {"at the quiet bound", 16, 2, {Frames(500, 2, 16), Frames(500, 2, -16)}, true},
        {"just over it", 16, 2, {Frames(500, 2, 16), Frames(500, 2, -17)}, false},
        {"loud last", 16, 2, {Frames(500, 2, 0), Join(Frames(499, 2, 0), {0, 0, 17, 0})}, false},
        {"loud high byte", 16, 2, {Frames(999, 2, 0), Join({0, 1, 0, 0}, Frames(1, 2, 0))}, false},
        {"loud, then a stretch", 16, 2, {Frames(10, 2, 9000), Frames(1000, 2, 3)}, true},
        {"a stretch, then loud", 16, 2, {Frames(1000, 2, 0), Frames(1, 2, 300)}, false},
        {"a broken frame is not counted", 16, 2, {Join(Frames(999, 2, 0), Bytes{0, 0})}, false},
        {"8-bit is never judged", 8, 2, {Frames(2000, 2, 0)}, false},
        {"nothing taken", 16, 2, {}, false},
    };
    for (const WatchCase& c : cases) {
        SilenceWatch watch;
        watch.Reset(1000, c.bits, c.channels, 1);
        for (const Bytes& block : c.blocks)
            watch.Take(block.data(), block.size());
        EXPECT_EQ(watch.Silent(), c.silent) << c.what;
        // A new start forgets the silence.
        watch.Reset(1000, c.bits, c.channels, 1);
        EXPECT_FALSE(watch.Silent()) << c.what;
    }
}

// The product's stretch is ten seconds of sound at the capture's rate.
TEST(SilenceWatch, TenSecondsByDefault) {
    SilenceWatch watch;
    watch.Reset(44100, 16, 2);
    const Bytes second = Frames(44100, 2, 0);
    for (int i = 0; i < 9; ++i)
        watch.Take(second.data(), second.size());
    watch.Take(second.data(), second.size() - 4);
    EXPECT_FALSE(watch.Silent());
    watch.Take(second.data(), 4);
    EXPECT_TRUE(watch.Silent());
}

}  // namespace
}  // namespace capture
