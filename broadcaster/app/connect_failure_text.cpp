#include "app/connect_failure_text.h"

#include "basis/translation.h"
#include "ocelix/ocelix.h"

namespace app {

std::string AddressHost(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t begin = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t end = url.find_first_of(":/", begin);
    return url.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

std::string ConnectFailureText(int connectError, const std::string& url,
                               const std::string& caFile) {
    const std::string host = AddressHost(url);
    const auto unverified = [&](const char* check) {
        //: A certificate check that failed: the check's words follow the colon.
        return basis::Translate("connection", "服务器证书无法验证：") +
               basis::Substitute(check, {host});
    };
    switch (connectError) {
        case OCELIX_CONNECT_OK:
            return {};
        case OCELIX_CONNECT_TLS:
            return basis::Substitute(basis::Translate("connection", "无法与服务器 %1 建立加密连接"),
                                     {host});
        case OCELIX_CONNECT_CERT_UNTRUSTED:
            return unverified(basis::Translate("connection", "%1 的证书不是受信任的机构签发的"));
        case OCELIX_CONNECT_CERT_HOST:
            return unverified(basis::Translate("connection", "证书不属于 %1"));
        case OCELIX_CONNECT_CERT_EXPIRED:
            return unverified(basis::Translate("connection", "%1 的证书已过期"));
        case OCELIX_CONNECT_CERT_NOT_YET_VALID:
            return unverified(
                basis::Translate("connection", "%1 的证书尚未生效，请检查电脑的日期和时间"));
        case OCELIX_CONNECT_CA_FILE:
            return basis::Substitute(
                basis::Translate("connection", "无法使用证书文件 %1（TlsCaFile）"), {caFile});
        default:
            return basis::Translate("connection", "连接服务器失败");
    }
}

std::string ConnectFailureBrief(int connectError) {
    switch (connectError) {
        case OCELIX_CONNECT_OK:
            return {};
        case OCELIX_CONNECT_TLS:
            return basis::Translate("connection", "无法建立加密连接");
        case OCELIX_CONNECT_CERT_UNTRUSTED:
            return basis::Translate("connection", "服务器证书不受信任");
        case OCELIX_CONNECT_CERT_HOST:
            return basis::Translate("connection", "服务器证书不属于该服务器");
        case OCELIX_CONNECT_CERT_EXPIRED:
            return basis::Translate("connection", "服务器证书已过期");
        case OCELIX_CONNECT_CERT_NOT_YET_VALID:
            return basis::Translate("connection", "服务器证书尚未生效");
        case OCELIX_CONNECT_CA_FILE:
            return basis::Translate("connection", "证书文件无法使用");
        default:
            return basis::Translate("connection", "连接服务器失败");
    }
}

bool IsSecurityFailure(int connectError) {
    return connectError >= OCELIX_CONNECT_TLS && connectError <= OCELIX_CONNECT_CA_FILE;
}

}  // namespace app
