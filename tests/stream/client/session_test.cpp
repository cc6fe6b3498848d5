// The client against a scripted server: handshake, commands, answers, control messages.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <future>
#include <mutex>
#include <thread>

#include "peer_session.h"
#include "wire/ping_message.h"

namespace testpeer {
namespace {

using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

long TransactionId(const Message& m) {
    const Strings values = DescribeAmf(m.body);
    return values.size() > 1 && values[1].rfind("n:", 0) == 0 ? std::stol(values[1].substr(2)) : -1;
}

TEST(ClientHandshake, SendsPlainHelloAndEchoesServerHello) {
    PeerSession s;
    int ok = 0;
    s.Connect("live/cam", &ok);
    ASSERT_EQ(ok, 1);
    const auto& c0c1 = s.Peer().C0C1();
    EXPECT_EQ(c0c1[0], 0x03);
    EXPECT_EQ((std::vector<uint8_t>(c0c1.begin() + 1, c0c1.begin() + 9)),
              (std::vector<uint8_t>{0x00, 0x1C, 0xCF, 0x88, 0, 0, 0, 0}));
    EXPECT_EQ(s.Peer().C2(), s.Peer().S1());
    EXPECT_EQ(RTMP_GetState(s.Handle()), 1);
}

TEST(ClientHandshake, SilentServerFailsWithinSecondsAndADisconnectEndsTheWaitAtOnce) {
    for (const bool disconnect : {false, true}) {
        ScriptedPeer peer;
        void* h = RTMP_Create();
        auto pending = std::async(std::launch::async,
                                  [&] { return RTMP_Connect(h, peer.Url("live/cam").c_str()); });
        ASSERT_TRUE(peer.Accept());
        const auto start = Clock::now();
        if (disconnect) {
            EXPECT_EQ(RTMP_Disconnect(h), 1);  // the connection is attached while it connects
        }
        EXPECT_EQ(pending.get(), 0);  // never answered the hello
        // The hello's own limit is 5 s; a Disconnect ends the wait long before it.
        EXPECT_LT(Clock::now() - start,
                  disconnect ? std::chrono::seconds(2) : std::chrono::seconds(8));
        EXPECT_EQ(RTMP_GetState(h), 0);
        EXPECT_EQ(RTMP_Disconnect(h), 0);  // nothing left attached
        RTMP_Release(h);
    }
}

TEST(ClientHandshake, UnreachableServerFails) {
    std::string url;
    {
        ScriptedPeer closedSoon;
        url = closedSoon.Url("live/cam");
    }  // nothing listens there any more
    void* h = RTMP_Create();
    EXPECT_EQ(RTMP_Connect(h, url.c_str()), 0);
    EXPECT_EQ(RTMP_GetState(h), 0);
    RTMP_Release(h);
}

TEST(ClientCommands, ConnectCarriesTheFlash9Object) {
    PeerSession s;
    int ok = 0;
    Message m = s.Connect("encoder/qkz/mp4:abc", &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(m.chunkStream, 3);
    EXPECT_EQ(m.fmt, 0);
    EXPECT_EQ(m.streamId, 0u);
    EXPECT_EQ(m.timestamp, 0u);
    const std::string tcUrl =
        "rtmp://127.0.0.1:" + std::to_string(s.Peer().Port()) + "/encoder/qkz";
    Strings expected = {"s:connect",
                        "n:" + std::to_string(TransactionId(m)),
                        "[",
                        "k:app",
                        "s:encoder/qkz",
                        "k:flashVer",
                        "s:WIN 9,0,115,0",
                        "k:swfUrl",
                        "s:http://127.0.0.1/Vistrel.swf",
                        "k:pageUrl",
                        "s:http://127.0.0.1/Vistrel.html",
                        "k:tcUrl",
                        "s:" + tcUrl,
                        "k:fpad",
                        "b:0",
                        "k:capabilities",
                        "n:15",
                        "k:audioCodecs",
                        "n:3191",
                        "k:videoCodecs",
                        "n:252",
                        "k:videoFunction",
                        "n:1",
                        "k:objectEncoding",
                        "n:0",
                        "}",
                        "s:",
                        "s:"};
    EXPECT_EQ(DescribeAmf(m.body), expected);
    EXPECT_GT(m.body.size(), 128u);  // went out in more than one chunk
}

TEST(ClientCommands, ConnectWithVersion8Marker) {
    PeerSession s;
    int ok = 0;
    Message m =
        s.Connect("live/x", &ok, "NetConnection.Connect.Success", "NetConnect.Ver8", "second");
    ASSERT_EQ(ok, 1);
    const std::string tcUrl = "rtmp://127.0.0.1:" + std::to_string(s.Peer().Port()) + "/live";
    Strings expected = {"s:connect",
                        "n:" + std::to_string(TransactionId(m)),
                        "[",
                        "k:objectEncoding",
                        "n:0",
                        "k:app",
                        "s:live",
                        "k:fpad",
                        "b:0",
                        "k:flashVer",
                        "s:WIN 8,0,45,0",
                        "k:tcUrl",
                        "s:" + tcUrl,
                        "k:audioCodecs",
                        "n:615",
                        "k:videoCodecs",
                        "n:76",
                        "}",
                        "s:NetConnect.Ver8",
                        "s:second"};
    EXPECT_EQ(DescribeAmf(m.body), expected);
}

TEST(ClientCommands, TransactionIdsRiseAcrossPublishAndReconnect) {
    PeerSession s;
    int ok = 0;
    Message connect = s.Connect("live/cam1", &ok);
    ASSERT_EQ(ok, 1);
    ASSERT_EQ(s.Publish("live"), 1);
    const long first = TransactionId(connect);
    EXPECT_EQ(TransactionId(s.createStream), first + 1);
    EXPECT_EQ(TransactionId(s.publish), first + 2);
    EXPECT_EQ(DescribeAmf(s.createStream.body),
              (Strings{"s:createStream", "n:" + std::to_string(first + 1), "null"}));
    EXPECT_EQ(s.createStream.chunkStream, 3);
    EXPECT_EQ(s.publish.chunkStream, 4);
    EXPECT_EQ(s.publish.streamId, 1u);
    EXPECT_EQ(DescribeAmf(s.publish.body),
              (Strings{"s:publish", "n:" + std::to_string(first + 2), "null", "s:cam1", "s:live"}));

    Message again = s.Connect("live/cam1", &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(TransactionId(again), first + 3);
}

TEST(ClientCommands, PublishTypeIsExactAndCaseSensitive) {
    const std::pair<const char*, const char*> cases[] = {
        {"record", "record"}, {"append", "append"}, {"Record", "live"}, {"live", "live"}};
    for (const auto& [given, sent] : cases) {
        PeerSession s;
        int ok = 0;
        s.Connect("live/mp4:abc", &ok);
        ASSERT_EQ(ok, 1);
        ASSERT_EQ(s.Publish(given), 1);
        const Strings body = DescribeAmf(s.publish.body);
        ASSERT_EQ(body.size(), 5u);
        EXPECT_EQ(body[3], "s:mp4:abc");
        EXPECT_EQ(body[4], std::string("s:") + sent) << given;
    }
}

TEST(ClientCommands, PublishAndPlayVerdictsAreTheServersAnswer) {
    struct Case {
        const char* command;
        Answer answer;
        int expected;
    };
    const Case cases[] = {
        {"publish", Answer::kSuccess, 1},    {"publish", Answer::kError, 0},
        {"publish", Answer::kSilent, 0},     {"publish", Answer::kHangUp, 0},
        {"publish", Answer::kDisconnect, 0}, {"play", Answer::kSuccess, 1},
        {"play", Answer::kError, 0},         {"play", Answer::kSilent, 0},
        {"play", Answer::kHangUp, 0},        {"play", Answer::kDisconnect, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " answer " +
                     std::to_string(static_cast<int>(c.answer)));
        PeerSession s;
        int ok = 0;
        s.Connect("live/cam", &ok);
        ASSERT_EQ(ok, 1);
        const auto start = Clock::now();
        const int result =
            std::string(c.command) == "play" ? s.Play(c.answer) : s.Publish("live", c.answer);
        EXPECT_EQ(result, c.expected);
        // A silent server is given up after the command's limit of about 3 s; a hang-up or
        // a Disconnect ends the wait at once.
        const auto limit =
            c.answer == Answer::kSilent ? std::chrono::seconds(6) : std::chrono::seconds(2);
        EXPECT_LT(Clock::now() - start, limit);
    }
}

TEST(ClientCommands, PlayWithoutStreamNameSendsNothingAndFails) {
    PeerSession s;
    int ok = 0;
    s.Connect("live/", &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(RTMP_Play(s.Handle()), 0);
}

TEST(ClientCommands, RejectedConnectLeavesNoConnection) {
    PeerSession s;
    int ok = 1;
    s.Connect("nosuchapp/x", &ok, "NetConnection.Connect.Rejected");
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(RTMP_GetState(s.Handle()), 0);
    EXPECT_EQ(RTMP_Play(s.Handle()), 0);
    EXPECT_EQ(RTMP_Disconnect(s.Handle()), 0);
}

TEST(ClientCommands, NewConnectWithBadUrlDropsTheOldConnection) {
    PeerSession s;
    int ok = 0;
    s.Connect("live/cam", &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(RTMP_Connect(s.Handle(), "rtmp:/bad"), 0);
    EXPECT_EQ(RTMP_GetState(s.Handle()), 0);
    EXPECT_TRUE(s.Peer().WaitClientClosed(2000));
}

TEST(ClientCommands, CallCollectsTheAnswerLinesAndGivesTheServersVerdict) {
    struct Case {
        const char* reply;
        int expected;
        const char* lines;
    };
    const Case cases[] = {
        {"_result", 1,
         ",InvokeName=_result,InvokeID=1,Param=room,room=open,CallResult=Vistrel.Call.Success"},
        {"_error", 0,
         ",InvokeName=_error,InvokeID=1,Param=room,room=open,CallResult=Vistrel.Call.Failed"},
    };
    for (const Case& c : cases) {
        PeerSession s;
        int ok = 0;
        s.Connect("live/cam", &ok);
        ASSERT_EQ(ok, 1);
        const char* texts[] = {"getRoomInfo", "42", "teacher"};
        char result[256];
        auto pending = std::async(std::launch::async, [&] {
            return RTMP_Call(s.Handle(), texts, 3, result, sizeof result);
        });
        Message call;
        ASSERT_TRUE(s.Peer().ReadMessageOfType(20, &call));
        EXPECT_EQ(DescribeAmf(call.body),
                  (Strings{"s:getRoomInfo", "n:1", "null", "s:42", "s:teacher"}));
        EXPECT_EQ(call.chunkStream, 3);
        ASSERT_TRUE(s.Peer().SendInvoke(Reply(c.reply, 1, {{"room", "open"}})));
        EXPECT_EQ(pending.get(), c.expected) << c.reply;
        EXPECT_STREQ(result, c.lines);
    }
}

TEST(ClientCommands, CallWithoutAnswerFailsWithAnEmptyResult) {
    PeerSession s;
    int ok = 0;
    s.Connect("live/cam", &ok);
    ASSERT_EQ(ok, 1);
    const char* texts[] = {"noAnswer"};
    char result[64];
    std::memset(result, 'x', sizeof result);
    EXPECT_EQ(RTMP_Call(s.Handle(), texts, 1, result, sizeof result), 0);
    EXPECT_STREQ(result, "");
    EXPECT_EQ(RTMP_Call(s.Handle(), texts, 0, result, sizeof result), 0);
    EXPECT_EQ(RTMP_Call(s.Handle(), texts, 1, nullptr, 10), 0);
}

struct CallbackLog {
    std::mutex mutex;
    std::vector<std::string> texts;
    std::vector<int> lengths;
};

int RecordCallBack(void* user, const char* text, int length) {
    auto* log = static_cast<CallbackLog*>(user);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->texts.emplace_back(text);
    log->lengths.push_back(length);
    return 0;
}

// A server invocation of the client's "CallBack" with one text.
std::vector<uint8_t> CallBackBody(const std::string& text) {
    std::vector<uint8_t> body;
    AmfString(body, "CallBack");
    AmfNumber(body, 0);
    AmfNull(body);
    AmfString(body, text);
    return body;
}

TEST(ClientReceive, ServerCallBackReachesTheCallback) {
    PeerSession s;
    int ok = 0;
    s.Connect("live/cam", &ok);
    ASSERT_EQ(ok, 1);
    CallbackLog log;
    EXPECT_EQ(RTMP_SetCallBack(s.Handle(), RecordCallBack, &log), 1);
    ASSERT_TRUE(s.Peer().SendMessage(3, 18, 0, 0, CallBackBody("lesson=started")));
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard<std::mutex> lock(log.mutex);
            if (!log.texts.empty())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard<std::mutex> lock(log.mutex);
    ASSERT_EQ(log.texts.size(), 1u);
    EXPECT_EQ(log.texts[0], "lesson=started");
    EXPECT_EQ(log.lengths[0], 14);
}

// A callback that acts on its own handle, on the receive thread.
struct InsideCallback {
    void* handle = nullptr;
    int (*action)(void* handle) = nullptr;
    std::promise<int> result;
};

int ActFromCallBack(void* user, const char*, int) {
    auto* inside = static_cast<InsideCallback*>(user);
    inside->result.set_value(inside->action(inside->handle));
    return 0;
}

TEST(ClientReceive, CallbackMayDisconnectReconnectOrReleaseItsOwnHandle) {
    struct Case {
        const char* name;
        int (*action)(void*);
        int expected;
        bool connectionEnds;
        bool released;
    };
    const Case cases[] = {
        {"disconnect", [](void* h) { return RTMP_Disconnect(h); }, 1, true, false},
        {"connect to a bad URL", [](void* h) { return RTMP_Connect(h, "rtmp:/bad"); }, 0, true,
         false},
        // Its answer could only come through the thread that is waiting: refused at once.
        {"publish", [](void* h) { return RTMP_Publish(h, "live"); }, 0, false, false},
        {"release", [](void* h) { return RTMP_Release(h); }, 1, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PeerSession s;
        int ok = 0;
        s.Connect("live/cam", &ok);
        ASSERT_EQ(ok, 1);
        InsideCallback inside{s.Handle(), c.action, {}};
        std::future<int> result = inside.result.get_future();
        ASSERT_EQ(RTMP_SetCallBack(s.Handle(), ActFromCallBack, &inside), 1);
        ASSERT_TRUE(s.Peer().SendMessage(3, 18, 0, 0, CallBackBody("bye")));
        ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(result.get(), c.expected);
        if (c.connectionEnds) {
            EXPECT_TRUE(s.Peer().WaitClientClosed(2000));
        }
        if (c.released) {
            s.ForgetHandle();
            continue;
        }
        EXPECT_EQ(RTMP_GetState(s.Handle()), c.connectionEnds ? 0 : 1);
        // The handle serves the next connection as before.
        s.Connect("live/cam", &ok);
        ASSERT_EQ(ok, 1);
        EXPECT_EQ(s.Publish("live"), 1);
    }
}

TEST(ClientReceive, CallbacksNeedAConnection) {
    void* h = RTMP_Create();
    CallbackLog log;
    EXPECT_EQ(RTMP_SetCallBack(h, RecordCallBack, &log), 0);
    EXPECT_EQ(RTMP_SetStreamOut(h, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(RTMP_Play(h), 0);
    EXPECT_EQ(RTMP_GetState(h), 0);
    EXPECT_EQ(RTMP_Disconnect(h), 0);
    RTMP_Release(h);
}

TEST(ClientReceive, PingRequestIsAnsweredWithTheClientClock) {
    PeerSession s;
    int ok = 0;
    s.Connect("live/cam", &ok);
    ASSERT_EQ(ok, 1);
    const long long before = static_cast<long long>(std::time(nullptr));
    ASSERT_TRUE(s.Peer().SendMessage(2, 4, 0, 0, {0x00, 0x06, 0x00, 0x00, 0x04, 0xD2}));
    Message answer;
    ASSERT_TRUE(s.Peer().ReadMessageOfType(4, &answer));
    const long long after = static_cast<long long>(std::time(nullptr));
    EXPECT_EQ(answer.chunkStream, 2);
    EXPECT_EQ(answer.streamId, 0u);
    ASSERT_EQ(answer.body.size(), 6u);
    EXPECT_EQ(answer.body[0], 0x00);
    EXPECT_EQ(answer.body[1], 0x07);
    const uint32_t clock = uint32_t{answer.body[2]} << 24 | uint32_t{answer.body[3]} << 16 |
                           uint32_t{answer.body[4]} << 8 | answer.body[5];
    EXPECT_TRUE(clock == rtmp::PingClockValue(before) || clock == rtmp::PingClockValue(after));
    EXPECT_NE(clock, 1234u);
}

TEST(ClientReceive, AcknowledgesEveryWindowOfBytes) {
    // 0: the server sets no window, the client's own of 5 MiB applies.
    for (const uint32_t window : {0u, 300000u}) {
        SCOPED_TRACE(window);
        PeerSession s;
        int ok = 0;
        s.Connect("live/cam", &ok);
        ASSERT_EQ(ok, 1);
        const uint32_t expected = window == 0 ? 5242880u : window;
        size_t sent = 0;
        if (window != 0) {
            ASSERT_TRUE(s.Peer().SendMessage(
                2, 5, 0, 0,
                {static_cast<uint8_t>(window >> 24), static_cast<uint8_t>(window >> 16),
                 static_cast<uint8_t>(window >> 8), static_cast<uint8_t>(window)}));
            sent += 12 + 4;
        }
        // Unsolicited audio the client has no output for: counted, not delivered.
        const std::vector<uint8_t> body(60000, 0xAF);
        Message ack;
        std::vector<uint32_t> acks;
        for (int i = 0; i < 200 && acks.size() < 2; ++i) {
            ASSERT_TRUE(s.Peer().SendMessage(5, 8, 1, static_cast<uint32_t>(i), body));
            sent += 12 + body.size() + (body.size() - 1) / 128;
            if (sent >= expected * (acks.size() + 1)) {
                ASSERT_TRUE(s.Peer().ReadMessageOfType(3, &ack));
                ASSERT_EQ(ack.body.size(), 4u);
                acks.push_back(uint32_t{ack.body[0]} << 24 | uint32_t{ack.body[1]} << 16 |
                               uint32_t{ack.body[2]} << 8 | ack.body[3]);
            }
        }
        ASSERT_EQ(acks.size(), 2u);
        EXPECT_GE(acks[0], expected);
        EXPECT_LT(acks[0], expected + 20480u);
        EXPECT_GE(acks[1], 2 * expected);
        EXPECT_LT(acks[1], 2 * expected + 20480u);
        EXPECT_EQ(ack.chunkStream, 2);
        EXPECT_EQ(RTMP_GetState(s.Handle()), 1);
    }
}

TEST(ClientReceive, ServerClosingEndsTheConnectionWithinASecond) {
    PeerSession s;
    int ok = 0;
    s.Connect("live/cam", &ok);
    ASSERT_EQ(ok, 1);
    s.Peer().CloseClient();
    const auto start = Clock::now();
    while (RTMP_GetState(s.Handle()) != 0 && Clock::now() - start < std::chrono::seconds(1)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(RTMP_GetState(s.Handle()), 0);
    const uint8_t frame[] = {0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC, 0x21};
    EXPECT_EQ(RTMP_SendStream(s.Handle(), frame, sizeof frame, 23, 8), 0);
}

TEST(ClientReceive, BrokenChunkStreamEndsTheConnection) {
    PeerSession s;
    int ok = 0;
    s.Connect("live/cam", &ok);
    ASSERT_EQ(ok, 1);
    ASSERT_TRUE(s.Peer().Send({0x0F, 0, 0, 0, 0, 0, 4, 20, 0, 0, 0, 0, 1, 2, 3, 4}));  // id 15
    const auto start = Clock::now();
    while (RTMP_GetState(s.Handle()) != 0 && Clock::now() - start < std::chrono::seconds(2)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(RTMP_GetState(s.Handle()), 0);
}

TEST(ClientSend, PeerThatStopsReadingEndsTheConnectionInsteadOfHangingOrCutting) {
    struct Case {
        const char* name;
        size_t sliceBytes;
        int peerReceiveBuffer;  // 0: the system's
        bool paced;             // a unit every 5 ms, like a live encoder
    };
    const Case cases[] = {
        {"big units as fast as they go", 400000, 0, false},
        {"a live stream into a peer gone silent", 2000, 4096, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PeerSession s;
        if (c.peerReceiveBuffer != 0)
            s.Peer().SetReceiveBuffer(c.peerReceiveBuffer);
        int ok = 0;
        s.Connect("live/cam", &ok);
        ASSERT_EQ(ok, 1);
        ASSERT_EQ(s.Publish("live"), 1);
        // SPS, PPS, then IDR slices that the peer never reads.
        std::vector<uint8_t> unit = {0, 0, 0,    1,    0x67, 0x64, 0x00, 0x28, 0xAC, 0, 0,
                                     0, 1, 0x68, 0xEE, 0x3C, 0x80, 0,    0,    0,    1, 0x65};
        unit.resize(unit.size() + c.sliceBytes, 0x5A);
        int result = 1;
        const auto start = Clock::now();
        while (result == 1 && Clock::now() - start < std::chrono::seconds(40)) {
            const auto callStart = Clock::now();
            result = RTMP_SendStream(s.Handle(), unit.data(), static_cast<int>(unit.size()), 5, 9);
            EXPECT_LT(Clock::now() - callStart, std::chrono::seconds(6));
            if (c.paced)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(RTMP_GetState(s.Handle()), 0);
        // Noticed within about 20 s, so a watchdog can reconnect.
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(25));
    }
}

TEST(ClientMetadata, BodyHeaderAndOwnership) {
    PeerSession s;
    int ok = 0;
    s.Connect("live/cam", &ok);
    ASSERT_EQ(ok, 1);
    void* md = RTMP_CreateMetaData();
    EXPECT_EQ(RTMP_AddMetaDataDouble(md, "width", 640), 1);
    EXPECT_EQ(RTMP_AddMetaDataDouble(md, "height", 480), 1);
    EXPECT_EQ(RTMP_AddMetaDataString(md, "", "skipped"), 1);
    EXPECT_EQ(RTMP_AddMetaDataString(md, "encoder", std::string(700, 'e').c_str()), 1);
    EXPECT_EQ(RTMP_AddMetaDataString(md, nullptr, "x"), 0);
    EXPECT_EQ(RTMP_AddMetaDataDouble(nullptr, "x", 1), 0);
    EXPECT_EQ(RTMP_ApplyMetaData(s.Handle(), md), 1);
    Message m;
    ASSERT_TRUE(s.Peer().ReadMessageOfType(18, &m));
    EXPECT_EQ(m.chunkStream, 4);
    EXPECT_EQ(m.streamId, 1u);
    EXPECT_EQ(DescribeAmf(m.body),
              (Strings{"s:@setDataFrame", "s:onMetaData", "{", "k:width", "n:640", "k:height",
                       "n:480", "k:encoder", "s:" + std::string(700, 'e'), "}"}));

    // Without a connection the object is still consumed (a leak checker would see it).
    void* orphan = RTMP_CreateMetaData();
    void* unconnected = RTMP_Create();
    EXPECT_EQ(RTMP_ApplyMetaData(unconnected, orphan), 0);
    EXPECT_EQ(RTMP_ApplyMetaData(unconnected, nullptr), 0);
    RTMP_Release(unconnected);
}

// Callback halves tagged so that a function meeting the other function's user value is seen.
struct TaggedUser {
    int tag = 0;
    std::atomic<int> calls{0};
    std::atomic<int>* mismatches = nullptr;
};

template <int Tag>
void CountTagged(void* user) {
    auto* u = static_cast<TaggedUser*>(user);
    if (u->tag != Tag)
        u->mismatches->fetch_add(1);
    else
        u->calls.fetch_add(1);
}

template <int Tag>
int TaggedCallBack(void* user, const char*, int) {
    CountTagged<Tag>(user);
    return 0;
}

template <int Tag>
int TaggedStreamOut(void* user, const uint8_t*, int, int) {
    CountTagged<Tag>(user);
    return 0;
}

// The server side of the threads test: for each round it accepts, answers connect,
// createStream and publish, then pings every 2 ms (with a CallBack and a played audio frame
// now and then) while reading what the client sends, and finally hangs up.
struct BusyServer {
    PeerSession& s;
    int rounds;
    std::atomic<int> served{0};
    std::atomic<int> pingAnswers{0};
    std::atomic<int> media{0};

    void Run() {
        ScriptedPeer& peer = s.Peer();
        for (int round = 0; round < rounds; ++round) {
            Message m;
            if (!peer.Accept(20000) || !peer.ServeHandshake() || !s.ReadCommand("connect", &m))
                return;
            peer.SendInvoke(Reply(
                "_result", 1, {{"level", "status"}, {"code", "NetConnection.Connect.Success"}}));
            if (!s.ReadCommand("createStream", &m))
                return;
            peer.SendInvoke(Reply("_result", 2, {{"ok", "1"}}));
            if (!s.ReadCommand("publish", &m))
                return;
            peer.SendInvoke(
                Reply("onStatus", 0, {{"level", "status"}, {"code", "NetStream.Publish.Start"}}),
                1);
            served.fetch_add(1);
            for (int i = 0; i < 150; ++i) {
                if (!peer.SendMessage(2, 4, 0, 0, {0x00, 0x06, 0x00, 0x00, 0x00, 0x01}))
                    break;
                if (i % 10 == 0) {
                    peer.SendMessage(3, 18, 0, 0, CallBackBody("tick"));
                    peer.SendMessage(5, 8, 1, static_cast<uint32_t>(i), {0x2A, 1, 2, 3, 4});
                }
                // What the client sends in the next 2 ms, then the next ping.
                const auto next = Clock::now() + std::chrono::milliseconds(2);
                while (Clock::now() < next && peer.ReadMessage(&m, 4)) {
                    if (m.type == 4)
                        pingAnswers.fetch_add(1);
                    if (m.type == 8 || m.type == 9)
                        media.fetch_add(1);
                }
            }
            peer.CloseClient();  // the server goes away mid-broadcast
        }
    }
};

TEST(ClientThreads, MediaStateCallbacksAndReconnectsFromManyThreads) {
    PeerSession s;
    constexpr int kRounds = 3;
    BusyServer server{s, kRounds};
    std::thread serverThread([&] { server.Run(); });

    std::atomic<int> mismatches{0};
    TaggedUser a, b;
    a.tag = 1;
    b.tag = 2;
    a.mismatches = b.mismatches = &mismatches;
    std::atomic<bool> stop{false};
    void* h = s.Handle();

    // Media from one thread, as an encoder sends it.
    std::thread mediaThread([&] {
        const std::vector<uint8_t> key = {0,    0, 0, 1, 0x67, 0x64, 0x00, 0x1F,
                                          0xAC, 0, 0, 0, 1,    0x68, 0xEB, 0xE3,
                                          0xCB, 0, 0, 0, 1,    0x65, 0x88, 0x84};
        const std::vector<uint8_t> slice = {0, 0, 0, 1, 0x41, 0x9A, 0x02, 0x03};
        const std::vector<uint8_t> adts = {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x5F, 0xFC, 1, 2, 3, 4};
        for (int i = 0; !stop.load(); ++i) {
            const auto& unit = i % 25 == 0 ? key : slice;
            RTMP_SendStream(h, unit.data(), static_cast<int>(unit.size()), 40, 9);
            RTMP_SendStream(h, adts.data(), static_cast<int>(adts.size()), 23, 8);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // State polled and callbacks swapped from another.
    std::thread pollThread([&] {
        for (int i = 0; !stop.load(); ++i) {
            RTMP_GetState(h);
            if (i % 2 == 0) {
                RTMP_SetCallBack(h, TaggedCallBack<1>, &a);
                RTMP_SetStreamOut(h, TaggedStreamOut<1>, TaggedStreamOut<1>, &a);
            } else {
                RTMP_SetCallBack(h, TaggedCallBack<2>, &b);
                RTMP_SetStreamOut(h, TaggedStreamOut<2>, TaggedStreamOut<2>, &b);
            }
            std::this_thread::yield();
        }
    });

    // A watchdog: connect and publish, wait for the connection to die, connect again.
    const std::string url = s.Peer().Url("live/cam");
    int published = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (published < kRounds && Clock::now() < deadline) {
        if (RTMP_Connect(h, url.c_str()) != 1 || RTMP_Publish(h, "live") != 1)
            continue;
        ++published;
        while (RTMP_GetState(h) == 1 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop.store(true);
    mediaThread.join();
    pollThread.join();
    serverThread.join();
    RTMP_Disconnect(h);

    EXPECT_EQ(published, kRounds);
    EXPECT_EQ(server.served.load(), kRounds);
    EXPECT_GT(server.pingAnswers.load(), 0);
    EXPECT_GT(server.media.load(), 0);
    EXPECT_GT(a.calls.load() + b.calls.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);  // a function never met the other one's user value
}

}  // namespace
}  // namespace testpeer
