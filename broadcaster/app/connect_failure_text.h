// What the teacher is told when the server cannot be reached, from how the encoder's last
// connection attempt ended: for an rtmps:// server, which check of its certificate failed and
// for which host.
#pragma once

#include <string>

namespace app {

// The host of an rtmp:// or rtmps:// address (between "://" and the port or the path).
std::string AddressHost(const std::string& url);

// "" for OCELIX_CONNECT_OK; "连接服务器失败" when the line, the name or the server failed; for
// the certificate kinds "服务器证书无法验证：" and the check that failed for the host.
// caFile: the TlsCaFile setting, named when that file cannot be used.
std::string ConnectFailureText(int connectError, const std::string& url, const std::string& caFile);

// A few words for the same, for a narrow status line: which check failed ("服务器证书已过期"),
// without the host.
std::string ConnectFailureBrief(int connectError);

// True for the kinds that tell more than "the server cannot be reached".
bool IsSecurityFailure(int connectError);

}  // namespace app
