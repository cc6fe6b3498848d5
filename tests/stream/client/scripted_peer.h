// A minimal RTMP server for byte-exact tests: accepts one client on a loopback port, answers
// the handshake, reads the client's messages with a chunk parser of its own and sends
// whatever the test scripts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testpeer {

struct Message {
    int chunkStream = 0;
    int fmt = 0;                  // format of the message's first chunk
    uint32_t timestamp = 0;       // absolute, as the peer reconstructs it
    uint32_t timestampField = 0;  // field of the first chunk header as written
    int type = 0;
    uint32_t streamId = 0;
    std::vector<uint8_t> body;
};

class ScriptedPeer {
  public:
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& appAndStream) const;

    // Receive buffer of the connections accepted from now on (a small one makes a peer that
    // stops reading push back on the client at once).
    void SetReceiveBuffer(int bytes);
    bool Accept(int timeoutMs = 5000);
    // Reads C0+C1, sends S0+S1+S2 (S2 echoes C1), reads C2. C0C1 and C2 are kept.
    bool ServeHandshake(int timeoutMs = 5000);
    // Next complete message from the client, false on time-out or close.
    bool ReadMessage(Message* m, int timeoutMs = 5000);
    // Reads messages until one of the given type arrives (others are kept in Skipped()).
    bool ReadMessageOfType(int type, Message* m, int timeoutMs = 5000);
    bool ReadRaw(std::vector<uint8_t>* out, size_t n, int timeoutMs = 5000);
    bool Send(const std::vector<uint8_t>& bytes);
    // Sends a message in 128-byte chunks with a type-0 first header.
    bool SendMessage(int chunkStream, int type, uint32_t streamId, uint32_t timestamp,
                     const std::vector<uint8_t>& body);
    // _result / onStatus style replies built from AMF0 helpers below.
    bool SendInvoke(const std::vector<uint8_t>& amfBody, uint32_t streamId = 0);
    void CloseClient();
    // True when the client closed its side within timeoutMs.
    bool WaitClientClosed(int timeoutMs);

    const std::vector<uint8_t>& C0C1() const { return c0c1_; }
    const std::vector<uint8_t>& S1() const { return s1_; }
    const std::vector<uint8_t>& C2() const { return c2_; }

  private:
    bool Fill(size_t n, int timeoutMs);
    int listenFd_ = -1;
    int clientFd_ = -1;
    int port_ = 0;
    std::vector<uint8_t> in_;  // received, not yet parsed
    std::vector<uint8_t> c0c1_, s1_, c2_;
    struct ChunkState {
        uint32_t timestamp = 0, delta = 0, length = 0, streamId = 0;
        int type = 0;
        bool extended = false;
        std::vector<uint8_t> partial;
        int firstFmt = 0;
        uint32_t firstField = 0;
    };
    ChunkState streams_[64];
    int inChunkSize_ = 128;
};

// AMF0 encoding helpers for scripted replies.
void AmfString(std::vector<uint8_t>& out, const std::string& s);
void AmfNumber(std::vector<uint8_t>& out, double d);
void AmfNull(std::vector<uint8_t>& out);
void AmfObject(std::vector<uint8_t>& out,
               const std::vector<std::pair<std::string, std::string>>& stringProperties);
// A reply: name, transaction id, null command object, then an information object.
std::vector<uint8_t> Reply(const std::string& name, double id,
                           const std::vector<std::pair<std::string, std::string>>& info);

// Reads AMF0 values of a command body back as text ("s:connect", "n:1", "null", "b:0",
// "{" key ... "}"), for byte-for-byte comparisons that stay readable.
std::vector<std::string> DescribeAmf(const std::vector<uint8_t>& body);

}  // namespace testpeer
