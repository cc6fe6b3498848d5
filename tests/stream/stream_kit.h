// Stream test kit: byte builders (plain, AMF0, H.264, ADTS), buffers, a decoder listener that
// records, and a log folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "log/log.h"
#include "support/environment.h"
#include "wire/amf.h"
#include "wire/byte_buffer.h"
#include "wire/decoder_listener.h"
#include "wire/my_exception.h"

namespace kit {

using Bytes = std::vector<uint8_t>;
using Props = std::vector<std::pair<std::string, std::string>>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}
template <typename... T>
Bytes B(T... v) {
    return Bytes{static_cast<uint8_t>(v)...};
}
inline Bytes Repeat(const Bytes& b, size_t n) {
    Bytes all;
    for (size_t i = 0; i < n; ++i)
        all.insert(all.end(), b.begin(), b.end());
    return all;
}
inline Bytes Slice(const Bytes& v, size_t from, size_t n) {
    return Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}
inline Bytes Head(const Bytes& v, size_t n) {
    return Slice(v, 0, n);
}
inline Bytes Pattern(size_t n, uint8_t seed = 0, int step = 7) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + static_cast<int>(i) * step);
    return v;
}
inline Bytes Be(uint64_t v, int n) {
    Bytes out;
    for (int i = n - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}
inline uint64_t ReadBe(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// ---- AMF0 ----
inline Bytes Name(const std::string& s) {
    return Cat({Be(s.size(), 2), Bytes(s.begin(), s.end())});
}
inline Bytes Str(const std::string& s) {
    return Cat({{0x02}, Name(s)});
}
inline Bytes Num(double d) {
    return Cat({{0x00}, Be(std::bit_cast<uint64_t>(d), 8)});
}
inline Bytes StrProp(const std::string& k, const std::string& v) {
    return Cat({Name(k), Str(v)});
}
inline Bytes NumProp(const std::string& k, double v) {
    return Cat({Name(k), Num(v)});
}
const Bytes kNull = {0x05};
const Bytes kEnd = {0x00, 0x00, 0x09};
inline Bytes Obj(const Props& props) {
    Bytes out = {0x03};
    for (const auto& [k, v] : props)
        out = Cat({out, Name(k), Str(v)});
    return Cat({out, kEnd});
}
// Name, transaction id, null, then the information object (if any).
inline Bytes Command(const std::string& name, double id, const Props& info = {}) {
    return Cat({Str(name), Num(id), kNull, info.empty() ? Bytes{} : Obj(info)});
}

// ---- H.264 and AAC ----
const Bytes kSps = {0x67, 0x64, 0x00, 0x1F, 0xAC};
const Bytes kPps = {0x68, 0xEE, 0x3C, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x21};
const Bytes kSei = {0x06, 0x05, 0x01};
const Bytes kSlice = {0x41, 0x9A, 0x02};
const Bytes kAacConfig = {0xAF, 0x00, 0x12, 0x10};  // AAC LC, 44.1 kHz, stereo

inline Bytes AnnexB(const std::vector<Bytes>& units) {
    Bytes b;
    for (const Bytes& u : units)
        b = Cat({b, {0, 0, 0, 1}, u});
    return b;
}
// A video tag body: frame byte, AVC packet type 1, zero composition time, length-prefixed units.
inline Bytes AvcFrame(uint8_t frame, const std::vector<Bytes>& units) {
    Bytes b = {frame, 0x01, 0x00, 0x00, 0x00};
    for (const Bytes& u : units)
        b = Cat({b, Be(u.size(), 4), u});
    return b;
}
// The client writes its own level (40) in place of the SPS's.
inline Bytes AvcSequenceHeader(uint8_t level = 0x1F) {
    return Cat({{0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x64, 0x00, level, 0xFF, 0xE1},
                Be(kSps.size(), 2),
                kSps,
                {0x01},
                Be(kPps.size(), 2),
                kPps});
}
// An ADTS frame (44.1 kHz stereo AAC LC unless told otherwise) with a payload of n bytes.
inline Bytes Adts(int n, uint8_t byte2 = 0x50, uint8_t channelBits = 0x80, uint8_t byte1 = 0xF1) {
    const int len = n + 7;
    return Cat(
        {{0xFF, byte1, byte2, static_cast<uint8_t>(channelBits | ((len >> 11) & 3)),
          static_cast<uint8_t>(len >> 3), static_cast<uint8_t>(((len & 7) << 5) | 0x1F), 0xFC},
         Pattern(static_cast<size_t>(n), 0, 1)});
}

inline rtmp::ByteBuffer Buffer(const Bytes& bytes) {
    rtmp::ByteBuffer b(static_cast<int>(bytes.size()));
    if (!bytes.empty())
        b.PutBytes(bytes.data(), static_cast<int>(bytes.size()));
    b.SetLimit(b.Position());
    b.SetPosition(0);
    return b;
}
inline Bytes Readable(const rtmp::ByteBuffer& b) {
    return Bytes(b.Current(), b.Current() + b.Remaining());
}

inline Props Entries(const rtmp::ParamList& list) {
    Props out;
    for (int i = 0; i < list.Count(); ++i)
        out.emplace_back(list.Get(i)->name, list.Get(i)->value);
    return out;
}

template <typename F>
void ExpectFault(F&& f, rtmp::MyException code) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected " << int{code};
    } catch (rtmp::MyException e) {
        EXPECT_EQ(e, code);
    }
}

