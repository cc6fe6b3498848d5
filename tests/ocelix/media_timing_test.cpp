// The pieces of the media clock on their own: the frame timer, the audio sample clock, the
// send queue's order and bounds, and the bit rate that follows the line.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <tuple>
#include <vector>

#include "audio_clock.h"
#include "basis/periodic_timer.h"
#include "bitrate_control.h"
#include "send_queue.h"

namespace ocelix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Records when each tick came; the first one may be held up to make the timer stall, and tries
// to stop the timer from within.
struct RecordingTimer final : basis::CMMTimer {
    ~RecordingTimer() override { StopTimer(); }
    std::vector<Clock::time_point> WaitFor(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return times.size() >= n; });
        return times;
    }
    void OnTimer() override {
        std::unique_lock<std::mutex> lock(mutex);
        if (times.empty()) {
            stopFromTick = StopTimer();
            std::this_thread::sleep_until(holdFirstTickUntil);  // the stall
        }
        times.push_back(Clock::now());
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Clock::time_point> times;
    Clock::time_point holdFirstTickUntil{};
    bool stopFromTick = true;
};

TEST(MMTimer, RateTicksNeverComeEarlyAndDoNotDrift) {
    RecordingTimer timer;
    const auto start = Clock::now();
    ASSERT_TRUE(timer.StartTimerRate(15));
    EXPECT_FALSE(timer.StartTimerRate(15));  // already running
    const auto times = timer.WaitFor(31);
    ASSERT_GE(times.size(), 31u);
    // Tick k is due k x 1000 / 15 ms after the start: a 66 ms interval would give tick 30 at
    // 1980 ms, a timer that sleeps one interval after each tick later and later.
    for (size_t k = 1; k <= 30; ++k)
        EXPECT_GE(times[k - 1] - start, std::chrono::microseconds(k * 1000000 / 15)) << k;
    EXPECT_FALSE(timer.stopFromTick);  // StopTimer from OnTimer itself refuses
    EXPECT_TRUE(timer.StopTimer());
    const size_t count = timer.WaitFor(0).size();
    EXPECT_FALSE(timer.TimerRunning());
    EXPECT_FALSE(timer.StopTimer());
    EXPECT_EQ(timer.WaitFor(0).size(), count);  // stopped means no tick after StopTimer returned
}

// A first tick (due after one period) that holds the timer thread until `holdMs`: a short
// stall is caught up tick by tick (tick `check` is the one due at check x period, not a tick of
// a clock restarted when the stall ended); a stall longer than the catch-up limit resumes from
// then without firing the stale ticks.
TEST(MMTimer, StallsAreCaughtUpOrSkippedByLength) {
    for (const auto& [periodMs, holdMs, check, minMs, maxMs] :
         {std::tuple{100, 600, size_t{7}, 700, 1100},
          std::tuple{20, 20 * 41, size_t{2}, 20 * 41, 60000}}) {
        SCOPED_TRACE(periodMs);
        RecordingTimer timer;
        const auto start = Clock::now();
        timer.holdFirstTickUntil = start + milliseconds(holdMs);
        ASSERT_TRUE(timer.StartTimer(static_cast<uint32_t>(periodMs)));
        const auto times = timer.WaitFor(check);
        ASSERT_GE(times.size(), check);
        EXPECT_GE(times[check - 1] - start, milliseconds(minMs));
        EXPECT_LT(times[check - 1] - start, milliseconds(maxMs));
    }
}

// Drift is followed in small steps; samples the card lost (1.5 s of them after an overrun)
// are skipped in one step once a window of blocks has shown it.
TEST(AudioClock, ASoundCardClockThatDriftsIsFollowedInSmallStepsAndLostSamplesInOne) {
    for (const auto& [drift, lostMs] : {std::pair(1.002, 0.0), {0.998, 0.0}, {1.0, 1500.0}}) {
        AudioClock clock(44100, 1024, 0);
        const double blockMs = 1024 * 1000.0 / 44100;
        const int jitter[] = {0, 4, 1, 9, 0, 2, 6, 0, 3, 1, 0};
        int64_t previous = 0;
        double error = 0;
        int jumps = 0;
        for (int b = 0; b < 2600; ++b) {  // one minute
            const double recordedAt = 1000 + b * blockMs * drift + (b >= 1000 ? lostMs : 0);
            clock.BlockArrived(std::llround(recordedAt + blockMs * drift) + jitter[b % 11]);
            const int64_t stamp = clock.NextFrameStamp();
            const double step = static_cast<double>(stamp - previous);
            if (b > 0 && lostMs > 0 && std::fabs(step - blockMs - lostMs) < 20) {
                ++jumps;
            } else if (b > 0) {  // step + rounding
                EXPECT_NEAR(step, blockMs, 3.2) << b;
            }
            previous = stamp;
            error = static_cast<double>(stamp) - recordedAt;
        }
        // Uncorrected, a minute of 0.2 % drift is 120 ms.
        EXPECT_LT(std::fabs(error), 8) << drift;
        EXPECT_EQ(jumps, lostMs > 0 ? 1 : 0);
    }
}

