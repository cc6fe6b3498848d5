#include "scripted_peer.h"

#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testpeer {
namespace {

using Clock = std::chrono::steady_clock;
using namespace kit;

int MillisLeft(Clock::time_point deadline) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
}
Clock::time_point After(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

std::string CommandName(const Message& m) {
    const Bytes& b = m.body;
    if (m.type != 20 || b.size() < 3 || b[0] != 0x02 || b.size() < 3 + ReadBe(&b[1], 2))
        return "";
    return std::string(b.begin() + 3, b.begin() + 3 + ReadBe(&b[1], 2));
}

long TransactionId(const Message& m) {
    const size_t at = 3 + CommandName(m).size();
    if (CommandName(m).empty() || m.body.size() < at + 9 || m.body[at] != 0x00)
        return -1;
    uint64_t bits = 0;
    for (size_t i = 1; i <= 8; ++i)
        bits = bits << 8 | m.body[at + i];
    return static_cast<long>(std::bit_cast<double>(bits));
}

ScriptedPeer::ScriptedPeer() {
    listenFd_ = rtmp::test::ListenOnLoopback(4, 0, &port_);
}

ScriptedPeer::~ScriptedPeer() {
    CloseClient();
    if (listenFd_ >= 0)
        close(listenFd_);
}

void ScriptedPeer::SetReceiveBuffer(int bytes) {
    setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool ScriptedPeer::Accept(int timeoutMs) {
    CloseClient();
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    clientFd_ = accept(listenFd_, nullptr, nullptr);
    in_.clear();
    for (auto& s : streams_)
        s = ChunkState{};
    return clientFd_ >= 0;
}

bool ScriptedPeer::Fill(size_t n, int timeoutMs) {
    const auto deadline = After(timeoutMs);
    while (in_.size() < n) {
        pollfd p{clientFd_, POLLIN, 0};
        uint8_t buf[65536];
        if (poll(&p, 1, MillisLeft(deadline)) <= 0)
            return false;
        const ssize_t r = recv(clientFd_, buf, sizeof buf, 0);
        if (r <= 0)
            return false;
        in_.insert(in_.end(), buf, buf + r);
    }
    return true;
}

bool ScriptedPeer::ReadRaw(Bytes* out, size_t n, int timeoutMs) {
    if (!Fill(n, timeoutMs))
        return false;
    out->assign(in_.begin(), in_.begin() + static_cast<long>(n));
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(n));
    return true;
}

bool ScriptedPeer::ServeHandshake(int timeoutMs) {
    if (!ReadRaw(&c0c1, 1537, timeoutMs))
        return false;
    s1 = Cat({Bytes(8, 0), Pattern(1528, 59, 7)});
    return Send(Cat({B(3), s1, Slice(c0c1, 1, 1536)})) && ReadRaw(&c2, 1536, timeoutMs);
}

bool ScriptedPeer::ReadMessage(Message* m, int timeoutMs) {
    static const size_t kHeaderSize[4] = {11, 7, 3, 0};
    const auto deadline = After(timeoutMs);
    // Parses one whole chunk at a time from what has arrived, waiting for more when needed.
    for (;;) {
        size_t pos = 1;
        auto need = [&](size_t n) { return in_.size() >= pos + n; };
        if (!in_.empty()) {
            const int fmt = in_[0] >> 6, cs = in_[0] & 0x3F;
            if (cs < 2)
                return false;  // the client never uses two- or three-byte ids
            ChunkState& st = streams_[cs];
            if (need(kHeaderSize[fmt])) {
                const uint8_t* h = in_.data() + pos;
                const uint32_t field = fmt <= 2 ? ReadBe(h, 3) : 0;
                const uint32_t length = fmt <= 1 ? ReadBe(h + 3, 3) : st.length;
                const int type = fmt <= 1 ? h[6] : st.type;
                const uint32_t streamId =
                    fmt == 0 ? h[7] | h[8] << 8 | h[9] << 16 | uint32_t(h[10]) << 24 : st.streamId;
                pos += kHeaderSize[fmt];
                const bool extended = fmt <= 2 ? field == 0xFFFFFF : st.extended;
                const uint32_t value = extended && need(4) ? ReadBe(in_.data() + pos, 4) : field;
                pos += extended ? 4 : 0;
                const size_t have = st.partial.size();
                const size_t n = std::min<size_t>(128, length > have ? length - have : 0);
                if (need(n)) {  // the whole chunk is there: apply it
                    st.extended = extended;
                    st.length = length;
                    st.type = type;
                    st.streamId = streamId;
                    if (have == 0) {
                        st.delta = fmt == 0 ? 0 : fmt == 3 ? st.delta : value;
                        st.timestamp = fmt == 0 ? value : st.timestamp + st.delta;
                        st.firstFmt = fmt;
                    }
                    st.partial.insert(st.partial.end(), in_.begin() + static_cast<long>(pos),
                                      in_.begin() + static_cast<long>(pos + n));
                    in_.erase(in_.begin(), in_.begin() + static_cast<long>(pos + n));
                    if (st.partial.size() == st.length) {
                        *m = Message{cs, st.firstFmt, st.type, st.timestamp, st.streamId, {}};
                        m->body.swap(st.partial);
                        return true;
                    }
                    continue;
                }
            }
        }
        if (!Fill(in_.size() + 1, MillisLeft(deadline)))
            return false;
    }
}

bool ScriptedPeer::ReadMessageOfType(int type, Message* m, int timeoutMs, const std::string& name) {
    const auto deadline = After(timeoutMs);
    while (ReadMessage(m, MillisLeft(deadline))) {
        if (m->type == type && (name.empty() || CommandName(*m) == name))
            return true;
    }
    return false;
}

bool ScriptedPeer::Send(const Bytes& bytes) {
    return rtmp::test::SendAll(clientFd_, bytes.data(), bytes.size());
}

bool ScriptedPeer::SendMessage(int chunkStream, int type, uint32_t streamId, uint32_t timestamp,
                               const Bytes& body) {
    Bytes out = Cat({B(uint8_t(chunkStream)), Be(timestamp, 3), Be(body.size(), 3),
                     B(uint8_t(type), uint8_t(streamId), uint8_t(streamId >> 8),
                       uint8_t(streamId >> 16), uint8_t(streamId >> 24))});
    for (size_t off = 0; off < body.size(); off += 128) {
        if (off > 0)
            out.push_back(static_cast<uint8_t>(0xC0 | chunkStream));
        out = Cat({out, Slice(body, off, std::min<size_t>(128, body.size() - off))});
    }
    return Send(out);
}

void ScriptedPeer::CloseClient() {
    if (clientFd_ >= 0) {
        shutdown(clientFd_, SHUT_RDWR);
        close(clientFd_);
        clientFd_ = -1;
    }
}

bool ScriptedPeer::WaitClientClosed(int timeoutMs) {
    const auto deadline = After(timeoutMs);
    for (;;) {
        pollfd p{clientFd_, POLLIN, 0};
        uint8_t buf[4096];
        if (poll(&p, 1, MillisLeft(deadline)) <= 0)
            return false;
        if (recv(clientFd_, buf, sizeof buf, 0) <= 0)
            return true;
    }
}

Message PeerSession::Connect(const std::string& path, int* result, const std::string& code,
                             const char* param1, const char* param2) {
    const std::string url = peer_.Url(path);
    auto pending = std::async(std::launch::async, [&] {
        return param1 != nullptr || param2 != nullptr
                   ? RTMP_Connect2(handle_, url.c_str(), param1, param2)
                   : RTMP_Connect(handle_, url.c_str());
    });
    Message connect;
    EXPECT_TRUE(peer_.Accept());
    EXPECT_TRUE(peer_.ServeHandshake());
    EXPECT_TRUE(peer_.ReadMessageOfType(20, &connect));
    const bool ok = code == "NetConnection.Connect.Success";
    EXPECT_TRUE(peer_.SendInvoke(Command(
        "_result", 1, {{"level", ok ? "status" : "error"}, {"code", code}, {"description", "x"}})));
    *result = pending.get();
    return connect;
}

int PeerSession::StreamCommand(const std::function<int()>& call, const std::string& name,
                               Answer answer) {
    auto pending = std::async(std::launch::async, call);
    EXPECT_TRUE(peer_.ReadMessageOfType(20, &createStream, 5000, "createStream"));
    EXPECT_TRUE(peer_.SendInvoke(Command("_result", 2, {{"ok", "1"}})));
    EXPECT_TRUE(peer_.ReadMessageOfType(20, &command, 5000, name));
    const bool publish = name == "publish";
    if (answer == Answer::kSuccess || answer == Answer::kError) {
        const bool ok = answer == Answer::kSuccess;
        const std::string code =
            publish ? (ok ? "NetStream.Publish.Start" : "NetStream.Publish.BadName")
                    : (ok ? "NetStream.Play.Start" : "NetStream.Play.StreamNotFound");
        EXPECT_TRUE(peer_.SendInvoke(
            Command("onStatus", 0, {{"level", ok ? "status" : "error"}, {"code", code}}), 1));
    } else if (answer == Answer::kHangUp) {
        peer_.CloseClient();
    } else if (answer == Answer::kDisconnect) {
        EXPECT_EQ(RTMP_Disconnect(handle_), 1);
    }
    return pending.get();
}

}  // namespace testpeer
