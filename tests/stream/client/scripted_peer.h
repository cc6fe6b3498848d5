// A minimal loopback RTMP server with a chunk parser of its own, sending what the test scripts;
// PeerSession is a client handle connected through it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <future>
#include <string>
#include <tuple>

#include "stream/rtmp.h"
#include "stream_kit.h"
#include "support/loopback.h"

namespace testpeer {

using kit::Bytes;
using rtmp::test::Socket;
using Clock = std::chrono::steady_clock;

struct Message {
    int chunkStream = 0, fmt = 0, type = 0;  // fmt: of the message's first chunk
    uint32_t timestamp = 0, streamId = 0;    // timestamp: absolute, as the peer rebuilds it
    Bytes body;
    std::tuple<int, int, uint32_t, uint32_t> Header() const {
        return {chunkStream, fmt, streamId, timestamp};
    }
};

inline bool IsCommand(const Message& m, const std::string& name) {
    const Bytes head = kit::Str(name);
    return m.type == 20 && m.body.size() >= head.size() &&
           std::equal(head.begin(), head.end(), m.body.begin());
}
// The transaction id of a command (-1 if it carries none).
inline long TransactionId(const Message& m) {
    const Bytes& b = m.body;
    const size_t at = b.size() >= 3 && b[0] == 0x02 ? 3 + kit::ReadBe(&b[1], 2) : b.size();
    if (m.type != 20 || b.size() < at + 9 || b[at] != 0x00)
        return -1;
    return static_cast<long>(std::bit_cast<double>(kit::ReadBe(&b[at + 1], 8)));
}

// How the peer meets a publish or play command (createStream is always answered).
enum class Answer {
    kSuccess,     // onStatus with level status
    kError,       // onStatus with level error
    kSilent,      // nothing
    kHangUp,      // the peer closes the connection
    kDisconnect,  // nothing, and another thread disconnects the handle
};

class ScriptedPeer {
  public:
    ScriptedPeer() { listener_ = rtmp::test::ListenOnLoopback(4, 0, &port_); }
    // Serves a client another listener accepted (no listener of its own).
    explicit ScriptedPeer(Socket accepted) : client_(accepted) {}
    ~ScriptedPeer() {
        CloseClient();
        rtmp::test::CloseSocket(listener_);
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    std::string Url(const std::string& appAndStream) const {
        return "rtmp://127.0.0.1:" + std::to_string(port_) + "/" + appAndStream;
    }
    // Of connections accepted from now on (small: a peer that stops reading pushes back at once).
    void SetReceiveBuffer(int bytes) { rtmp::test::SetReceiveBuffer(listener_, bytes); }
    bool Accept(int timeoutMs = 5000) {
        CloseClient();
        if (rtmp::test::WaitReadable(listener_, timeoutMs) <= 0)
            return false;
        client_ = rtmp::test::Accept(listener_);
        closed_ = false;
        in_.clear();
        for (auto& s : streams_)
            s = ChunkState{};
        return client_ != rtmp::test::kNoSocket;
    }
    // Reads C0+C1, sends S0+S1+S2 (S2 echoes C1), reads C2.
    bool ServeHandshake(int timeoutMs = 5000) {
        s1 = kit::Cat({Bytes(8, 0), kit::Pattern(1528, 59, 7)});
        return Take(&c0c1, 1537, After(timeoutMs)) &&
               Send(kit::Cat({{3}, s1, kit::Slice(c0c1, 1, 1536)})) &&
               Take(&c2, 1536, After(timeoutMs));
    }
    // Next whole message, false on time-out or close; a time-out never leaves half a chunk parsed.
    bool ReadMessage(Message* m, int timeoutMs = 5000) {
        static constexpr size_t kHeaderSize[4] = {11, 7, 3, 0};
        const auto deadline = After(timeoutMs);
        for (;;) {
            if (!Fill(1, deadline))
                return false;
            const int fmt = in_[0] >> 6, cs = in_[0] & 0x3F;
            if (cs < 2)
                return false;  // the client never uses two- or three-byte ids
            size_t pos = 1 + kHeaderSize[fmt];
            if (!Fill(pos, deadline))
                return false;
            ChunkState c = streams_[cs];
            const uint8_t* h = in_.data() + 1;
            const uint32_t field = fmt <= 2 ? kit::ReadBe(h, 3) : 0;
            c.length = fmt <= 1 ? kit::ReadBe(h + 3, 3) : c.length;
            c.type = fmt <= 1 ? h[6] : c.type;
            c.streamId =
                fmt == 0 ? h[7] | h[8] << 8 | h[9] << 16 | uint32_t(h[10]) << 24 : c.streamId;
            c.extended = fmt <= 2 ? field == 0xFFFFFF : c.extended;
            if (!Fill(pos + (c.extended ? 4 : 0), deadline))
                return false;
            const uint32_t value = c.extended ? kit::ReadBe(&in_[pos], 4) : field;
            pos += c.extended ? 4 : 0;
            Bytes& body = partial_[cs];
            const size_t n = std::min<size_t>(128, c.length - body.size());
            if (!Fill(pos + n, deadline))
                return false;
            if (body.empty()) {
                c.delta = fmt == 0 ? 0 : fmt == 3 ? c.delta : value;
                c.timestamp = fmt == 0 ? value : c.timestamp + c.delta;
                c.firstFmt = fmt;
            }
            streams_[cs] = c;
            body.insert(body.end(), in_.begin() + long(pos), in_.begin() + long(pos + n));
            in_.erase(in_.begin(), in_.begin() + long(pos + n));
            if (body.size() == c.length) {
                *m = Message{cs, c.firstFmt, c.type, c.timestamp, c.streamId, {}};
                m->body.swap(body);
                return true;
            }
        }
    }
    // Handshake, then the first command, which must be connect (stored), answered with code.
    bool ServeConnect(Message* connect, const std::string& code = "NetConnection.Connect.Success",
                      int acceptTimeoutMs = 5000) {
        const bool ok = code == "NetConnection.Connect.Success";
        return Accept(acceptTimeoutMs) && ServeHandshake() && ReadMessageOfType(20, connect) &&
               IsCommand(*connect, "connect") &&
               SendInvoke(kit::Command(
                   "_result", double(TransactionId(*connect)),
                   {{"level", ok ? "status" : "error"}, {"code", code}, {"description", "x"}}));
    }
    // Answers createStream, reads the publish or play command (both stored), meets it with answer.
    bool ServeStreamCommand(const std::string& name, Answer answer, Message* createStream,
                            Message* command) {
        if (!ReadMessageOfType(20, createStream, 5000, "createStream") ||
            !SendInvoke(
                kit::Command("_result", double(TransactionId(*createStream)), {{"ok", "1"}})) ||
            !ReadMessageOfType(20, command, 5000, name))
            return false;
        const bool ok = answer == Answer::kSuccess;
        const std::string code =
            name == "publish" ? (ok ? "NetStream.Publish.Start" : "NetStream.Publish.BadName")
                              : (ok ? "NetStream.Play.Start" : "NetStream.Play.StreamNotFound");
        if (answer == Answer::kHangUp)
            CloseClient();
        if (answer != Answer::kSuccess && answer != Answer::kError)
            return true;
        return SendInvoke(
            kit::Command("onStatus", 0, {{"level", ok ? "status" : "error"}, {"code", code}}), 1);
    }
    bool ReadMessageOfType(int type, Message* m, int timeoutMs = 5000,
                           const std::string& name = "") {
        const auto deadline = After(timeoutMs);
        while (ReadMessage(m, MillisLeft(deadline))) {
            if (m->type == type && (name.empty() || IsCommand(*m, name)))
                return true;
        }
        return false;
    }
    bool Send(const Bytes& bytes) {
        return rtmp::test::SendAll(client_, bytes.data(), bytes.size());
    }
    bool SendMessage(int chunkStream, int type, uint32_t streamId, uint32_t timestamp,
                     const Bytes& body) {
        Bytes out = kit::Cat({{uint8_t(chunkStream)},
                              kit::Be(timestamp, 3),
                              kit::Be(body.size(), 3),
                              {uint8_t(type)},
                              kit::Be(streamId, 4)});
        std::reverse(out.end() - 4, out.end());  // the stream id is little-endian
        for (size_t off = 0; off < body.size(); off += 128) {
            if (off > 0)
                out.push_back(static_cast<uint8_t>(0xC0 | chunkStream));
            out = kit::Cat({out, kit::Slice(body, off, std::min<size_t>(128, body.size() - off))});
        }
        return Send(out);
    }
    bool SendInvoke(const Bytes& body, uint32_t streamId = 0) {
        return SendMessage(3, 20, streamId, 0, body);
    }
    void CloseClient() {
        if (client_ != rtmp::test::kNoSocket) {
            rtmp::test::ShutdownSocket(client_, rtmp::test::Direction::kBoth);
            rtmp::test::CloseSocket(client_);
            client_ = rtmp::test::kNoSocket;
        }
    }
    bool WaitClientClosed(int timeoutMs) {
        const auto deadline = After(timeoutMs);
        while (Fill(in_.size() + 1, deadline))
            in_.clear();
        return closed_;
    }

    Bytes c0c1, s1, c2;

  private:
    static Clock::time_point After(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }
    static int MillisLeft(Clock::time_point deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        return std::max(0, static_cast<int>(left.count()));
    }
    bool Fill(size_t n, Clock::time_point deadline) {
        while (in_.size() < n) {
            uint8_t buf[65536];
            if (rtmp::test::WaitReadable(client_, MillisLeft(deadline)) <= 0)
                return false;
            const std::ptrdiff_t r = rtmp::test::ReceiveSome(client_, buf, sizeof buf);
            closed_ = r <= 0;
            if (closed_)
                return false;
            in_.insert(in_.end(), buf, buf + r);
        }
        return true;
    }
    bool Take(Bytes* out, size_t n, Clock::time_point deadline) {
        if (!Fill(n, deadline))
            return false;
        out->assign(in_.begin(), in_.begin() + long(n));
        in_.erase(in_.begin(), in_.begin() + long(n));
        return true;
    }

    Socket listener_ = rtmp::test::kNoSocket, client_ = rtmp::test::kNoSocket;
    uint16_t port_ = 0;
    bool closed_ = false;
    Bytes in_;
    struct ChunkState {
        uint32_t timestamp = 0, delta = 0, length = 0, streamId = 0;
        int type = 0, firstFmt = 0;
        bool extended = false;
    } streams_[64];
    Bytes partial_[64];  // the message each chunk stream is gathering
};

class PeerSession {
  public:
    PeerSession() : handle_(RTMP_Create()) {}
    ~PeerSession() { RTMP_Release(handle_); }
    PeerSession(const PeerSession&) = delete;
    PeerSession& operator=(const PeerSession&) = delete;

