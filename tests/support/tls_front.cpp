#include "support/tls_front.h"

#include <algorithm>
#include <fstream>

#include "support/loopback.h"
#include "support/nginx_rtmp_server.h"

namespace rtmp::test {

// All held at once while picking, so the ports differ from each other.
bool TlsFront::PickPorts() {
    std::array<Socket, kAllCertKinds.size()> sockets{};
    for (std::size_t i = 0; i < sockets.size(); ++i)
        sockets[i] = ListenOnLoopback(1, 0, &ports_[i]);
    const bool all =
        std::none_of(sockets.begin(), sockets.end(), [](Socket s) { return s == kNoSocket; });
    for (const Socket s : sockets)
        CloseSocket(s);
    return all;
}

bool TlsFront::Start(uint16_t backendPort) {
    if (process_.Running())
        return true;
    if (!certificatesMade_ &&
        !(certificatesMade_ = MakeTestCertificates(dir_ / "certs", &certificates_, &error_)))
        return false;
    const std::string prefix = ToolPath(dir_.Path()) + "/";
    std::filesystem::create_directories(dir_ / "logs");
    // Until the first start, ports taken before nginx binds them are replaced by others.
    for (int attempt = 0; attempt < (started_ ? 1 : 3); ++attempt) {
        if (!started_ && !PickPorts()) {
            error_ = "no free loopback ports for the TLS front";
            return false;
        }
        std::ofstream conf(dir_ / "nginx.conf");
        conf << "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n"
             << (ToolsRunAsRoot() ? "user root;\n" : "")
             << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
             << "pid " << prefix << "logs/nginx.pid;\nerror_log " << prefix
             << "logs/error.log info;\n"
             << "events { worker_connections 256; }\n"
             // nginx 1.22 leaves TLS 1.3 out of its default protocols.
             << "stream {\n  ssl_protocols TLSv1.2 TLSv1.3;\n  ssl_handshake_timeout 10s;\n"
             << "  proxy_connect_timeout 2s;\n"
             // The name each client asked for (SNI), one line per session.
             << "  log_format sni '$server_port $ssl_server_name';\n"
             << "  access_log " << prefix << "logs/sni.log sni;\n";
        for (const CertKind kind : kAllCertKinds) {
            const CertFiles& files = certificates_.Server(served_[static_cast<std::size_t>(kind)]);
            conf << "  server { listen 127.0.0.1:" << Port(kind) << " ssl;\n"
                 << "    ssl_certificate " << ToolPath(files.cert) << ";\n"
                 << "    ssl_certificate_key " << ToolPath(files.key) << ";\n"
                 << "    proxy_pass 127.0.0.1:" << backendPort << "; }\n";
        }
        conf << "}\n";
        conf.close();
        if (RunPrivateNginx(process_, dir_.Path(), {ports_.begin(), ports_.end()}))
            return started_ = true;
    }
    std::string ports;
    for (const uint16_t port : ports_)
        ports += " " + std::to_string(port);
    error_ = "nginx (TLS front) did not start on ports" + ports + "\n--- nginx error log ---\n" +
             ErrorLog() + "--- nginx output ---\n" + ReadTextFile(dir_ / "logs/nginx.out");
    return false;
}

std::string TlsFront::Url(CertKind kind, std::string_view host, std::string_view app,
                          std::string_view stream) const {
    return "rtmps://" + std::string(host) + ":" + std::to_string(Port(kind)) + "/" +
           std::string(app) + "/" + std::string(stream);
}

}  // namespace rtmp::test
