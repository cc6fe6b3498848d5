#include "support/nginx_rtmp_server.h"

#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace rtmp::test {
namespace {

using Clock = std::chrono::steady_clock;

// Debian's nginx lives in /usr/sbin, which a user's PATH may leave out.
std::filesystem::path NginxExecutable() {
    return ::access("/usr/sbin/nginx", X_OK) == 0 ? "/usr/sbin/nginx" : "nginx";
}

// The module's path on this machine (Debian's package unless NGINX_RTMP_MODULE names another),
// empty when none is installed.
std::filesystem::path ModulePath() {
    const char* env = std::getenv("NGINX_RTMP_MODULE");
    const std::filesystem::path module =
        env != nullptr && *env != '\0' ? env : "/usr/lib/nginx/modules/ngx_rtmp_module.so";
    return std::filesystem::exists(module) ? module : std::filesystem::path();
}

// True when a TCP connection to 127.0.0.1:port succeeds now.
bool LoopbackPortAccepts(uint16_t port) {
    const int fd = ConnectToLoopback(port);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

}  // namespace

uint16_t PickFreeLoopbackPort() {
    uint16_t port = 0;
    const int fd = ListenOnLoopback(1, 0, &port);
    if (fd < 0)
        return 0;
    ::close(fd);
    return port;
}

NginxRtmpServer::NginxRtmpServer()
    : dir_(std::make_unique<TempDir>("nginx_rtmp")), prefix_(dir_->Path()) {}

NginxRtmpServer::~NginxRtmpServer() {
    Stop();
}

bool NginxRtmpServer::WriteConfig() {
    const std::filesystem::path module = ModulePath();
    if (module.empty()) {
        error_ = "the nginx RTMP module (ngx_rtmp_module.so) is not installed";
        return false;
    }
    std::error_code ec;
    for (const char* sub : {"logs", "temp", "record"}) {
        std::filesystem::create_directories(prefix_ / sub, ec);
        if (ec) {
            error_ = "cannot create " + (prefix_ / sub).string() + ": " + ec.message();
            return false;
        }
    }
    std::ostringstream conf;
    conf << "load_module " << module.string() << ";\n";
    if (::geteuid() == 0)
        conf << "user root;\n";
    conf << "daemon off;\n"
         << "master_process off;\n"
         << "worker_processes 1;\n"
         << "pid " << (prefix_ / "logs" / "nginx.pid").string() << ";\n"
         << "error_log " << (prefix_ / "logs" / "error.log").string() << " info;\n"
         << "events { worker_connections 256; }\n"
         << "rtmp {\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port_ << ";\n"
         << "    chunk_size 4096;\n";
    for (const char* app : {"live", "encoder/qkz"}) {
        conf << "    application " << app << " {\n      live on;\n      record all;\n"
             << "      record_path " << (prefix_ / "record").string() << ";\n"
             << "      record_unique off;\n    }\n";
    }
    conf << "  }\n"
         << "}\n";
    std::ofstream out(prefix_ / "nginx.conf", std::ios::trunc);
    out << conf.str();
    out.close();
    if (!out) {
        error_ = "cannot write " + (prefix_ / "nginx.conf").string();
        return false;
    }
    return true;
}

bool NginxRtmpServer::Start() {
    if (process_.Running())
        return true;
    return StartAttempt(1);
}

bool NginxRtmpServer::StartAttempt(int attempt) {
    error_.clear();
    if (port_ == 0) {
        port_ = PickFreeLoopbackPort();
        if (port_ == 0) {
            error_ = "no free loopback port";
            return false;
        }
    }
    if (!WriteConfig())
        return false;
    const std::filesystem::path errorLog = prefix_ / "logs" / "error.log";
    std::vector<std::string> argv{
        NginxExecutable().string(),        "-p", prefix_.string() + "/", "-c",
        (prefix_ / "nginx.conf").string(), "-e", errorLog.string()};
    if (!process_.Start(argv, prefix_ / "logs" / "nginx.out")) {
        error_ = "cannot start " + argv[0];
        return false;
    }
    if (WaitUntilListening(std::chrono::seconds(5))) {
        started_ = true;
        return true;
    }
    process_.Stop(SIGKILL);
    // A port picked here may have been taken by another process in the meantime; before the
    // first successful start nobody relies on it yet, so try another one.
    if (!started_ && attempt < 3 &&
        ErrorLog().find("bind() to 127.0.0.1:" + std::to_string(port_)) != std::string::npos) {
        port_ = 0;
        return StartAttempt(attempt + 1);
    }
    error_ += "\n--- nginx error log ---\n" + ErrorLog() + "--- nginx output ---\n" +
              ReadTextFile(prefix_ / "logs" / "nginx.out");
    return false;
}

bool NginxRtmpServer::WaitUntilListening(std::chrono::milliseconds limit) {
    // nginx writes its pid file only once its listening sockets are bound, so a port held by
    // someone else while nginx retries its bind is not taken for nginx's.
    const std::string pid = std::to_string(process_.Pid()) + "\n";
    const bool up = WaitUntil(
        [&] {
            return !process_.Running() || (ReadTextFile(prefix_ / "logs" / "nginx.pid") == pid &&
                                           LoopbackPortAccepts(port_));
        },
        limit);
    if (process_.Running() && up)
        return true;
    error_ = process_.Running()
                 ? "nginx did not accept connections on port " + std::to_string(port_) + " in time"
                 : "nginx exited with status " + std::to_string(process_.ExitCode());
    return false;
}

void NginxRtmpServer::Stop() {
    process_.Stop(SIGTERM, std::chrono::seconds(5));
}

std::string NginxRtmpServer::Url(std::string_view app, std::string_view stream) const {
    std::string url = "rtmp://127.0.0.1:" + std::to_string(port_) + "/";
    url.append(app);
    url += '/';
    url.append(stream);
    return url;
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
    return prefix_ / "record" / (file + ".flv");
}

std::string NginxRtmpServer::ErrorLog() const {
    return ReadTextFile(prefix_ / "logs" / "error.log");
}

}  // namespace rtmp::test
