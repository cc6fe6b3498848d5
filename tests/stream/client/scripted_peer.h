// A minimal RTMP server for byte-exact tests: accepts one client on a loopback port, answers
// the handshake, reads the client's messages with a chunk parser of its own and sends whatever
// the test scripts. PeerSession is a client handle connected through it.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "stream/rtmp.h"
#include "stream_kit.h"

namespace testpeer {

using kit::Bytes;

struct Message {
    int chunkStream = 0, fmt = 0, type = 0;  // fmt: of the message's first chunk
    uint32_t timestamp = 0, streamId = 0;    // timestamp: absolute, as the peer rebuilds it
    Bytes body;
};

// The command name and transaction id of a command message ("" and -1 for others).
std::string CommandName(const Message& m);
long TransactionId(const Message& m);

class ScriptedPeer {
  public:
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& appAndStream) const {
        return "rtmp://127.0.0.1:" + std::to_string(port_) + "/" + appAndStream;
    }
    // Receive buffer of the connections accepted from now on (a small one makes a peer that
    // stops reading push back on the client at once).
    void SetReceiveBuffer(int bytes);
    bool Accept(int timeoutMs = 5000);
    // Reads C0+C1, sends S0+S1+S2 (S2 echoes C1), reads C2.
    bool ServeHandshake(int timeoutMs = 5000);
    // Next complete message from the client, false on time-out or close.
    bool ReadMessage(Message* m, int timeoutMs = 5000);
    // Reads messages until one of the type arrives (and, for commands, of the name).
    bool ReadMessageOfType(int type, Message* m, int timeoutMs = 5000,
                           const std::string& name = "");
    bool Send(const Bytes& bytes);
    // Sends a message in 128-byte chunks behind a type-0 header.
    bool SendMessage(int chunkStream, int type, uint32_t streamId, uint32_t timestamp,
                     const Bytes& body);
    bool SendInvoke(const Bytes& body, uint32_t streamId = 0) {
        return SendMessage(3, 20, streamId, 0, body);
    }
    void CloseClient();
    // True when the client closed its side within timeoutMs.
    bool WaitClientClosed(int timeoutMs);

    Bytes c0c1, s1, c2;

  private:
    bool Fill(size_t n, int timeoutMs);
    bool ReadRaw(Bytes* out, size_t n, int timeoutMs);
    int listenFd_ = -1, clientFd_ = -1;
    uint16_t port_ = 0;
    Bytes in_;  // received, not yet parsed
    struct ChunkState {
        uint32_t timestamp = 0, delta = 0, length = 0, streamId = 0;
        int type = 0, firstFmt = 0;
        bool extended = false;
        Bytes partial;
    };
    ChunkState streams_[64];
};

// How the peer meets a publish or play command (createStream is always answered).
enum class Answer {
    kSuccess,     // onStatus with level status
    kError,       // onStatus with level error
    kSilent,      // nothing
    kHangUp,      // the peer closes the connection
    kDisconnect,  // nothing, and another thread disconnects the handle
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

    // Connects through the peer, which answers with a _result carrying code. Returns the
    // connect message the peer read; *result gets RTMP_Connect's answer.
    Message Connect(const std::string& path, int* result,
                    const std::string& code = "NetConnection.Connect.Success",
                    const char* param1 = nullptr, const char* param2 = nullptr);
    // Connects and fails the test unless the connection stands.
    void Connected(const std::string& path = "live/cam") {
        int ok = 0;
        Connect(path, &ok);
        ASSERT_EQ(ok, 1);
    }
    // Publishes or plays through the peer, answering createStream and meeting the command
    // with answer. Returns the call's answer; the commands the peer read are stored.
    int Publish(const char* type, Answer answer = Answer::kSuccess) {
        return StreamCommand([&] { return RTMP_Publish(handle_, type); }, "publish", answer);
    }
    int Play(Answer answer = Answer::kSuccess) {
        return StreamCommand([&] { return RTMP_Play(handle_); }, "play", answer);
    }

    Message createStream, command;

  private:
    int StreamCommand(const std::function<int()>& call, const std::string& name, Answer answer);
    ScriptedPeer peer_;
    void* handle_;
};

}  // namespace testpeer
