#include "support/nginx_rtmp_server.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "support/loopback.h"

namespace rtmp::test {

uint16_t PickFreeLoopbackPort() {
    uint16_t port = 0;  // stays 0 when no socket listens
    CloseSocket(ListenOnLoopback(1, 0, &port));
    return port;
}

bool RunPrivateNginx(ChildProcess& process, const std::filesystem::path& dir,
                     const std::vector<uint16_t>& ports) {
    const std::string prefix = ToolPath(dir) + "/";
    const bool inSbin = std::filesystem::exists(FromToolPath("/usr/sbin/nginx"));
    if (!process.Start({inSbin ? "/usr/sbin/nginx" : "nginx", "-p", prefix, "-c",
                        prefix + "nginx.conf", "-e", prefix + "logs/error.log"},
                       dir / "logs/nginx.out"))
        return false;
    // nginx writes its pid file once bound: a port held by another is not taken for nginx's.
    const std::string pid = std::to_string(process.Pid()) + "\n";
    const auto up = [&] {  // the pid file written, and a connection accepted on every port
        return ReadTextFile(dir / "logs/nginx.pid") == pid &&
               std::all_of(ports.begin(), ports.end(),
                           [](uint16_t port) { return CloseSocket(ConnectToLoopback(port)); });
    };
    if (WaitUntil([&] { return !process.Running() || up(); }, std::chrono::seconds(5)) &&
        process.Running())
        return true;
    process.Stop(kKillSignal);
    return false;
}

bool NginxRtmpServer::Start() {
    if (process_.Running())
        return true;
    const std::string prefix = ToolPath(dir_.Path()) + "/";
    for (const char* sub : {"logs", "temp", "record"})
        std::filesystem::create_directories(dir_ / sub);
    // Until the first start, a port taken before nginx binds it is replaced by another.
    for (int attempt = 0; attempt < (started_ ? 1 : 3); ++attempt) {
        if (!started_)
            port_ = PickFreeLoopbackPort();
        const std::string app =
            " { live on; drop_idle_publisher 5s; record all; record_unique off; record_path " +
            prefix + "record; }\n";
        std::ofstream(dir_ / "nginx.conf")
            << "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
            << (ToolsRunAsRoot() ? "user root;\n" : "")
            << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            << "pid " << prefix << "logs/nginx.pid;\nerror_log " << prefix
            << "logs/error.log info;\n"
            << "events { worker_connections 256; }\n"
            << "rtmp { server { listen 127.0.0.1:" << port_ << "; chunk_size 4096;\n"
            << "  application live" << app << "  application encoder/qkz" << app << "} }\n";
        if (RunPrivateNginx(process_, dir_.Path(), {port_}))
            return started_ = true;
    }
    error_ = "nginx did not start on port " + std::to_string(port_) +
             "\n--- nginx error log ---\n" + ErrorLog() + "--- nginx output ---\n" +
             ReadTextFile(dir_ / "logs/nginx.out");
    return false;
}

std::string NginxRtmpServer::Url(std::string_view app, std::string_view stream) const {
    return "rtmp://127.0.0.1:" + std::to_string(port_) + "/" + std::string(app) + "/" +
           std::string(stream);
}

std::filesystem::path NginxRtmpServer::RecordingPath(std::string_view stream) const {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string file;
    for (const char ch : stream.substr(0, stream.find('?'))) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) != 0 || std::string_view("-._~").find(ch) != std::string_view::npos)
            file += ch;
        else
            file += {'%', kHex[c >> 4], kHex[c & 0x0F]};
    }
    return dir_ / "record" / (file + ".flv");
}

}  // namespace rtmp::test
