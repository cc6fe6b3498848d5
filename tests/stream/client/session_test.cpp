// The client against a scripted server: handshake, commands, answers, control messages.
#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "scripted_peer.h"
#include "support/child_process.h"

namespace testpeer {
namespace {

using namespace kit;
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// A server that accepts and never answers, to rtmp:// (the RTMP hello waits) and to rtmps://
// (the TLS handshake waits).
TEST(ClientHandshake, SilentServerFailsWithinSecondsAndADisconnectEndsTheWaitAtOnce) {
    for (const bool tls : {false, true}) {
        for (const bool disconnect : {false, true}) {
            SCOPED_TRACE(std::string(tls ? "rtmps" : "rtmp") + (disconnect ? ", disconnect" : ""));
            PeerSession s;
            void* h = s.Handle();
            const std::string url = (tls ? "rtmps" : "rtmp") + s.Peer().Url("live/cam").substr(4);
            auto pending =
                std::async(std::launch::async, [&] { return RTMP_Connect(h, url.c_str()); });
            ASSERT_TRUE(s.Peer().Accept());
            const auto start = Clock::now();
            if (disconnect) {
                EXPECT_EQ(RTMP_Disconnect(h), 1);  // attached while it connects
            }
            EXPECT_EQ(pending.get(), 0);  // the hello's limit is 5 s, the TLS handshake's too
            EXPECT_LT(Clock::now() - start,
                      disconnect ? std::chrono::milliseconds(500) : seconds(8));
            EXPECT_GT(Clock::now() - start, disconnect ? seconds(0) : seconds(4));
            EXPECT_EQ(RTMP_GetState(h), 0);
            EXPECT_EQ(RTMP_Disconnect(h), 0);  // nothing left attached
            char why[200] = {};
            EXPECT_EQ(RTMP_GetLastError(h, why, sizeof why),
                      tls && !disconnect ? RTMP_ERROR_TLS : RTMP_ERROR_OTHER)
                << why;
            if (!disconnect) {
                EXPECT_THAT(why,
                            ::testing::HasSubstr(tls ? "did not answer in time" : "handshake"));
            }
        }
    }
}

TEST(ClientCommands, HelloAndConnectObjectOfBothVersions) {
    for (const bool ver8 : {false, true}) {
        PeerSession s;
        const Message m =
            ver8 ? s.Connect("live/x", "NetConnection.Connect.Success", "NetConnect.Ver8", "second")
                 : s.Connect("encoder/qkz/mp4:abc");
        EXPECT_EQ(Head(s.Peer().c0c1, 9), (Bytes{0x03, 0x00, 0x1C, 0xCF, 0x88, 0, 0, 0, 0}));
        EXPECT_EQ(s.Peer().c2, s.Peer().s1);
        EXPECT_EQ(RTMP_GetState(s.Handle()), 1);
        EXPECT_EQ(m.Header(), std::tuple(3, 0, 0u, 0u));
        const std::string tcUrl = s.Peer().Url(ver8 ? "live" : "encoder/qkz");
        const Bytes object =
            ver8
                ? Cat({NumProp("objectEncoding", 0), StrProp("app", "live"), Name("fpad"),
                       B(0x01, 0), StrProp("flashVer", "WIN 8,0,45,0"), StrProp("tcUrl", tcUrl),
                       NumProp("audioCodecs", 615), NumProp("videoCodecs", 76)})
                : Cat({StrProp("app", "encoder/qkz"), StrProp("flashVer", "WIN 9,0,115,0"),
                       StrProp("swfUrl", "http://127.0.0.1/Vistrel.swf"),
                       StrProp("pageUrl", "http://127.0.0.1/Vistrel.html"), StrProp("tcUrl", tcUrl),
                       Name("fpad"), B(0x01, 0), NumProp("capabilities", 15),
                       NumProp("audioCodecs", 3191), NumProp("videoCodecs", 252),
                       NumProp("videoFunction", 1), NumProp("objectEncoding", 0)});
        EXPECT_EQ(m.body, Cat({Str("connect"), Num(1), B(0x08, 0, 0, 0, 0), object, kEnd,
                               Str(ver8 ? "NetConnect.Ver8" : ""), Str(ver8 ? "second" : "")}));
    }
}

// However the connection ends, nothing more is sent; a refusal leaves nothing attached.
TEST(ClientCommands, EndsAndRefusalsLeaveNoConnection) {
    PeerSession s;
    void* h = s.Handle();
    const Bytes frame = Adts(1);
    for (const bool broken : {false, true}) {
        s.Connect();
        if (broken) {
            ASSERT_TRUE(
                s.Peer().Send({0x0F, 0, 0, 0, 0, 0, 4, 20, 0, 0, 0, 0, 1, 2, 3, 4}));  // id 15
        } else {
            s.Peer().CloseClient();
        }
        EXPECT_TRUE(rtmp::test::WaitUntil([&] { return RTMP_GetState(h) == 0; }, seconds(2)));
        if (broken) {  // closed on the client's side too, so that the server lets the session go
            EXPECT_TRUE(s.Peer().WaitClientClosed(2000));
        }
        EXPECT_EQ(RTMP_SendStream(h, frame.data(), 8, 23, 8), 0);
    }
    s.Connect("live/");
    EXPECT_EQ(RTMP_Play(h), 0);                  // no stream name: nothing sent
    EXPECT_EQ(RTMP_Connect(h, "rtmp:/bad"), 0);  // drops the old connection
    EXPECT_EQ(RTMP_GetState(h), 0);
    EXPECT_TRUE(s.Peer().WaitClientClosed(2000));
    s.Connect("nosuchapp/x", "NetConnection.Connect.Rejected");  // refused: 0
    EXPECT_EQ(RTMP_GetState(h), 0);
    EXPECT_EQ(RTMP_Play(h), 0);
    EXPECT_EQ(RTMP_Disconnect(h), 0);
    // Callbacks and metadata (consumed all the same) need a connection, stream outputs do not.
    const CallBackFn none = [](void*, const char*, int) { return 0; };
    EXPECT_EQ(RTMP_SetCallBack(h, none, nullptr), 0);
    EXPECT_EQ(RTMP_SetStreamOut(h, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(RTMP_ApplyMetaData(h, RTMP_CreateMetaData()), 0);
    EXPECT_EQ(RTMP_ApplyMetaData(h, nullptr), 0);
}

// Each call waits for the answer that carries its own transaction id: an answer that comes
// too late for its call is dropped, never taken for the next call or for a publish.
TEST(ClientCommands, EveryCallGetsItsOwnAnswerAndItsOwnVerdict) {
    PeerSession s;
    s.Connect();
    const char* texts[] = {"getRoomInfo", "42", "teacher"};
    char result[256];
    const auto call = [&](const std::function<void(const Message&)>& answer) {
        std::memset(result, 'x', sizeof result);
        auto pending = std::async(std::launch::async, [&] {
            return RTMP_Call(s.Handle(), texts, 3, result, sizeof result);
        });
        Message m;
        EXPECT_TRUE(s.Peer().ReadMessageOfType(20, &m));
        EXPECT_EQ(std::pair(m.chunkStream, m.body),
                  std::pair(3, Cat({Command("getRoomInfo", double(TransactionId(m))), Str("42"),
                                    Str("teacher")})));
        answer(m);
        return std::pair(pending.get(), TransactionId(m));
    };
    const auto reply = [&](const char* name, long id) {
        EXPECT_TRUE(s.Peer().SendInvoke(Command(name, double(id), {{"room", "open"}})));
    };
    const auto lines = [](const char* name, long id, const char* verdict) {
        return ",InvokeName=" + std::string(name) + ",InvokeID=" + std::to_string(id) +
               ",Param=room,room=open,CallResult=Vistrel.Call." + verdict;
    };
    auto [verdict, first] = call([&](const Message& m) { reply("_result", TransactionId(m)); });
    EXPECT_EQ(std::pair(verdict, std::string(result)),
              std::pair(1, lines("_result", first, "Success")));
    auto [silent, late] = call([](const Message&) {});  // answered only after its wait
    EXPECT_EQ(std::pair(silent, std::string(result)), std::pair(0, std::string()));
    auto [refused, next] = call([&](const Message& m) {
        reply("_result", late);  // the late success of the call before
        reply("_error", TransactionId(m));
    });
    EXPECT_GT(next, late);
    EXPECT_EQ(std::pair(refused, std::string(result)),
              std::pair(0, lines("_error", next, "Failed")));
    // A late answer met by a publish: only the publish's own status counts.
    auto pending = std::async(std::launch::async, [&] { return RTMP_Publish(s.Handle(), "live"); });
    Message createStream, publish;
    ASSERT_TRUE(s.Peer().ReadMessageOfType(20, &createStream, 5000, "createStream"));
    reply("_result", TransactionId(createStream) - 1);  // not the createStream's
    reply("_result", TransactionId(createStream));
    ASSERT_TRUE(s.Peer().ReadMessageOfType(20, &publish, 5000, "publish"));
    reply("_result", late);
    reply("_result", TransactionId(createStream));
    ASSERT_TRUE(s.Peer().SendInvoke(
        Command("onStatus", 0, {{"level", "error"}, {"code", "NetStream.Publish.BadName"}}), 1));
    EXPECT_EQ(pending.get(), 0);
    EXPECT_EQ(RTMP_Call(s.Handle(), texts, 0, result, sizeof result), 0);
    EXPECT_EQ(RTMP_Call(s.Handle(), texts, 1, nullptr, 10), 0);
}

Bytes CallBackBody(const std::string& text) {
    return Cat({Command("CallBack", 0), Str(text)});
}

// Acts on its own handle from the receive thread and reports the text and the action's answer.
struct InsideCallback {
    void* handle = nullptr;
    int (*action)(void* handle) = nullptr;
    std::promise<std::pair<std::string, int>> result;
};

int ActFromCallBack(void* user, const char* text, int length) {
    auto* inside = static_cast<InsideCallback*>(user);  // the text first: the handle may go
    inside->result.set_value({std::string(text, size_t(length)), inside->action(inside->handle)});
    return 0;
}

TEST(ClientReceive, CallbackGetsTheTextAndMayDisconnectReconnectOrReleaseItsOwnHandle) {
    const struct {
        const char* name;
        int (*action)(void*);
        int expected;
        bool connectionEnds, released;
    } cases[] = {
        {"nothing", [](void*) { return 1; }, 1, false, false},
        {"disconnect", [](void* h) { return RTMP_Disconnect(h); }, 1, true, false},
        {"bad URL", [](void* h) { return RTMP_Connect(h, "rtmp:/bad"); }, 0, true, false},
        // Its answer could only come through the thread that is waiting: refused at once.
        {"publish", [](void* h) { return RTMP_Publish(h, "live"); }, 0, false, false},
        {"release", [](void* h) { return RTMP_Release(h); }, 1, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PeerSession s;
        s.Connect();
        InsideCallback inside{s.Handle(), c.action, {}};
        auto result = inside.result.get_future();
        ASSERT_EQ(RTMP_SetCallBack(s.Handle(), ActFromCallBack, &inside), 1);
        ASSERT_TRUE(s.Peer().SendMessage(3, 18, 0, 0, CallBackBody("lesson=started")));
        ASSERT_EQ(result.wait_for(seconds(5)), std::future_status::ready);
        EXPECT_EQ(result.get(), (std::pair<std::string, int>{"lesson=started", c.expected}));
        if (c.connectionEnds) {
            EXPECT_TRUE(s.Peer().WaitClientClosed(2000));
        }
        if (c.released) {
            s.ForgetHandle();
            continue;
        }
        EXPECT_EQ(RTMP_GetState(s.Handle()), c.connectionEnds ? 0 : 1);
        s.Connect();  // the handle serves the next connection as before
        EXPECT_EQ(s.Publish("live"), 1);
    }
}

// A Disconnect while a Connect still drops the old connection (its receive thread held in a
// callback) wins: the Connect opens nothing.
TEST(ClientCommands, ADisconnectWhileAConnectDropsTheOldConnectionWins) {
    PeerSession s;
    s.Connect();
    std::promise<void> entered, release;
    struct Hold {
        std::promise<void>* entered;
        std::shared_future<void> release;
    } hold{&entered, release.get_future().share()};
    const CallBackFn held = [](void* user, const char*, int) {
        auto* h = static_cast<Hold*>(user);
        h->entered->set_value();
        h->release.wait();
        return 0;
    };
    ASSERT_EQ(RTMP_SetCallBack(s.Handle(), held, &hold), 1);
    ASSERT_TRUE(s.Peer().SendMessage(3, 18, 0, 0, CallBackBody("hold")));
    entered.get_future().wait();
    auto connecting = std::async(std::launch::async, [&] {
        return RTMP_Connect(s.Handle(), s.Peer().Url("live/cam").c_str());
    });
    ASSERT_TRUE(s.Peer().WaitClientClosed(5000));
    EXPECT_EQ(RTMP_Disconnect(s.Handle()), 0);  // nothing attached at this moment
    release.set_value();
    EXPECT_EQ(connecting.get(), 0);
    EXPECT_FALSE(s.Peer().Accept(0)) << "the Connect opened a connection after the Disconnect";
}

int FirstVideo(void* user, const uint8_t* data, int length, int ts) {
    static_cast<std::promise<std::pair<Bytes, int>>*>(user)->set_value({{data, data + length}, ts});
    return 0;
}

// One session: each row publishes or plays, meets its answer and reconnects; ids keep rising.
TEST(ClientCommands, PublishAndPlayCarryRisingIdsAndTheVerdictIsTheServersAnswer) {
    const struct {
        const char* type;  // nullptr: play
        Answer answer;
        const char* sent;
    } rows[] = {{"live", Answer::kSuccess, "live"},    {"record", Answer::kError, "record"},
                {"append", Answer::kSilent, "append"}, {"Record", Answer::kHangUp, "live"},
                {"live", Answer::kDisconnect, "live"}, {nullptr, Answer::kSuccess, nullptr},
                {nullptr, Answer::kError, nullptr},    {nullptr, Answer::kSilent, nullptr},
                {nullptr, Answer::kHangUp, nullptr},   {nullptr, Answer::kDisconnect, nullptr}};
    std::promise<std::pair<Bytes, int>> played;  // outlives the session's receive thread
    PeerSession s;
    // The connect always carries 1, every other request the next id.
    EXPECT_EQ(TransactionId(s.Connect("live/mp4:abc")), 1);
    long id = 0;  // the last request's
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        const auto start = Clock::now();
        EXPECT_EQ(s.Publish(r.type, r.answer), r.answer == Answer::kSuccess ? 1 : 0);
        // A silent server is given up after about 3 s; a hang-up or a Disconnect ends it at once.
        EXPECT_LT(Clock::now() - start, r.answer == Answer::kSilent ? seconds(6) : seconds(2));
        const long created = TransactionId(s.createStream);
        EXPECT_EQ(created, id == 0 ? std::max(created, 2L) : id + 1);
        EXPECT_EQ(s.createStream.body, Cat({Str("createStream"), Num(double(created)), kNull}));
        EXPECT_EQ(s.command.body,
                  Cat({Str(r.type != nullptr ? "publish" : "play"), Num(double(created + 1)), kNull,
                       Str("mp4:abc"), r.type != nullptr ? Str(r.sent) : Bytes{}}));
        EXPECT_EQ(
            std::pair(s.createStream.Header(), s.command.Header()),
            std::pair(std::tuple(3, 0, 0u, 0u), std::tuple(r.type != nullptr ? 4 : 8, 0, 1u, 0u)));
        if (r.type == nullptr && r.answer == Answer::kSuccess) {
            // A video slot gets the key frame behind its parameter sets, at the frame's time.
            auto first = played.get_future();
            ASSERT_EQ(RTMP_SetStreamOut(s.Handle(), FirstVideo, nullptr, &played), 1);
            EXPECT_TRUE(s.Peer().SendMessage(6, 9, 1, 0, AvcSequenceHeader()));
            EXPECT_TRUE(s.Peer().SendMessage(6, 9, 1, 3000, AvcFrame(0x17, {kIdr})));
            const bool delivered = first.wait_for(seconds(5)) == std::future_status::ready;
            EXPECT_EQ(RTMP_SetStreamOut(s.Handle(), nullptr, nullptr, nullptr), 1);
            ASSERT_TRUE(delivered);
            EXPECT_EQ(first.get(), std::pair(AnnexB({kSps, kPps, kIdr}), 3000));
        }
        EXPECT_EQ(TransactionId(s.Connect("live/mp4:abc")), 1);
        id = created + 1;
    }
}

TEST(ClientReceive, AcknowledgesEveryWindowOfBytes) {
    // 0: the server sets no window, the client's own of 5 MiB applies.
    for (const uint32_t window : {0u, 300000u}) {
        SCOPED_TRACE(window);
        PeerSession s;
        s.Connect();
        const uint32_t expected = window == 0 ? 5242880u : window;
        size_t sent = 0;
        if (window != 0) {
            ASSERT_TRUE(s.Peer().SendMessage(2, 5, 0, 0, Be(window, 4)));
            sent += 12 + 4;
        }
        // Audio without an output is counted; a window's worth in, the count is acknowledged.
        const Bytes body(60000, 0xAF);
        for (uint32_t n = 1; n <= 2; ++n) {
            while (sent < n * expected) {
                ASSERT_TRUE(s.Peer().SendMessage(5, 8, 1, 0, body));
                sent += 12 + body.size() + (body.size() - 1) / 128;
            }
            Message ack;
            ASSERT_TRUE(s.Peer().ReadMessageOfType(3, &ack));
            ASSERT_EQ(std::pair(ack.chunkStream, ack.body.size()), std::pair(2, size_t{4}));
            EXPECT_GE(ReadBe(ack.body.data(), 4), n * expected);
            EXPECT_LT(ReadBe(ack.body.data(), 4), n * expected + 20480u);
        }
        EXPECT_EQ(RTMP_GetState(s.Handle()), 1);
    }
}

TEST(ClientSend, PeerThatStopsReadingEndsTheConnectionInsteadOfHangingOrCutting) {
    const struct {
        const char* name;
        size_t sliceBytes;
        int peerReceiveBuffer;  // 0: the system's
        bool paced;             // a unit every 5 ms, like a live encoder
    } cases[] = {{"big units as fast as they go", 400000, 0, false},
                 {"a live stream into a peer gone silent", 2000, 4096, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PeerSession s;
        if (c.peerReceiveBuffer != 0)
            s.Peer().SetReceiveBuffer(c.peerReceiveBuffer);
        s.Connect();
        ASSERT_EQ(s.Publish("live"), 1);
        // SPS, PPS, then IDR slices that the peer never reads.
        Bytes unit = AnnexB({kSps, kPps, Cat({B(0x65), Bytes(c.sliceBytes, 0x5A)})});
        int result = 1;
        const auto start = Clock::now();
        while (result == 1 && Clock::now() - start < seconds(40)) {
            const auto callStart = Clock::now();
            result = RTMP_SendStream(s.Handle(), unit.data(), static_cast<int>(unit.size()), 5, 9);
            EXPECT_LT(Clock::now() - callStart, seconds(6));
            if (c.paced)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(RTMP_GetState(s.Handle()), 0);
        EXPECT_LT(Clock::now() - start, seconds(25));  // noticed in time for a watchdog
    }
}

// Calls of the functions tagged 1 and 2; tagged[0] counts a function that met the other's user.
std::atomic<int> tagged[3];
template <int Tag>
int Tagged(void* user) {
    (user == &tagged[Tag] ? tagged[Tag] : tagged[0]).fetch_add(1);
    return 0;
}
template <int Tag>
void SetTagged(void* h) {
    RTMP_SetCallBack(
        h, [](void* user, const char*, int) { return Tagged<Tag>(user); }, &tagged[Tag]);
    const StreamOutFn out = [](void* user, const uint8_t*, int, int) { return Tagged<Tag>(user); };
    RTMP_SetStreamOut(h, out, out, &tagged[Tag]);
}

TEST(ClientThreads, MediaStateCallbacksAndReconnectsFromManyThreads) {
    PeerSession s;
    constexpr int kRounds = 3;
    std::atomic<int> served{0}, pingAnswers{0}, media{0};
    // Each round: connect and publish, pings every 2 ms (now and then a CallBack and audio)
    // while reading what the client sends, then a hang-up mid-broadcast.
    std::thread serverThread([&] {
        ScriptedPeer& peer = s.Peer();
        for (int round = 0; round < kRounds; ++round) {
            Message m, unused;
            if (!peer.ServeConnect(&m, "NetConnection.Connect.Success", 20000) ||
                !peer.ServeStreamCommand("publish", Answer::kSuccess, &m, &unused))
                return;
            served.fetch_add(1);
            for (int i = 0; i < 150; ++i) {
                if (!peer.SendMessage(2, 4, 0, 0, {0x00, 0x06, 0x00, 0x00, 0x00, 0x01}))
                    break;
                if (i % 10 == 0) {
                    peer.SendMessage(3, 18, 0, 0, CallBackBody("tick"));
                    peer.SendMessage(5, 8, 1, static_cast<uint32_t>(i), {0x2A, 1, 2, 3, 4});
                }
                const auto next = Clock::now() + std::chrono::milliseconds(2);
                while (Clock::now() < next && peer.ReadMessage(&m, 4)) {
                    pingAnswers.fetch_add(m.type == 4);
                    media.fetch_add(m.type == 8 || m.type == 9);
                }
            }
            peer.CloseClient();
        }
    });
    std::atomic<bool> stop{false};
    void* h = s.Handle();
    std::thread mediaThread([&] {
        const Bytes key = AnnexB({kSps, kPps, kIdr}), slice = AnnexB({kSlice}), adts = Adts(4);
        for (int i = 0; !stop.load(); ++i) {
            const Bytes& unit = i % 25 == 0 ? key : slice;
            RTMP_SendStream(h, unit.data(), static_cast<int>(unit.size()), 40, 9);
            RTMP_SendStream(h, adts.data(), static_cast<int>(adts.size()), 23, 8);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread pollThread([&] {
        for (int i = 0; !stop.load(); ++i) {
            RTMP_GetState(h);
            (i % 2 == 0 ? SetTagged<1> : SetTagged<2>)(h);
            std::this_thread::yield();
        }
    });
    // A watchdog: publish, wait for the connection to die, again.
    const std::string url = s.Peer().Url("live/cam");
    int published = 0;
    const auto deadline = Clock::now() + seconds(120);
    while (published < kRounds && Clock::now() < deadline) {
        if (RTMP_Connect(h, url.c_str()) != 1 || RTMP_Publish(h, "live") != 1)
            continue;
        ++published;
        rtmp::test::WaitUntil([&] { return RTMP_GetState(h) == 0; }, seconds(120));
    }
    stop.store(true);
    mediaThread.join();
    pollThread.join();
    serverThread.join();
    RTMP_Disconnect(h);
    EXPECT_EQ(std::pair(published, served.load()), std::pair(kRounds, kRounds));
    EXPECT_GT(pingAnswers.load(), 0);
    EXPECT_GT(media.load(), 0);
    EXPECT_GT(tagged[1].load() + tagged[2].load(), 0);
    EXPECT_EQ(tagged[0].load(), 0);  // a function never met the other one's user value
}

}  // namespace
}  // namespace testpeer