MediaPacket Packet(int type, int64_t stamp, bool key = false) {
    return {type, stamp, 0, key, std::vector<uint8_t>(10, static_cast<uint8_t>(stamp))};
}

// What the queue drops to: an access unit with an IDR slice (NAL type 5) in it.
TEST(SendQueue, AKeyFrameIsAnAccessUnitWithAnIdrSlice) {
    const std::pair<std::vector<uint8_t>, bool> units[] = {
        {{0, 0, 1, 0x65}, true},  // the shortest: a start code and the header
        {{0, 0, 0, 1, 0x67, 0x64, 0, 0, 0, 1, 0x68, 0xEE, 0, 0, 1, 0x65, 0x88}, true},
        {{0, 0, 1, 0x41, 0x9A, 0, 0, 1, 0x65}, true},
        {{0, 0, 1, 0x41, 0x65, 0x65}, false},  // the type is in the header only
        {{0, 0, 1}, false},
        {{0x65}, false},
    };
    for (const auto& [bytes, key] : units)
        EXPECT_EQ(IsKeyFrame(bytes.data(), static_cast<int>(bytes.size())), key) << bytes.size();
    EXPECT_FALSE(IsKeyFrame(nullptr, 4));
}

TEST(SendQueue, HandsOutInTimeOrderAndAudioWaitsForVideoOnlySoLong) {
    SendQueueLimits limits;
    limits.audioWaitMs = 80;
    limits.videoWaitMs = 56;
    SendQueue q(limits);
    MediaPacket out;
    int64_t wait = 0;
    q.Push(Packet(kAudioType, 100), 146);
    EXPECT_FALSE(q.Next(150, &out, &wait));  // video of an earlier time may still come
    EXPECT_EQ(wait, 76);
    q.Push(Packet(kVideoType, 90, true), 160);
    ASSERT_TRUE(q.Next(160, &out, &wait));
    EXPECT_EQ(out.stampMs, 90);
    EXPECT_FALSE(q.Next(160, &out, &wait));  // one in flight at a time
    q.Sent(true);
    // Audio alone, and its wait is over: it goes.
    ASSERT_TRUE(q.Next(226, &out, &wait));
    EXPECT_EQ(out.stampMs, 100);
    q.Sent(true);
    // Video alone waits for audio of an earlier time just as briefly.
    q.Push(Packet(kVideoType, 200), 240);
    EXPECT_FALSE(q.Next(250, &out, &wait));
    EXPECT_EQ(wait, 46);
    EXPECT_TRUE(q.Next(296, &out, &wait));
}

TEST(SendQueue, BeyondASecondVideoIsDroppedToTheNextKeyFrameAndTheOldestAudioGoes) {
    SendQueue q(SendQueueLimits{});
    MediaPacket out;
    int64_t wait = 0;
    std::vector<int64_t> audio, expected;
    q.Push(Packet(kVideoType, 0, true), 10);
    ASSERT_TRUE(q.Next(100, &out, &wait));     // in flight: the line is stuck
    for (int64_t t = 40; t <= 960; t += 40) {  // the last one pushed a second after the first
        EXPECT_TRUE(q.Push(Packet(kVideoType, t), t + 40));
        EXPECT_TRUE(q.Push(Packet(kAudioType, t), t + 40));
        expected.push_back(t);
    }
    EXPECT_EQ(q.DelayMs(1000), 1000);
    EXPECT_FALSE(q.TakeKeyRequest());
    // Over a second: the waiting video goes, audio stays within its second, and plain frames
    // are refused.
    EXPECT_FALSE(q.Push(Packet(kVideoType, 1000), 1010));
    EXPECT_TRUE(q.TakeKeyRequest());
    EXPECT_EQ(std::tuple(q.Dropped(), q.HeldPackets(), q.HeldBytes()), std::tuple(25u, 24u, 240));
    EXPECT_FALSE(q.Push(Packet(kVideoType, 1040), 1050));  // and the audio of 40 ms goes
    EXPECT_FALSE(q.TakeKeyRequest());                      // one request per episode
    EXPECT_EQ(std::tuple(q.Dropped(), q.HeldPackets(), q.HeldBytes()), std::tuple(27u, 23u, 230));
    EXPECT_EQ(q.LossEpisodes(), 1u);
    q.Sent(true);
    // The line moves again: the audio leaves in order, from the newest second on.
    for (; q.Next(1100, &out, &wait); q.Sent(true))
        audio.push_back(out.type == kAudioType ? out.stampMs : -1);
    expected.erase(expected.begin(), expected.begin() + 2);  // 80 ms is 1020 ms old by now
    EXPECT_EQ(audio, expected);
    EXPECT_EQ(std::tuple(q.Dropped(), q.HeldPackets(), q.HeldBytes()), std::tuple(28u, 0u, 0));
    // Video resumes with the key frame asked for.
    EXPECT_TRUE(q.Push(Packet(kVideoType, 1120, true), 1130));
    EXPECT_TRUE(q.Push(Packet(kVideoType, 1160), 1170));
    ASSERT_TRUE(q.Next(1200, &out, &wait));
    EXPECT_TRUE(out.key);
    EXPECT_EQ(out.stampMs, 1120);
    q.Sent(true);
    EXPECT_FALSE(q.Next(1200, &out, &wait));  // 1160 waits for audio that may still come
}

