// The local copy as ffprobe and ffmpeg see it: its file, where it goes, how it ends when the
// disk is full, too slow, or the program is killed; and the encoder instance feeding it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "backends.h"
#include "codecs/mp4_writer.h"
#include "encoder_instance.h"
#include "fakes.h"
#include "local_copy.h"
#include "send_queue.h"
#include "support/child_process.h"
#include "support/encoder_config.h"
#include "support/environment.h"
#include "support/file_system.h"
#include "support/media_tools.h"

namespace ocelix::testing {
namespace {

using namespace rtmp::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kFps = 25;
constexpr int kRate = 48000;
constexpr int kW = 160, kH = 120;
// Where the first picture is on the media clock; the sound starts 300 ms before it.
constexpr int64_t kFirstPictureMs = 500;

struct Packet {
    int type;
    int64_t stampMs;
    bool key;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> Picture(int n) {
    std::vector<uint8_t> f(static_cast<size_t>(kW) * kH * 3);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = static_cast<uint8_t>((i / 3 % kW) * 2 + static_cast<size_t>(n) * 5 + i % 3 * 40);
    return f;
}

// `seconds` of a moving picture (a key frame each second) and a stereo tone, from the library's
// own encoders, in media-time order.
const std::vector<Packet>& Lesson(int seconds) {
    static std::map<int, std::vector<Packet>> made;
    auto& out = made[seconds];
    if (!out.empty())
        return out;
    auto video = MakeH264Encoder();
    auto audio = MakeAacEncoder();
    EncoderConfig c = MakeEncoderConfig("rtmp://127.0.0.1/x/y", kW, kH, kFps, kRate);
    c.interval = kFps;
    EXPECT_TRUE(video->Open(c) && audio->Open(kRate, 16, 2));
    const uint8_t* data = nullptr;
    int length = 0;
    for (int n = 0; n < seconds * kFps; ++n) {
        const auto pic = Picture(n);
        EXPECT_TRUE(video->Encode(pic.data(), &data, &length));
        if (length > 0)
            out.push_back({kVideoType, kFirstPictureMs + n * 1000 / kFps, IsKeyFrame(data, length),
                           std::vector<uint8_t>(data, data + length)});
    }
    const int samples = audio->SamplesPerCall() / 2;
    int64_t frame = 0;
    for (int64_t block = 0; block * samples < (seconds * 1000 + 300) * kRate / 1000; ++block) {
        auto* in = reinterpret_cast<int16_t*>(audio->Input());
        for (int i = 0; i < samples * 2; ++i)
            in[i] = static_cast<int16_t>(8000 * std::sin((block * samples + i / 2) * 0.06));
        audio->Encode(&data, &length);
        if (length <= 0)
            continue;
        const int64_t first = frame++ * samples - audio->PrimingSamples();
        out.push_back({kAudioType, kFirstPictureMs - 300 + first * 1000 / kRate, false,
                       std::vector<uint8_t>(data, data + length)});
    }
    video->Close();
    audio->Close();
    // Pictures before sound of the same time, as they were encoded.
    std::stable_sort(out.begin(), out.end(),
                     [](const Packet& x, const Packet& y) { return x.stampMs < y.stampMs; });
    return out;
}

Mp4Tracks Tracks(bool video, bool audio) {
    return Mp4Tracks{video, kW, kH, kFps, audio, kRate, 2};
}

void Put(LocalCopy& copy, const Packet& p) {
    copy.Put(p.type, p.stampMs, p.key, p.bytes);
}

// The picture and sound times (ms) of a file as ffprobe reads them, once ffmpeg decoded it without
// a complaint.
struct FileTimes {
    std::vector<double> video, audio;
};
FileTimes Playable(const fs::path& path) {
    EXPECT_EQ(DecodeErrors(path), "") << path;
    return {PacketTimes(path, 'v'), PacketTimes(path, 'a')};
}

void ExpectNear(const std::vector<double>& got, const std::vector<double>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_NEAR(got[i], want[i], 1.0) << what << " " << i;
}

TEST(Mp4WriterTest, FileStartsAtTheFirstKeyFrameKeepsEveryTimeAndPlaysWhenCutAfterAnyFragment) {
    TempDir dir("copy");
    const auto& lesson = Lesson(4);
    for (const auto& [hasVideo, hasAudio] : {std::pair(true, true), {true, false}, {false, true}}) {
        SCOPED_TRACE(std::to_string(hasVideo) + std::to_string(hasAudio));
        std::vector<std::vector<uint8_t>> pieces;
        Mp4Writer w(Tracks(hasVideo, hasAudio), [&](std::span<const uint8_t> b) {
            pieces.emplace_back(b.begin(), b.end());
            return true;
        });
        // Sound from 300 ms before the first picture: with video, the file starts at the
        // picture and the sound before it is left out.
        const int64_t origin = hasVideo ? kFirstPictureMs : lesson.front().stampMs;
        std::vector<double> wantVideo, wantAudio;
        for (const Packet& p : lesson) {
            const bool video = p.type == kVideoType;
            if (video ? !hasVideo : !hasAudio)
                continue;
            ASSERT_TRUE(video ? w.AddVideo(p.stampMs, p.key, p.bytes)
                              : w.AddAudio(p.stampMs, p.bytes));
            if (p.stampMs >= origin)
                (video ? wantVideo : wantAudio).push_back(static_cast<double>(p.stampMs - origin));
        }
        const size_t beforeEnd = pieces.size();
        ASSERT_TRUE(w.Finish());
        EXPECT_EQ(w.PacketsSkipped(), 0u);
        // A fragment at least every second of the 4 s, the last one with the end.
        EXPECT_GE(pieces.size(), 4u);
        // Each piece ends a fragment: the file cut after any one plays cleanly up to it. The last
        // cut is the whole file.
        const auto path = dir / "cut.mp4";
        for (size_t cut : {size_t{1}, beforeEnd / 2, beforeEnd, pieces.size()}) {
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            for (size_t i = 0; i < cut; ++i)
                file.write(reinterpret_cast<const char*>(pieces[i].data()),
                           static_cast<std::streamsize>(pieces[i].size()));
            file.close();
            EXPECT_EQ(DecodeErrors(path), "") << "cut after piece " << cut;
        }
        EXPECT_EQ(PacketTimes(path, 'v'), wantVideo);
        ExpectNear(PacketTimes(path, 'a'), wantAudio, "sound");
    }
}

TEST(Mp4WriterTest, PacketsThatAreNotWhatTheyClaimAreSkippedAndNothingIsWritten) {
    int outputs = 0;
    const auto count = [&](std::span<const uint8_t>) { return ++outputs > 0; };
    Mp4Writer w(Tracks(true, true), count);
    const auto& lesson = Lesson(1);
    const auto& adts =
        lesson.back().type == kAudioType ? lesson.back().bytes : lesson[lesson.size() - 2].bytes;
    std::vector<uint8_t> longer = adts;
    longer.push_back(0);  // one byte more than its header says
    EXPECT_TRUE(w.AddAudio(0, longer));
    EXPECT_TRUE(w.AddAudio(0, std::vector<uint8_t>(20, 0xAA)));
    // An IDR without SPS and PPS, and bytes without a start code.
    EXPECT_TRUE(w.AddVideo(0, true, std::vector<uint8_t>{0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00}));
    EXPECT_TRUE(w.AddVideo(0, true, std::vector<uint8_t>(50, 0x65)));
    EXPECT_TRUE(w.Finish());
    EXPECT_EQ(std::tuple(outputs, w.Started(), w.PacketsSkipped()), std::tuple(0, false, 4u));
    // Sound of another format than announced is not taken either.
    Mp4Writer mono(Mp4Tracks{false, 0, 0, kFps, true, kRate, 1}, count);
    EXPECT_TRUE(mono.AddAudio(0, adts));
    EXPECT_EQ(std::tuple(outputs, mono.Started()), std::tuple(0, false));
}

TEST(LocalCopyTest, NeverReplacesAFileOrFollowsALinkAndEndsWholeAtStop) {
    TempDir dir("copy");
    const std::string taken = (dir / "lesson.mp4").string();
    std::ofstream(taken) << "earlier lesson";
    std::ofstream(dir / "target") << "not ours";
    const FileLink toTarget(dir / "target", dir / "lesson-2.mp4");
    const FileLink dangling(dir / "nowhere", dir / "lesson-3.mp4");
    ASSERT_TRUE(toTarget.Made() && dangling.Made());
    LocalCopy copy;
    EXPECT_EQ(copy.Status().state, OCELIX_COPY_OFF);
    ASSERT_TRUE(copy.Start(taken, Tracks(true, true)));
    EXPECT_EQ(std::string(copy.Status().path), (dir / "lesson-4.mp4").string());
    EXPECT_EQ(copy.Status().state, OCELIX_COPY_RECORDING);
    for (const Packet& p : Lesson(2))
        Put(copy, p);
    copy.Stop();
    const OcelixLocalCopy s = copy.Status();
    EXPECT_EQ(std::tuple(s.state, s.systemError), std::tuple(OCELIX_COPY_ENDED, 0));
    EXPECT_EQ(s.bytesWritten, fs::file_size(dir / "lesson-4.mp4"));
    EXPECT_EQ(ReadTextFile(taken), "earlier lesson");
    EXPECT_EQ(ReadTextFile(dir / "target"), "not ours");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_EQ(Playable(dir / "lesson-4.mp4").video.size(), 2u * kFps);
    // Names: the number goes before the extension of the file, not of a folder.
    EXPECT_EQ(NumberedName("/a.b/c", 3), "/a.b/c-3");
    EXPECT_EQ(NumberedName("/a/.mp4", 2), "/a/.mp4-2");
    EXPECT_EQ(NumberedName("x.y.mp4", 1), "x.y.mp4");
}

TEST(LocalCopyTest, AFolderThatCannotBeWrittenOrADiskBelowTheFreeBoundGivesNoCopy) {
    TempDir dir("copy");
    std::ofstream(dir / "file") << "x";
    const FileErrors& errors = SystemFileErrors();
    struct Case {
        fs::path path;
        int64_t minFree;
        int state, error;
    } cases[] = {{dir / "missing" / "a.mp4", 0, OCELIX_COPY_FAILED, errors.noSuchFolder},
                 {dir / "file" / "a.mp4", 0, OCELIX_COPY_FAILED, errors.notAFolder},
                 {UnwritableFolder(dir.Path()) / "tutorlane-copy.mp4", 0, OCELIX_COPY_FAILED,
                  errors.accessDenied},
                 {dir / "a.mp4", int64_t{1} << 62, OCELIX_COPY_DISK_FULL, errors.diskFull}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        LocalCopy copy(LocalCopyLimits{.minFreeBytes = c.minFree});
        EXPECT_FALSE(copy.Start(c.path.string(), Tracks(true, true)));
        for (const Packet& p : Lesson(1))
            Put(copy, p);
        copy.Stop();
        const OcelixLocalCopy s = copy.Status();
        EXPECT_EQ(std::tuple(s.state, s.systemError, s.bytesWritten, std::string(s.path)),
                  std::tuple(c.state, c.error, 0u, std::string()));
    }
    EXPECT_FALSE(fs::exists(dir / "a.mp4"));
}

TEST(LocalCopyTest, ADiskThatFallsBehindEndsTheCopyWithoutHoldingUpThePacketsAndItStaysPlayable) {
    TempDir dir("copy");
    const auto& lesson = Lesson(4);
    // The queue's bound in bytes, then in media time.
    const std::pair<int64_t, int64_t> bounds[] = {{40000, 100000}, {64 << 20, 1000}};
    for (const auto& [bytes, ms] : bounds) {
        SCOPED_TRACE(bytes);
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::mutex mutex;
        std::condition_variable wrote;
        int writes = 0;
        // The first 120 packets (1.7 s) go through; then the disk hangs until the test lets
        // it go.
        LocalCopy copy(
            LocalCopyLimits{.maxQueuedBytes = bytes, .maxQueuedMs = ms, .beforeWrite = [&] {
                                {
                                    std::lock_guard<std::mutex> lock(mutex);
                                    ++writes;
                                }
                                wrote.notify_all();
                                if (writes > 120)
                                    released.wait();
                            }});
        const auto path = dir / "slow.mp4";
        fs::remove(path);
        ASSERT_TRUE(copy.Start(path.string(), Tracks(true, true)));
        size_t put = 0;
        for (; put <= 120; ++put) {
            Put(copy, lesson[put]);
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(wrote.wait_for(lock, std::chrono::seconds(10),
                                       [&] { return writes > static_cast<int>(put); }))
                << "packet " << put << " never reached the disk";
        }
        // Every Put returns at once while the writer is stuck; a bound ends the copy.
        int64_t queued = 0;
        for (; put < lesson.size() && copy.Status().state == OCELIX_COPY_RECORDING; ++put) {
            Put(copy, lesson[put]);
            queued += static_cast<int64_t>(lesson[put].bytes.size());
        }
        EXPECT_EQ(copy.Status().state, OCELIX_COPY_TOO_SLOW);
        EXPECT_LT(put, lesson.size());
        // The writer holds packet 120; the queue from 121 on went past exactly one bound.
        const int64_t span = lesson[put - 1].stampMs - lesson[121].stampMs;
        EXPECT_EQ(std::pair(queued > bytes, span > ms), std::pair(bytes < 100000, ms < 100000));
        release.set_value();
        copy.Stop();
        const OcelixLocalCopy s = copy.Status();
        EXPECT_EQ(std::tuple(s.state, s.systemError), std::tuple(OCELIX_COPY_TOO_SLOW, 0));
        const FileTimes got = Playable(path);
        ASSERT_FALSE(got.video.empty());
        EXPECT_GT(got.video.back(), 1000);  // what was written before stays
    }
    // A disk that does not answer at the stop: the stop returns after its wait, the copy ends
    // as too slow, and the writer closes the file on its own once the disk answers.
    std::promise<void> answer;
    // Taken by value: the writer left behind outlives this test.
    const std::shared_future<void> answered = answer.get_future().share();
    const auto stuck = std::make_shared<std::atomic<bool>>(false);
    LocalCopy copy(LocalCopyLimits{.stopWaitMs = 200, .beforeWrite = [answered, stuck] {
                                       *stuck = true;
                                       answered.wait();
                                   }});
    ASSERT_TRUE(copy.Start((dir / "stuck.mp4").string(), Tracks(true, true)));
    Put(copy, lesson[0]);
    ASSERT_TRUE(rtmp::test::WaitUntil([&] { return stuck->load(); }, std::chrono::seconds(5)));
    auto stopping = std::async(std::launch::async, [&] { copy.Stop(); });
    EXPECT_EQ(stopping.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "the stop waits for the disk";
    EXPECT_EQ(copy.Status().state, OCELIX_COPY_TOO_SLOW);
    answer.set_value();
}

// The instance on the real encoders and a fake line: its packets reach the copy.
class CopyingInstanceTest : public ::testing::Test {
  protected:
    void Make(const std::string& copyPath) {
        e = std::make_unique<CEncoderInstance>(
            MakeEncoderConfig("rtmp://127.0.0.1/a/b", kW, kH, kFps, kRate),
            Backends{std::make_shared<FakeRtmp>(&rtmp), std::make_unique<FakeClock>(&now),
                     MakeH264Encoder(), MakeAacEncoder(), true});
        ASSERT_TRUE(e->SetLocalCopy(copyPath.c_str()));
        ASSERT_EQ(e->Start(), 1);
        EXPECT_FALSE(e->SetLocalCopy(copyPath.c_str()));  // started: too late
    }
    // One frame period of the broadcast: a picture, the sound of that period, the sending.
    void Period(int n) {
        now = 1000 + static_cast<uint32_t>(n * 1000 / kFps);
        const auto pic = Picture(n);
        e->PutVideoData(pic.data(), static_cast<int>(pic.size()));
        e->Tick();
        e->EncodeDueFrames();
        const std::vector<uint8_t> block(static_cast<size_t>(e->AudioNotifySize()), 0);
        for (; audioSamples_ * 1000 / kRate < n * 1000 / kFps; audioSamples_ += 1024)
            e->PutAudioData(block.data(), static_cast<int>(block.size()));
        while (e->SendPass()) {
        }
    }
    OcelixLocalCopy Copy() { return e->LocalCopyStatus(); }

    RtmpRecord rtmp;
    std::atomic<uint32_t> now{1000};
    std::unique_ptr<CEncoderInstance> e;
    int64_t audioSamples_ = 0;
};

TEST_F(CopyingInstanceTest, AFullDiskEndsTheCopyPlayableWhileTheBroadcastGoesOn) {
    TempDir dir("copy");
    const auto path = dir / "full.mp4";
    Make(path.string());
    // The file may not grow past 60 kB. The signal the limit sends is left as it is (it would
    // end the program): the copy's writer gets EFBIG instead.
    constexpr int64_t kLimit = 60000;
    std::optional<FileSizeLimit> limit(kLimit);
    ASSERT_TRUE(limit->Set());
    int n = 0;
    // Waits for the writer thread to meet the limit while the broadcast runs on.
    while (n < 40 * kFps && Copy().state == OCELIX_COPY_RECORDING)
        Period(n++);
    const size_t sentAtEnd = rtmp.Sent().size();
    for (int more = 0; more < kFps; ++more)
        Period(n++);
    e->Stop();
    limit.reset();
    const OcelixLocalCopy s = Copy();
    EXPECT_EQ(std::tuple(s.state, s.systemError),
              std::tuple(OCELIX_COPY_DISK_FULL, SystemFileErrors().fileTooLarge));
    EXPECT_GT(rtmp.Sent().size(), sentAtEnd + kFps);  // a second more of pictures and sound
    EXPECT_EQ(s.bytesWritten, fs::file_size(path));
    EXPECT_LE(s.bytesWritten, static_cast<uint64_t>(kLimit));
    const FileTimes got = Playable(path);
    EXPECT_GT(got.video.size(), static_cast<size_t>(kFps));
    EXPECT_FALSE(got.audio.empty());
}

TEST_F(CopyingInstanceTest, StopEndsTheCopyWithEveryPacketOfTheLessonAlsoThoseTheLineDropped) {
    TempDir dir("copy");
    Make((dir / "lesson.mp4").string());
    std::vector<double> grid;  // every picture of the two seconds, the first at 0
    for (int n = 0; n < 2 * kFps; ++n) {
        // The line is down for the second half: nothing reaches the server.
        if (n == kFps)
            rtmp.state = 0;
        Period(n);
        grid.push_back(n * 1000.0 / kFps);
    }
    e->Stop();
    EXPECT_EQ(Copy().state, OCELIX_COPY_ENDED);
    const FileTimes got = Playable(dir / "lesson.mp4");
    EXPECT_EQ(got.video, grid);
    // The sound covers the same time.
    ASSERT_FALSE(got.audio.empty());
    EXPECT_NEAR(got.audio.back(), 2000, 100);
}

TEST_F(CopyingInstanceTest, AFolderThatCannotBeWrittenStillStartsTheBroadcast) {
    TempDir dir("copy");
    Make((dir / "missing" / "x.mp4").string());  // Start returned 1
    const OcelixLocalCopy s = Copy();
    EXPECT_EQ(std::tuple(s.state, s.systemError),
              std::tuple(OCELIX_COPY_FAILED, SystemFileErrors().noSuchFolder));
    for (int n = 0; n < 4; ++n)
        Period(n);
    EXPECT_EQ(rtmp.Sent().empty(), false);
}

TEST(LocalCopyCTest, PathIsTakenBeforeTheStartWithRoomForANumberAndTheRecordIsFilledToItsSize) {
    const EncoderConfig c = MakeEncoderConfig("rtmp://127.0.0.1:1/a/b", kW, kH, kFps, kRate);
    void* h = OCELIX_CreateEncoder(&c);
    ASSERT_NE(h, nullptr);
    const std::string longest(sizeof(OcelixLocalCopy::path) - 1 - 5, 'x');
    EXPECT_EQ(
        std::tuple(OCELIX_SetLocalCopy(nullptr, "a.mp4"), OCELIX_SetLocalCopy(h, longest.c_str()),
                   OCELIX_SetLocalCopy(h, (longest + "x").c_str()), OCELIX_SetLocalCopy(h, nullptr),
                   OCELIX_SetLocalCopy(h, "")),
        std::tuple(0, 1, 0, 1, 1));
    OcelixLocalCopy record;
    std::memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(OCELIX_GetLocalCopy(h, &record, 4), 1);  // the state only
    EXPECT_EQ(std::tuple(record.state, record.systemError),
              std::tuple(OCELIX_COPY_OFF, 0x5A5A5A5A));
    EXPECT_EQ(std::tuple(OCELIX_GetLocalCopy(h, &record, 0), OCELIX_GetLocalCopy(h, nullptr, 8),
                         OCELIX_GetLocalCopy(nullptr, &record, 8)),
              std::tuple(0, 0, 0));
    OCELIX_ReleaseEncoder(h);
}

// libavformat came in with the copy: the library's RTMP_* calls must still reach `stream`,
// with no other library of its dependencies defining those names.
TEST(LocalCopyCTest, TheSharedLibraryExportsTheCopyAndItsRtmpCallsBindToTheStreamLibrary) {
    const std::string library = OCELIX_SHARED_LIBRARY;
    const auto symbols = [](const std::string& lib, const char* which) {
        return RunProcess({"nm", "-D", which, lib}).out;
    };
    const std::string ours = symbols(library, "--defined-only");
    for (const char* name : {" T OCELIX_SetLocalCopy\n", " T OCELIX_GetLocalCopy\n"})
        EXPECT_NE(ours.find(name), std::string::npos) << name;
    EXPECT_NE(symbols(library, "--undefined-only").find(" U RTMP_SendStream\n"), std::string::npos);
    const ProcessResult deps = RunProcess({"ldd", library});
    ASSERT_TRUE(deps.Succeeded()) << deps.err;
    std::istringstream lines(deps.out);
    int stream = 0, others = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t arrow = line.find("=> /");
        if (arrow == std::string::npos)
            continue;
        const std::string lib = line.substr(arrow + 3, line.find(" (") - arrow - 3);
        const bool defines = symbols(lib, "--defined-only").find(" T RTMP_") != std::string::npos;
        if (lib.find("libstream") != std::string::npos) {
            stream += defines ? 1 : 0;
        } else {
            ++others;
            EXPECT_FALSE(defines) << lib;
        }
    }
    EXPECT_EQ(stream, 1);
    EXPECT_GT(others, 5);  // libavformat and its own dependencies among them
}

// The program killed is this test program again, running this test alone with the variable
// naming the copy's file.
constexpr const char* kKilledCopyVariable = "TUTORLANE_KILLED_COPY";

TEST(LocalCopyKillTest, AProgramKilledMidCopyLeavesAFilePlayingToWithinTwoSecondsOfTheKill) {
    const auto& lesson = Lesson(8);
    if (const auto file = GetEnvironment(kKilledCopyVariable)) {
        // Feeds the packets in real time, as the encoders give them, until killed.
        LocalCopy copy;
        ASSERT_TRUE(copy.Start(*file, Tracks(true, true)));
        const auto start = std::chrono::steady_clock::now();
        std::ofstream(*file + ".started").close();
        for (const Packet& p : lesson) {
            std::this_thread::sleep_until(start +
                                          std::chrono::milliseconds(p.stampMs - kFirstPictureMs));
            Put(copy, p);
        }
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    TempDir dir("copy");
    const auto path = dir / "killed.mp4";
    SetEnvironment(kKilledCopyVariable, path.string());
    ChildProcess child;
    const bool started = child.Start({OwnProgram().string(), "--gtest_filter=LocalCopyKillTest.*"},
                                     dir / "child.log");
    UnsetEnvironment(kKilledCopyVariable);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(path.string() + ".started"); }, 60s))
        << ReadTextFile(dir / "child.log");
    const auto start = std::chrono::steady_clock::now();
    // Killed in the middle of a fragment, 4.5 s into the lesson.
    std::this_thread::sleep_until(start + std::chrono::milliseconds(4500));
    child.Stop(kKillSignal, 0ms);
    const auto killedAt =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const FileTimes got = Playable(path);
    ASSERT_FALSE(got.video.empty());
    EXPECT_GE(got.video.back(), killedAt - 2000);
    EXPECT_LE(got.video.back(), killedAt);
}

// Gaps in either track stay where they were, also across the ends of fragments and when the
// header went out before the sound came: the track of `type` loses its packets in [from, to).
TEST(LocalCopyTest, GapsStayWhereTheyWere) {
    const struct {
        int type;
        int64_t from, to;
    } cases[] = {{0, 0, 0},
                 {kAudioType, 0, kFirstPictureMs + 900},
                 {kAudioType, 0, kFirstPictureMs + 4500},
                 {kAudioType, 3500, 5500},
                 {kAudioType, 3450, 3550},  // at a fragment's start
                 {kVideoType, 3500, 5500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + ":" + std::to_string(c.from) + "-" +
                     std::to_string(c.to));
        TempDir dir("copy");
        const auto path = dir / "gap.mp4";
        LocalCopy copy;
        ASSERT_TRUE(copy.Start(path.string(), Tracks(true, true)));
        std::vector<double> putVideo, putAudio;
        for (const Packet& p : Lesson(8)) {
            if (p.type == c.type && p.stampMs >= c.from && p.stampMs < c.to)
                continue;
            Put(copy, p);
            if (p.stampMs >= kFirstPictureMs)
                (p.type == kVideoType ? putVideo : putAudio)
                    .push_back(static_cast<double>(p.stampMs - kFirstPictureMs));
        }
        copy.Stop();
        const FileTimes got = Playable(path);
        ExpectNear(got.video, putVideo, "picture");
        ExpectNear(got.audio, putAudio, "sound");
    }
}

}  // namespace
}  // namespace ocelix::testing
