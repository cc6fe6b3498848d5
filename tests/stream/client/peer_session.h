// A client handle connected to a ScriptedPeer, for tests of what the client sends and how it
// reacts to what the server sends.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "scripted_peer.h"
#include "stream/rtmp.h"

namespace testpeer {

class PeerSession {
  public:
    PeerSession() : handle_(RTMP_Create()) {}
    ~PeerSession() { RTMP_Release(handle_); }
    PeerSession(const PeerSession&) = delete;
    PeerSession& operator=(const PeerSession&) = delete;

    void* Handle() const { return handle_; }
    ScriptedPeer& Peer() { return peer_; }

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

    // Publishes through the peer, answering createStream and publish. Returns RTMP_Publish's
    // answer; the two commands the peer read are stored.
    int Publish(const char* type, const std::string& publishLevel = "status") {
        auto pending = std::async(std::launch::async, [&] { return RTMP_Publish(handle_, type); });
        EXPECT_TRUE(peer_.ReadMessageOfType(20, &createStream));
        EXPECT_TRUE(peer_.SendInvoke(Reply("_result", 2, {{"ok", "1"}})));
        EXPECT_TRUE(peer_.ReadMessageOfType(20, &publish));
        EXPECT_TRUE(peer_.SendInvoke(
            Reply("onStatus", 0,
                  {{"level", publishLevel},
                   {"code", publishLevel == "status" ? "NetStream.Publish.Start"
                                                     : "NetStream.Publish.BadName"}}),
            1));
        return pending.get();
    }

    Message createStream;
    Message publish;

  private:
    ScriptedPeer peer_;
    void* handle_;
};

}  // namespace testpeer