// Room for a packet is made by dropping the oldest, audio or video; a dropped video frame takes
// the plain frames behind it along.
TEST(SendQueue, BytesWaitingStayWithinTheirBound) {
    SendQueueLimits limits;
    limits.maxBytes = 45;  // four packets of 10 bytes
    SendQueue q(limits);
    MediaPacket out;
    int64_t wait = 0;
    for (int64_t t = 0; t < 40; t += 10)
        EXPECT_TRUE(q.Push(Packet(t % 20 == 0 ? kVideoType : kAudioType, t, t == 0), t));
    EXPECT_EQ(std::tuple(q.HeldPackets(), q.HeldBytes(), q.Dropped()), std::tuple(4u, 40, 0u));
    EXPECT_TRUE(q.Push(Packet(kAudioType, 50), 50));  // the key frame goes, and 20 with it
    EXPECT_EQ(std::tuple(q.HeldPackets(), q.HeldBytes(), q.Dropped()), std::tuple(3u, 30, 2u));
    EXPECT_TRUE(q.TakeKeyRequest());
    EXPECT_TRUE(q.Push(Packet(kAudioType, 60), 60));
    EXPECT_TRUE(q.Push(Packet(kAudioType, 70), 70));  // audio 10 goes
    MediaPacket big = Packet(kVideoType, 80, true);
    big.bytes.resize(46);
    EXPECT_FALSE(q.Push(std::move(big), 80));  // more than the bound alone
    EXPECT_EQ(std::tuple(q.HeldPackets(), q.HeldBytes(), q.Dropped()), std::tuple(4u, 40, 4u));
    std::vector<int64_t> sent;
    for (; q.Next(1000, &out, &wait); q.Sent(true))
        sent.push_back(out.stampMs);
    EXPECT_EQ(sent, (std::vector<int64_t>{30, 50, 60, 70}));
    EXPECT_EQ(q.HeldBytes(), 0);
}

// A look a second at the count of loss episodes and the send queue's age; each row's looks
// from a fresh control, and the target after the last.
TEST(BitrateControl, StepsDownOnLossOrALongQueueAndUpAfterThreeCalmSeconds) {
    using Look = std::tuple<int64_t, uint64_t, int64_t>;  // time, losses, delay
    struct Case {
        int configured;
        std::vector<Look> looks;
        int target;
    };
    const Case cases[] = {
        {800, {{0, 0, 900}}, 800},                  // the first look only starts
        {800, {{0, 0, 0}, {999, 1, 0}}, 800},       // within the second: no look
        {800, {{0, 0, 0}, {1000, 1, 0}}, 600},      // a loss: down a quarter
        {800, {{0, 0, 500}, {1000, 0, 500}}, 800},  // long, but not over the mark
        {800, {{0, 0, 501}, {1000, 0, 501}}, 600},  // over it
        {800, {{0, 0, 251}, {1000, 0, 251}}, 800},  // rather long, not growing
        {800, {{0, 0, 251}, {1000, 0, 252}}, 600},  // rather long and growing
        {800, {{0, 0, 249}, {1000, 0, 250}}, 800},  // growing, but short
        {0, {{0, 0, 0}, {1000, 1, 900}}, 0},        // a quality, not a bit rate
        {800, {{0, 0, 0}, {1000, 1, 0}, {2000, 1, 149}, {3000, 1, 0}, {4000, 1, 0}}, 680},
        {800, {{0, 0, 0}, {1000, 1, 0}, {2000, 1, 150}, {3000, 1, 0}, {4000, 1, 0}}, 600},
    };
    for (const Case& c : cases) {
        BitrateControl b(c.configured);
        int target = -1;
        for (const auto& [t, losses, delay] : c.looks)
            target = b.Update(t, losses, delay);
        EXPECT_EQ(target, c.target)
            << c.looks.size() << " looks, the last at " << std::get<0>(c.looks.back());
    }
    // Losses every second: never below a quarter; then up by a tenth every three calm seconds.
    BitrateControl b(800);
    b.Update(0, 0, 0);
    const int down[] = {600, 450, 337, 252, 200, 200};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(b.Update(1000 * (i + 1), static_cast<uint64_t>(i + 1), 100), down[i]) << i;
    for (int64_t t = 7000; t <= 33000; t += 1000)
        EXPECT_EQ(b.Update(t, 6, 50), std::min<int64_t>(800, 200 + 80 * ((t - 6000) / 3000))) << t;
}

}  // namespace
}  // namespace ocelix