    void* Handle() const { return handle_; }
    ScriptedPeer& Peer() { return peer_; }
    void ForgetHandle() { handle_ = nullptr; }  // released elsewhere (from a callback)

    // Connects, the peer answering with code; expects that code's verdict, returns the connect.
    Message Connect(const std::string& path = "live/cam",
                    const std::string& code = "NetConnection.Connect.Success",
                    const char* param1 = nullptr, const char* param2 = nullptr) {
        const std::string url = peer_.Url(path);
        auto pending = std::async(std::launch::async, [&] {
            return param1 != nullptr || param2 != nullptr
                       ? RTMP_Connect2(handle_, url.c_str(), param1, param2)
                       : RTMP_Connect(handle_, url.c_str());
        });
        Message connect;
        EXPECT_TRUE(peer_.ServeConnect(&connect, code));
        EXPECT_EQ(pending.get(), code == "NetConnection.Connect.Success" ? 1 : 0) << path;
        return connect;
    }
    // Publishes with type (plays if nullptr), the peer meeting it with answer; stores the commands.
    int Publish(const char* type, Answer answer = Answer::kSuccess) {
        auto pending = std::async(std::launch::async, [&] {
            return type != nullptr ? RTMP_Publish(handle_, type) : RTMP_Play(handle_);
        });
        EXPECT_TRUE(peer_.ServeStreamCommand(type != nullptr ? "publish" : "play", answer,
                                             &createStream, &command));
        if (answer == Answer::kDisconnect) {
            EXPECT_EQ(RTMP_Disconnect(handle_), 1);
        }
        return pending.get();
    }

    Message createStream, command;

  private:
    ScriptedPeer peer_;
    void* handle_;
};

}  // namespace testpeer
