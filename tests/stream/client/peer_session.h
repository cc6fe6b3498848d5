// A client handle connected to a ScriptedPeer, for tests of what the client sends and how it
// reacts to what the server sends.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>

#include "scripted_peer.h"
#include "stream/rtmp.h"

namespace testpeer {

// How the peer meets a publish or play command (createStream is always answered).
enum class Answer {
    kSuccess,     // onStatus with level status
    kError,       // onStatus with level error
    kSilent,      // nothing
    kHangUp,      // the peer closes the connection
    kDisconnect,  // nothing, and another thread disconnects the handle
};

// First value of a command message ("publish", "play", ...), empty for other messages.
inline std::string CommandName(const Message& m) {
    const std::vector<std::string> values = DescribeAmf(m.body);
    return m.type == 20 && !values.empty() && values[0].rfind("s:", 0) == 0 ? values[0].substr(2)
                                                                            : std::string();
}

class PeerSession {
  public:
    PeerSession() : handle_(RTMP_Create()) {}
    ~PeerSession() { RTMP_Release(handle_); }
    PeerSession(const PeerSession&) = delete;
    PeerSession& operator=(const PeerSession&) = delete;

    void* Handle() const { return handle_; }
    ScriptedPeer& Peer() { return peer_; }
    // For a test whose handle was released elsewhere (from a callback).
    void ForgetHandle() { handle_ = nullptr; }

    // Reads client messages until the command of that name arrives.
    bool ReadCommand(const std::string& name, Message* m, int timeoutMs = 5000) {
        while (peer_.ReadMessageOfType(20, m, timeoutMs)) {
            if (CommandName(*m) == name)
                return true;
        }
        return false;
    }

    // Connects through the peer, which accepts with a _result carrying code. Returns the
    // connect message the peer read; *result gets RTMP_Connect's answer.
    Message Connect(const std::string& path, int* result,
                    const std::string& code = "NetConnection.Connect.Success",
                    const char* param1 = nullptr, const char* param2 = nullptr) {
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
        EXPECT_TRUE(peer_.SendInvoke(
            Reply("_result", 1,
                  {{"level", code == "NetConnection.Connect.Success" ? "status" : "error"},
                   {"code", code},
                   {"description", "scripted"}})));
        *result = pending.get();
        return connect;
    }

    // Publishes through the peer, answering createStream and meeting publish with answer.
    // Returns RTMP_Publish's answer; the two commands the peer read are stored.
    int Publish(const char* type, Answer answer = Answer::kSuccess) {
        return StreamCommand([&] { return RTMP_Publish(handle_, type); }, "publish", answer);
    }
    int Play(Answer answer = Answer::kSuccess) {
        return StreamCommand([&] { return RTMP_Play(handle_); }, "play", answer);
    }

    // Runs call (a publish or play) while the peer answers createStream and meets the
    // command of that name with answer; returns call's result.
    int StreamCommand(const std::function<int()>& call, const std::string& name, Answer answer) {
        auto pending = std::async(std::launch::async, call);
        Message* command = name == "publish" ? &publish : &play;
        EXPECT_TRUE(ReadCommand("createStream", &createStream));
        EXPECT_TRUE(peer_.SendInvoke(Reply("_result", 2, {{"ok", "1"}})));
        EXPECT_TRUE(ReadCommand(name, command));
        const std::string start =
            name == "publish" ? "NetStream.Publish.Start" : "NetStream.Play.Start";
        const std::string refusal =
            name == "publish" ? "NetStream.Publish.BadName" : "NetStream.Play.StreamNotFound";
        switch (answer) {
            case Answer::kSuccess:
            case Answer::kError: {
                const bool ok = answer == Answer::kSuccess;
                EXPECT_TRUE(peer_.SendInvoke(
                    Reply("onStatus", 0,
                          {{"level", ok ? "status" : "error"}, {"code", ok ? start : refusal}}),
                    1));
                break;
            }
            case Answer::kSilent:
                break;
            case Answer::kHangUp:
                peer_.CloseClient();
                break;
            case Answer::kDisconnect:
                EXPECT_EQ(RTMP_Disconnect(handle_), 1);
                break;
        }
        return pending.get();
    }

    Message createStream;
    Message publish;
    Message play;

  private:
    ScriptedPeer peer_;
    void* handle_;
};

}  // namespace testpeer
