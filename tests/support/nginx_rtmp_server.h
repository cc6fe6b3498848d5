// A private nginx with the RTMP module on a free loopback port, for tests that need a real
// server: applications "live" and "encoder/qkz" (a name with '/', matched against the connect
// command's "app"), every published stream recorded, a publisher silent for 5 s dropped (as the
// run command's own server does). Each instance has its own prefix directory
// (configuration, logs, pid file, recordings) under a temp directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "support/child_process.h"

namespace rtmp::test {

class NginxRtmpServer {
  public:
    ~NginxRtmpServer() { Stop(); }

    // Writes the configuration, starts nginx and waits (at most ~5 s) until the port accepts
    // connections. Once a port is chosen it is kept, so Start after Stop listens on the same port.
    // On failure returns false; Error() then holds the reason and nginx's error log.
    bool Start();
    // Ends nginx (SIGTERM, then SIGKILL after a grace period) and waits for it. Connected clients
    // see their connection closed.
    void Stop() { process_.Stop(SIGTERM); }

    uint16_t Port() const { return port_; }
    // "rtmp://127.0.0.1:<port>/<app>/<stream>"
    std::string Url(std::string_view app, std::string_view stream) const;
    // Where the server records the stream published as `stream`: the name up to any '?', with
    // every byte other than letters, digits, '-', '.', '_' and '~' written as %XX.
    std::filesystem::path RecordingPath(std::string_view stream) const;
    std::string ErrorLog() const { return ReadTextFile(dir_ / "logs/error.log"); }
    const std::string& Error() const { return error_; }

  private:
    TempDir dir_{"nginx_rtmp"};
    uint16_t port_ = 0;
    ChildProcess process_;
    std::string error_;
    bool started_ = false;  // started successfully once: the port is fixed from then on
};

// A free TCP port on 127.0.0.1 (bound and released; the kernel will not hand it out again soon).
uint16_t PickFreeLoopbackPort();

}  // namespace rtmp::test
