// A private nginx with the stream module in front of a plain TCP server on loopback: one TLS
// listener per test certificate kind, each on a free 127.0.0.1 port, proxying to the backend;
// certificates from a test authority made in its own temp prefix.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/child_process.h"
#include "support/test_certificates.h"

namespace rtmp::test {

class TlsFront {
  public:
    ~TlsFront() { Stop(); }

    // Makes the certificates (first time only), starts nginx proxying to 127.0.0.1:backendPort
    // and waits (~5 s at most) until every listener accepts connections, on the same ports after
    // a Stop; false with the reason in Error() on failure.
    bool Start(uint16_t backendPort);
    void Stop() { process_.Stop(kTerminateSignal); }

    uint16_t Port(CertKind kind) const { return ports_[static_cast<std::size_t>(kind)]; }
    // From the next Start on, the listener of `listener` presents the certificate of `served`
    // (a server whose certificate expires, or is renewed, while a lesson runs).
    void Serve(CertKind listener, CertKind served) {
        served_[static_cast<std::size_t>(listener)] = served;
    }
    // "rtmps://<host>:<port of kind>/<app>/<stream>"; the listeners are on 127.0.0.1 only.
    std::string Url(CertKind kind, std::string_view host, std::string_view app,
                    std::string_view stream) const;
    // The authorities' files and the servers' ones; empty paths before the first Start.
    const TestCertificates& Certificates() const { return certificates_; }
    std::string ErrorLog() const { return ReadTextFile(dir_ / "logs/error.log"); }
    // "<port> <server name the client asked for>" per ended session ("-" without one).
    std::string ServerNameLog() const { return ReadTextFile(dir_ / "logs/sni.log"); }
    const std::string& Error() const { return error_; }

  private:
    bool PickPorts();

    TempDir dir_{"tls_front"};
    TestCertificates certificates_;
    std::array<uint16_t, kAllCertKinds.size()> ports_{};
    std::array<CertKind, kAllCertKinds.size()> served_ = kAllCertKinds;
    ChildProcess process_;
    std::string error_;
    bool certificatesMade_ = false;
    bool started_ = false;  // started successfully once: the ports are fixed from then on
};

}  // namespace rtmp::test