// ---- What the decoder reports ----
struct Media {
    int type;
    Bytes data;
    uint32_t ts;
    bool operator==(const Media&) const = default;
};

// Events in order ("callback:text", "result:line", "ping", "window:size", "video@ts",
// "audio@ts"), and the media whole.
class Recorder : public rtmp::DecoderListener {
  public:
    void OnCallBack(const char* text, int length) override {
        events.push_back("callback:" + std::string(text, static_cast<size_t>(length)));
    }
    void OnResultLine(const char* line, int length) override {
        events.push_back("result:" + std::string(line, static_cast<size_t>(length)));
    }
    void OnPingRequest(rtmp::PingMessage&) override { events.push_back("ping"); }
    void OnWindowAckSize(uint32_t size) override {
        events.push_back("window:" + std::to_string(size));
    }
    bool WantsVideo() const override { return wantVideo; }
    bool WantsAudio() const override { return wantAudio; }
    void OnVideo(const uint8_t* data, int length, uint32_t ts) override {
        Add(9, data, length, ts);
    }
    void OnAudio(const uint8_t* data, int length, uint32_t ts) override {
        Add(8, data, length, ts);
    }
    void Clear() { *this = Recorder{}; }

    bool wantVideo = true, wantAudio = true;
    std::vector<std::string> events;
    std::vector<Media> media;

  private:
    void Add(int type, const uint8_t* data, int length, uint32_t ts) {
        media.push_back({type, Bytes(data, data + length), ts});
        events.push_back((type == 9 ? "video@" : "audio@") + std::to_string(ts));
    }
};

// The library's files go to a folder of its own while it lives; XDG_STATE_HOME is restored.
class LogFolder {
  public:
    LogFolder() {
        dir_ = std::filesystem::temp_directory_path() /
               ("stream-test-" + std::to_string(rtmp::test::OwnProcessId()) + "-" +
                std::to_string(++count_));
        std::filesystem::create_directories(dir_);
        home_ = rtmp::test::GetEnvironment("XDG_STATE_HOME");
        rtmp::test::SetEnvironment("VISTREL_LOG_DIR", dir_.string());
    }
    ~LogFolder() {
        rtmp::log::SetLog(0, 0);  // switches off and removes the files where they are now
        rtmp::test::UnsetEnvironment("VISTREL_LOG_DIR");
        if (home_)
            rtmp::test::SetEnvironment("XDG_STATE_HOME", *home_);
        else
            rtmp::test::UnsetEnvironment("XDG_STATE_HOME");
        std::filesystem::remove_all(dir_);
    }
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;
    const std::filesystem::path& Dir() const { return dir_; }
    std::string File(const std::string& name = "Vistrel.log") const { return Read(dir_ / name); }
    static std::string Read(const std::filesystem::path& path) {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

  private:
    static inline int count_ = 0;
    std::filesystem::path dir_;
    std::optional<std::string> home_;
};

}  // namespace kit
