#include "scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstring>

namespace testpeer {
namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
}

uint32_t Be(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

void PutBe(std::vector<uint8_t>& out, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

ScriptedPeer::ScriptedPeer() {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    listen(listenFd_, 4);
    socklen_t len = sizeof sa;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
}

ScriptedPeer::~ScriptedPeer() {
    CloseClient();
    if (listenFd_ >= 0)
        close(listenFd_);
}

std::string ScriptedPeer::Url(const std::string& appAndStream) const {
    return "rtmp://127.0.0.1:" + std::to_string(port_) + "/" + appAndStream;
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
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (in_.size() < n) {
        pollfd p{clientFd_, POLLIN, 0};
        if (poll(&p, 1, MillisLeft(deadline)) <= 0)
            return false;
        uint8_t buf[65536];
        const ssize_t r = recv(clientFd_, buf, sizeof buf, 0);
        if (r <= 0)
            return false;
        in_.insert(in_.end(), buf, buf + r);
    }
    return true;
}

bool ScriptedPeer::ReadRaw(std::vector<uint8_t>* out, size_t n, int timeoutMs) {
    if (!Fill(n, timeoutMs))
        return false;
    out->assign(in_.begin(), in_.begin() + static_cast<long>(n));
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(n));
    return true;
}

bool ScriptedPeer::ServeHandshake(int timeoutMs) {
    if (!ReadRaw(&c0c1_, 1537, timeoutMs))
        return false;
    std::vector<uint8_t> answer(1 + 1536 * 2);
    answer[0] = 3;
    s1_.assign(1536, 0);
    for (size_t i = 8; i < s1_.size(); ++i)
        s1_[i] = static_cast<uint8_t>(i * 7 + 3);
    std::memcpy(answer.data() + 1, s1_.data(), 1536);
    std::memcpy(answer.data() + 1 + 1536, c0c1_.data() + 1, 1536);
    if (!Send(answer))
        return false;
    return ReadRaw(&c2_, 1536, timeoutMs);
}

bool ScriptedPeer::ReadMessage(Message* m, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Try to parse one whole chunk from what has arrived.
        size_t pos = 0;
        auto need = [&](size_t n) { return in_.size() >= pos + n; };
        bool parsed = false;
        if (need(1)) {
            const uint8_t b = in_[pos++];
            const int fmt = b >> 6;
            int cs = b & 0x3F;
            bool ok = true;
            if (cs == 0) {
                ok = need(1);
                if (ok)
                    cs = 64 + in_[pos++];
            } else if (cs == 1) {
                ok = need(2);
                if (ok) {
                    cs = 64 + in_[pos] + 256 * in_[pos + 1];
                    pos += 2;
                }
            }
            if (cs >= 64)
                return false;  // the client never uses such ids
            static const int kHeaderSize[4] = {11, 7, 3, 0};
            ChunkState& st = streams_[cs];
            if (ok && need(static_cast<size_t>(kHeaderSize[fmt]))) {
                const uint8_t* h = in_.data() + pos;
                uint32_t field = 0, length = st.length, streamId = st.streamId;
                int type = st.type;
                if (fmt <= 2)
                    field = Be(h, 3);
                if (fmt <= 1) {
                    length = Be(h + 3, 3);
                    type = h[6];
                }
                if (fmt == 0)
                    streamId = h[7] | h[8] << 8 | h[9] << 16 | uint32_t(h[10]) << 24;
                pos += static_cast<size_t>(kHeaderSize[fmt]);
                const bool extended = fmt <= 2 ? field == 0xFFFFFF : st.extended;
                uint32_t ext = 0;
                if (extended) {
                    ok = need(4);
                    if (ok) {
                        ext = Be(in_.data() + pos, 4);
                        pos += 4;
                    }
                }
                const size_t have = st.partial.size();
                const size_t n = std::min<size_t>(static_cast<size_t>(inChunkSize_),
                                                  length > have ? length - have : 0);
                if (ok && need(n)) {
                    // Whole chunk present: apply it.
                    const uint32_t value = extended ? ext : field;
                    if (fmt <= 2)
                        st.extended = field == 0xFFFFFF;
                    st.length = length;
                    st.type = type;
                    st.streamId = streamId;
                    if (have == 0) {
                        if (fmt == 0) {
                            st.timestamp = value;
                            st.delta = 0;
                        } else {
                            if (fmt != 3)
                                st.delta = value;
                            st.timestamp += st.delta;
                        }
                        st.firstFmt = fmt;
                        st.firstField = fmt == 3 ? 0 : value;
                    }
                    st.partial.insert(st.partial.end(), in_.begin() + static_cast<long>(pos),
                                      in_.begin() + static_cast<long>(pos + n));
                    pos += n;
                    in_.erase(in_.begin(), in_.begin() + static_cast<long>(pos));
                    parsed = true;
                    if (st.partial.size() == st.length) {
                        m->chunkStream = cs;
                        m->fmt = st.firstFmt;
                        m->timestamp = st.timestamp;
                        m->timestampField = st.firstField;
                        m->type = st.type;
                        m->streamId = st.streamId;
                        m->body.swap(st.partial);
                        st.partial.clear();
                        return true;
                    }
                }
            }
        }
        if (parsed)
            continue;
        if (!Fill(in_.size() + 1, MillisLeft(deadline)))
            return false;
    }
}

