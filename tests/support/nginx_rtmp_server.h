// A private nginx with the RTMP module on a free loopback port: applications "live" and
// "encoder/qkz", every stream recorded, a publisher silent for 5 s dropped; its own temp prefix.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"

namespace rtmp::test {

class NginxRtmpServer {
  public:
    ~NginxRtmpServer() { Stop(); }

    // Starts nginx and waits (~5 s at most) until it accepts connections, on the same port after
    // a Stop; false with the reason in Error() on failure.
    bool Start();
    void Stop() { process_.Stop(kTerminateSignal); }

    uint16_t Port() const { return port_; }
    // "rtmp://127.0.0.1:<port>/<app>/<stream>"
    std::string Url(std::string_view app, std::string_view stream) const;
    // The recording of `stream`: the name up to any '?', bytes other than [A-Za-z0-9-._~] as %XX.
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

// A free TCP port on 127.0.0.1 (bound and released).
uint16_t PickFreeLoopbackPort();

// Runs nginx on dir/nginx.conf (prefix dir, logs in dir/logs) and waits (~5 s at most) until it
// wrote its pid file and accepts connections on every port; false, with nginx stopped, otherwise.
bool RunPrivateNginx(ChildProcess& process, const std::filesystem::path& dir,
                     const std::vector<uint16_t>& ports);

}  // namespace rtmp::test
