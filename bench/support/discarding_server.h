// A loopback RTMP peer for benchmarks: accepts one client, answers the handshake and the
// connect command, then reads and discards everything.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class DiscardingServer {
  public:
    DiscardingServer() {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(listen_, 1);
        socklen_t len = sizeof sa;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~DiscardingServer() {
        shutdown(listen_, SHUT_RDWR);
        close(listen_);
        if (client_ >= 0)
            shutdown(client_, SHUT_RDWR);
        thread_.join();
        if (client_ >= 0)
            close(client_);
    }
    DiscardingServer(const DiscardingServer&) = delete;
    DiscardingServer& operator=(const DiscardingServer&) = delete;

    std::string Url() const { return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/bench"; }
    int Port() const { return port_; }

  private:
    static bool ReadExactly(int fd, size_t n) {
        std::vector<uint8_t> buf(n);
        size_t got = 0;
        while (got < n) {
            const ssize_t r = recv(fd, buf.data() + got, n - got, 0);
            if (r <= 0)
                return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    // _result, 1, null, {level: "status", code: "NetConnection.Connect.Success"} on chunk
    // stream 3 in one chunk.
    static std::vector<uint8_t> ConnectReply() {
        std::vector<uint8_t> body;
        auto str = [&](const std::string& s, bool marker) {
            if (marker)
                body.push_back(0x02);
            body.push_back(static_cast<uint8_t>(s.size() >> 8));
            body.push_back(static_cast<uint8_t>(s.size()));
            body.insert(body.end(), s.begin(), s.end());
        };
        str("_result", true);
        const uint8_t idNullObject[] = {0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x05, 0x03};
        body.insert(body.end(), std::begin(idNullObject), std::end(idNullObject));
        str("level", false);
        str("status", true);
        str("code", false);
        str("NetConnection.Connect.Success", true);
        body.push_back(0);
        body.push_back(0);
        body.push_back(9);
        std::vector<uint8_t> out(12 + body.size(), 0);
        out[0] = 0x03;  // fmt 0, chunk stream 3
        out[6] = static_cast<uint8_t>(body.size());
        out[7] = 20;  // command message
        std::memcpy(out.data() + 12, body.data(), body.size());
        return out;
    }
    void Serve() {
        client_ = accept(listen_, nullptr, nullptr);
        if (client_ < 0 || !ReadExactly(client_, 1537))
            return;
        std::vector<uint8_t> hello(3073, 0);
        hello[0] = 3;
        send(client_, hello.data(), hello.size(), MSG_NOSIGNAL);
        if (!ReadExactly(client_, 1536))
            return;
        const auto reply = ConnectReply();
        send(client_, reply.data(), reply.size(), MSG_NOSIGNAL);
        std::vector<uint8_t> sink(1 << 16);
        while (recv(client_, sink.data(), sink.size(), 0) > 0) {
        }
    }
    int listen_ = -1;
    int client_ = -1;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace bench
