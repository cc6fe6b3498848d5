// Encoded H.264 access units (Annex B) and AAC frames (ADTS) into a fragmented MP4, through
// libavformat's MP4 muxer. Fragments last at most about a second, and each is handed out whole
// as soon as it is closed, so a file cut off anywhere plays up to its last whole fragment.
//
// The file starts at the first video key frame carrying SPS and PPS (audio-only: at the first
// audio frame); what comes before it is left out, and every time is taken relative to it, so
// audio and picture keep the distance they had. Packets that are not what they claim to be (no
// ADTS header of the announced format, video that is not Annex B) are skipped.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace ocelix {

struct Mp4Tracks {
    bool video = false;
    int width = 0;
    int height = 0;
    int frameRate = 25;
    bool audio = false;
    int sampleRate = 0;  // AAC-LC at an ADTS sample rate
    int channels = 0;    // 1..7
};

class Mp4Writer {
  public:
    // Receives the file's bytes in order: the header, then each fragment whole, then the end.
    // False ends the writing: nothing more is handed out.
    using Output = std::function<bool(std::span<const uint8_t>)>;

    Mp4Writer(const Mp4Tracks& tracks, Output output);
    ~Mp4Writer();
    Mp4Writer(const Mp4Writer&) = delete;
    Mp4Writer& operator=(const Mp4Writer&) = delete;

    // One access unit at its media time (ms). False when the output or the muxer failed; then
    // every later call fails too. A packet left out or skipped is no failure.
    bool AddVideo(int64_t stampMs, bool key, std::span<const uint8_t> accessUnit);
    // One ADTS frame whose first sample is at media time stampMs.
    bool AddAudio(int64_t stampMs, std::span<const uint8_t> adtsFrame);
    // Closes the open fragment and writes the end of the file; false as above. Nothing is
    // written when the file never started.
    bool Finish();

    bool Started() const { return started_; }
    bool Failed() const { return failed_; }
    uint64_t PacketsWritten() const { return packetsWritten_; }
    uint64_t PacketsSkipped() const { return packetsSkipped_; }

  private:
    struct Muxer;
    struct HeldAudio {
        int64_t stampMs;
        std::vector<uint8_t> raw;
    };

    bool StartFile(int64_t originMs, std::vector<uint8_t> videoConfig);
    bool WriteAudio(int64_t stampMs, std::span<const uint8_t> raw);
    struct Pending {
        bool has = false;
        int64_t pts = 0;
        int64_t lastingAtMost = 0;
        bool key = false;
        size_t size = 0;            // bytes of the packet
        std::vector<uint8_t> data;  // the packet, then the padding libavcodec wants
    };
    bool WritePacket(int stream, int64_t pts, int64_t duration, Pending& held);
    // Holds a packet until the next of its stream, which says how long it lasts (at most
    // lastingAtMost when it is the last); writes the one held before.
    bool Queue(int stream, int64_t pts, int64_t lastingAtMost, bool key,
               std::span<const uint8_t> data);
    bool FlushPending();
    // Hands out what the muxer wrote since the last call.
    bool Emit();
    bool Fail();

    Mp4Tracks tracks_;
    Output output_;
    std::unique_ptr<Muxer> muxer_;
    bool started_ = false;
    bool failed_ = false;
    bool finished_ = false;
    bool headerOut_ = false;  // the muxer has given out its first bytes
    bool soundSeen_ = false;  // a sound frame reached the file
    int64_t originMs_ = 0;
    int64_t lastVideoPts_ = -1;
    int64_t lastAudioPts_ = -1;  // in samples
    // Audio that came before the file started, kept for the frames at or after its start.
    std::deque<HeldAudio> held_;
    Pending pendingVideo_, pendingAudio_;
    uint64_t packetsWritten_ = 0;
    uint64_t packetsSkipped_ = 0;
};

}  // namespace ocelix
