// A private nginx with the RTMP module on a loopback port, for tests that need a real server.
// Each instance has its own prefix directory (configuration, logs, pid file, recordings) under a
// temp directory. Every published stream is recorded to <RecordDir()>/<escaped name>.flv.
#ifndef TESTS_SUPPORT_NGINX_RTMP_SERVER_H
#define TESTS_SUPPORT_NGINX_RTMP_SERVER_H

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"

namespace rtmp::test {

struct NginxRtmpOptions {
    // Application names; a name may contain '/' ("encoder/qkz"), matched against the connect
    // command's "app" value.
    std::vector<std::string> applications{"live", "encoder/qkz"};
    uint16_t port = 0;     // 0: pick a free loopback port
    bool record = true;    // record every published stream
    int chunkSize = 4096;  // the server's outgoing chunk size
};

class NginxRtmpServer {
  public:
    NginxRtmpServer();
    explicit NginxRtmpServer(NginxRtmpOptions options);
    ~NginxRtmpServer();
    NginxRtmpServer(const NginxRtmpServer&) = delete;
    NginxRtmpServer& operator=(const NginxRtmpServer&) = delete;

    // Writes the configuration, starts nginx and waits (at most ~5 s) until the port accepts
    // connections. Once a port is chosen it is kept, so Start after Stop listens on the same port.
    // On failure returns false; Error() then holds the reason and nginx's error log.
    bool Start();
    // Ends nginx (SIGTERM, then SIGKILL after a grace period) and waits for it. Connected clients
    // see their connection closed.
    void Stop();
    bool Running();

    uint16_t Port() const { return port_; }
    // "rtmp://127.0.0.1:<port>/<app>/<stream>"
    std::string Url(std::string_view app, std::string_view stream) const;
    // Where the server records the stream published as `stream`: the name up to any '?', with
    // every byte other than letters, digits, '-', '.', '_' and '~' written as %XX.
    std::filesystem::path RecordingPath(std::string_view stream) const;
    std::filesystem::path RecordDir() const { return prefix_ / "record"; }
    std::filesystem::path Prefix() const { return prefix_; }
    std::string ErrorLog() const;
    const std::string& Error() const { return error_; }

    // Path of the nginx RTMP module on this machine, empty when none is installed.
    static std::filesystem::path ModulePath();

  private:
    bool StartAttempt(int attempt);
    bool WriteConfig();
    bool WaitUntilListening(std::chrono::milliseconds limit);

    NginxRtmpOptions options_;
    std::unique_ptr<TempDir> dir_;
    std::filesystem::path prefix_;
    uint16_t port_ = 0;
    ChildProcess process_;
    std::string error_;
    bool started_ = false;  // started successfully once: the port is fixed from then on
};

// A free TCP port on 127.0.0.1 (bound and released; the kernel will not hand it out again soon).
uint16_t PickFreeLoopbackPort();
// True when a TCP connection to 127.0.0.1:port succeeds within `limit`.
bool LoopbackPortAccepts(uint16_t port, std::chrono::milliseconds limit);

}  // namespace rtmp::test

#endif  // TESTS_SUPPORT_NGINX_RTMP_SERVER_H