bool ScriptedPeer::ReadMessageOfType(int type, Message* m, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ReadMessage(m, MillisLeft(deadline))) {
        if (m->type == type)
            return true;
    }
    return false;
}

bool ScriptedPeer::Send(const std::vector<uint8_t>& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = send(clientFd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

bool ScriptedPeer::SendMessage(int chunkStream, int type, uint32_t streamId, uint32_t timestamp,
                               const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    out.push_back(static_cast<uint8_t>(chunkStream));
    PutBe(out, timestamp, 3);
    PutBe(out, body.size(), 3);
    out.push_back(static_cast<uint8_t>(type));
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(streamId >> (8 * i)));
    for (size_t off = 0; off < body.size(); off += 128) {
        if (off > 0)
            out.push_back(static_cast<uint8_t>(0xC0 | chunkStream));
        const size_t n = std::min<size_t>(128, body.size() - off);
        out.insert(out.end(), body.begin() + static_cast<long>(off),
                   body.begin() + static_cast<long>(off + n));
    }
    return Send(out);
}

bool ScriptedPeer::SendInvoke(const std::vector<uint8_t>& amfBody, uint32_t streamId) {
    return SendMessage(3, 20, streamId, 0, amfBody);
}

void ScriptedPeer::CloseClient() {
    if (clientFd_ >= 0) {
        shutdown(clientFd_, SHUT_RDWR);
        close(clientFd_);
        clientFd_ = -1;
    }
}

bool ScriptedPeer::WaitClientClosed(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd p{clientFd_, POLLIN, 0};
        if (poll(&p, 1, MillisLeft(deadline)) <= 0)
            return false;
        uint8_t buf[4096];
        const ssize_t r = recv(clientFd_, buf, sizeof buf, 0);
        if (r <= 0)
            return true;
    }
}

void AmfString(std::vector<uint8_t>& out, const std::string& s) {
    out.push_back(0x02);
    PutBe(out, s.size(), 2);
    out.insert(out.end(), s.begin(), s.end());
}

void AmfNumber(std::vector<uint8_t>& out, double d) {
    out.push_back(0x00);
    PutBe(out, std::bit_cast<uint64_t>(d), 8);
}

void AmfNull(std::vector<uint8_t>& out) {
    out.push_back(0x05);
}

void AmfObject(std::vector<uint8_t>& out,
               const std::vector<std::pair<std::string, std::string>>& props) {
    out.push_back(0x03);
    for (const auto& [k, v] : props) {
        PutBe(out, k.size(), 2);
        out.insert(out.end(), k.begin(), k.end());
        AmfString(out, v);
    }
    out.insert(out.end(), {0, 0, 9});
}

std::vector<uint8_t> Reply(const std::string& name, double id,
                           const std::vector<std::pair<std::string, std::string>>& info) {
    std::vector<uint8_t> body;
    AmfString(body, name);
    AmfNumber(body, id);
    AmfNull(body);
    AmfObject(body, info);
    return body;
}

std::vector<std::string> DescribeAmf(const std::vector<uint8_t>& body) {
    std::vector<std::string> out;
    size_t p = 0;
    auto str16 = [&](std::string* s) {
        if (p + 2 > body.size())
            return false;
        const size_t n = Be(&body[p], 2);
        p += 2;
        if (p + n > body.size())
            return false;
        s->assign(body.begin() + static_cast<long>(p), body.begin() + static_cast<long>(p + n));
        p += n;
        return true;
    };
    while (p < body.size()) {
        const uint8_t m = body[p++];
        std::string s;
        if (m == 0x00 && p + 8 <= body.size()) {
            uint64_t bits = 0;
            for (int i = 0; i < 8; ++i)
                bits = bits << 8 | body[p + static_cast<size_t>(i)];
            p += 8;
            const double d = std::bit_cast<double>(bits);
            out.push_back("n:" + std::to_string(static_cast<long long>(d)));
        } else if (m == 0x01 && p < body.size()) {
            out.push_back("b:" + std::to_string(body[p++]));
        } else if (m == 0x02 && str16(&s)) {
            out.push_back("s:" + s);
        } else if (m == 0x05) {
            out.push_back("null");
        } else if (m == 0x03 || m == 0x08) {
            if (m == 0x08)
                p += 4;
            out.push_back(m == 0x03 ? "{" : "[");
            while (p + 3 <= body.size() &&
                   !(body[p] == 0 && body[p + 1] == 0 && body[p + 2] == 9)) {
                if (!str16(&s))
                    return out;
                out.push_back("k:" + s);
                // The value follows as a single value of the loop above.
                const size_t before = out.size();
                std::vector<uint8_t> rest(body.begin() + static_cast<long>(p), body.end());
                std::vector<std::string> inner = DescribeAmf(rest);
                if (inner.empty())
                    return out;
                out.push_back(inner.front());
                // Advance over that one value.
                const uint8_t vm = body[p];
                if (vm == 0x00) {
                    p += 9;
                } else if (vm == 0x01) {
                    p += 2;
                } else if (vm == 0x02) {
                    p += 3 + Be(&body[p + 1], 2);
                } else if (vm == 0x05) {
                    p += 1;
                } else {
                    out.resize(before);
                    return out;
                }
            }
            p += 3;
            out.push_back("}");
        } else {
            out.push_back("?" + std::to_string(m));
            return out;
        }
    }
    return out;
}

}  // namespace testpeer
