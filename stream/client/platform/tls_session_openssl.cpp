#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>

#include "client/platform/tls_session.h"
#include "client/platform/trust_store.h"

namespace rtmp {
namespace {

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};
struct MethodFree {
    void operator()(BIO_METHOD* m) const { BIO_meth_free(m); }
};

// The socket as OpenSSL's transport: the SocketIo's non-blocking sends (which never raise
// SIGPIPE) and receives, with "try again" passed on as OpenSSL's retry flags.
int BioWrite(BIO* bio, const char* data, size_t length, size_t* written) {
    BIO_clear_retry_flags(bio);
    const IoResult r = static_cast<SocketIo*>(BIO_get_data(bio))->SendSome(data, length);
    if (r.bytes > 0) {
        *written = static_cast<size_t>(r.bytes);
        return 1;
    }
    if (r.wouldBlock)
        BIO_set_retry_write(bio);
    return 0;
}

int BioRead(BIO* bio, char* data, size_t length, size_t* read) {
    BIO_clear_retry_flags(bio);
    const IoResult r = static_cast<SocketIo*>(BIO_get_data(bio))->ReceiveSome(data, length);
    if (r.bytes > 0) {
        *read = static_cast<size_t>(r.bytes);
        return 1;
    }
    if (r.wouldBlock)
        BIO_set_retry_read(bio);
    return 0;  // closed or failed: OpenSSL tells them apart by the absent retry flag
}

long BioCtrl(BIO* /*bio*/, int cmd, long /*num*/, void* /*ptr*/) {
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;  // nothing is buffered on this side
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// The method table, made once and kept for the life of the process.
const BIO_METHOD* SocketMethod() {
    static const std::unique_ptr<BIO_METHOD, MethodFree> method = [] {
        std::unique_ptr<BIO_METHOD, MethodFree> m(
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "rtmp socket"));
        if (m && BIO_meth_set_write_ex(m.get(), BioWrite) == 1 &&
            BIO_meth_set_read_ex(m.get(), BioRead) == 1 &&
            BIO_meth_set_ctrl(m.get(), BioCtrl) == 1 &&
            BIO_meth_set_create(m.get(), BioCreate) == 1)
            return m;
        return std::unique_ptr<BIO_METHOD, MethodFree>();
    }();
    return method.get();
}

// The oldest error OpenSSL queued on this thread, as text, or otherwise when there is none (the
// queue is emptied).
std::string OpenSslError(
    const char* otherwise = "the server closed the connection (is it an RTMPS port?)") {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return otherwise;
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The system's authorities and those of caFile, read once per version of the file (reading the
// system's bundle costs tens of milliseconds, too much for every reconnection) and shared by the
// sessions, which only look certificates up in it. Null, with why filled, when the CA file
// cannot be used.
std::shared_ptr<X509_STORE> TrustedAuthorities(const std::string& caFile, std::string* why) {
    struct Entry {
        std::shared_ptr<X509_STORE> store;
        std::filesystem::file_time_type modified;
        std::uintmax_t size = 0;
    };
    static std::mutex mutex;
    static std::map<std::string, Entry> stores;  // guarded by mutex
    std::error_code error;
    Entry now;
    if (!caFile.empty()) {
        // The name is UTF-8 on every system; a path made from the bare string would be read in
        // Windows' ANSI code page.
        const std::filesystem::path file(std::u8string(caFile.begin(), caFile.end()));
        now.modified = std::filesystem::last_write_time(file, error);
        now.size = error ? 0 : std::filesystem::file_size(file, error);
        if (error) {
            *why = "the file cannot be read";
            return nullptr;
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    const auto kept = stores.find(caFile);
    if (kept != stores.end() && kept->second.modified == now.modified &&
        kept->second.size == now.size)
        return kept->second.store;
    now.store.reset(X509_STORE_new(), X509_STORE_free);
    if (!now.store) {
        *why = OpenSslError("out of memory");
        return nullptr;
    }
    AddSystemTrustStore(now.store.get());
    ERR_clear_error();
    if (!caFile.empty() && X509_STORE_load_file(now.store.get(), caFile.c_str()) != 1) {
        *why = OpenSslError("the file holds no certificate OpenSSL can read");
        return nullptr;
    }
    if (stores.size() >= 8)
        stores.clear();  // a handful of files at most in a real program
    stores[caFile] = now;
    return now.store;
}

bool IsAddress(const std::string& host) {
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

// Who the certificate names, who issued it and until when, for the log.
std::string Describe(const X509* cert) {
    if (cert == nullptr)
        return "no certificate";
    struct BioFree {
        void operator()(BIO* b) const { BIO_free(b); }
    };
    std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
    if (!out)
        return {};
    BIO_puts(out.get(), "subject ");
    X509_NAME_print_ex(out.get(), X509_get_subject_name(cert), 0, XN_FLAG_ONELINE);
    if (auto* names = static_cast<GENERAL_NAMES*>(
            X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr))) {
        BIO_puts(out.get(), ", names");
        for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
            BIO_puts(out.get(), " ");
            GENERAL_NAME_print(out.get(), sk_GENERAL_NAME_value(names, i));
        }
        GENERAL_NAMES_free(names);
    }
    BIO_puts(out.get(), ", issuer ");
    X509_NAME_print_ex(out.get(), X509_get_issuer_name(cert), 0, XN_FLAG_ONELINE);
    BIO_puts(out.get(), ", valid ");
    ASN1_TIME_print(out.get(), X509_get0_notBefore(cert));
    BIO_puts(out.get(), " to ");
    ASN1_TIME_print(out.get(), X509_get0_notAfter(cert));
    char* text = nullptr;
    const long length = BIO_get_mem_data(out.get(), &text);
    return length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string();
}

// Which check the server's certificate failed, from the verification's verdict.
ConnectFailure CertificateFailure(long verdict, const std::string& host, const X509* cert) {
    ConnectFailure f;
    const std::string why = X509_verify_cert_error_string(verdict);
    switch (verdict) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            f.kind = RTMP_ERROR_CERT_HOST;
            f.text = "the certificate is not for " + host;
            break;
        case X509_V_ERR_CERT_HAS_EXPIRED:
            f.kind = RTMP_ERROR_CERT_EXPIRED;
            f.text = "the certificate of " + host + " has expired";
            break;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            f.kind = RTMP_ERROR_CERT_NOT_YET_VALID;
            f.text = "the certificate of " + host + " is not valid yet";
            break;
        default:
            f.kind = RTMP_ERROR_CERT_UNTRUSTED;
            f.text = "the certificate of " + host + " is not from a trusted authority";
            break;
    }
    f.text += " (" + why + "; " + Describe(cert) + ")";
    return f;
}

}  // namespace

struct TlsSession::Native {
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
    std::unique_ptr<SSL, SslFree> ssl;
    std::string host;
};

TlsSession::TlsSession(std::unique_ptr<Native> native) : native_(std::move(native)) {}

TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Create(SocketIo& io, const std::string& host,
                                               const std::string& caFile, ConnectFailure* failure) {
    ERR_clear_error();
    const auto fail = [&](int kind, const std::string& what) {
        failure->kind = kind;
        failure->text = what + ": " + OpenSslError();
        return nullptr;
    };
    auto native = std::make_unique<Native>();
    native->host = host;
    native->ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!native->ctx)
        return fail(RTMP_ERROR_TLS, "TLS is not available");
    SSL_CTX* ctx = native->ctx.get();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    // A send hands over whole records as they leave, and its bytes may be offered again from
    // another place in memory after a wait.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    std::string why;
    const std::shared_ptr<X509_STORE> store = TrustedAuthorities(caFile, &why);
    if (!store) {
        failure->kind = RTMP_ERROR_CA_FILE;
        failure->text = "the CA file " + caFile + " cannot be used: " + why;
        return nullptr;
    }
    SSL_CTX_set1_cert_store(ctx, store.get());

    native->ssl.reset(SSL_new(ctx));
    if (!native->ssl)
        return fail(RTMP_ERROR_TLS, "no TLS session");
    SSL* ssl = native->ssl.get();
    bool named = false;
    if (IsAddress(host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    } else {
        // Names only from the certificate's alternative names, never its subject's common name.
        SSL_set_hostflags(
            ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        named = SSL_set1_host(ssl, host.c_str()) == 1 &&
                SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
    }
    if (!named)
        return fail(RTMP_ERROR_TLS, "the host " + host + " cannot be checked");
    const BIO_METHOD* method = SocketMethod();
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr)
        return fail(RTMP_ERROR_TLS, "no transport for TLS");
    BIO_set_data(bio, &io);
    SSL_set_bio(ssl, bio, bio);  // the session owns it from here
    SSL_set_connect_state(ssl);
    return std::unique_ptr<TlsSession>(new TlsSession(std::move(native)));
}

TlsSession::Step TlsSession::Handshake(ConnectFailure* failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    SSL* ssl = native_->ssl.get();
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl);
    if (r == 1) {
        // SSL_VERIFY_PEER already ends a handshake whose verification failed; this holds even
        // should a server get through without presenting a certificate at all.
        if (SSL_get_verify_result(ssl) == X509_V_OK && SSL_get0_peer_certificate(ssl) != nullptr)
            return Step::kDone;
        *failure = CertificateFailure(SSL_get_verify_result(ssl), native_->host,
                                      SSL_get0_peer_certificate(ssl));
        return Step::kFailed;
    }
    switch (SSL_get_error(ssl, r)) {
        case SSL_ERROR_WANT_READ:
            return Step::kWantRead;
        case SSL_ERROR_WANT_WRITE:
            return Step::kWantWrite;
        default:
            break;
    }
    const long verdict = SSL_get_verify_result(ssl);
    if (verdict != X509_V_OK) {
        *failure = CertificateFailure(verdict, native_->host, SSL_get0_peer_certificate(ssl));
    } else {
        failure->kind = RTMP_ERROR_TLS;
        failure->text = "no TLS session with " + native_->host + ": " + OpenSslError();
    }
    return Step::kFailed;
}

// What a read or write that did not succeed asks for; the session's error queue is emptied.
TlsSession::Step TlsSession::StepAfter(int error) {
    switch (error) {
        case SSL_ERROR_WANT_READ:
            return Step::kWantRead;
        case SSL_ERROR_WANT_WRITE:
            return Step::kWantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return Step::kClosed;
        default:
            ERR_clear_error();
            return Step::kFailed;
    }
}

TlsSession::Result TlsSession::Read(void* data, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    ERR_clear_error();
    size_t n = 0;
    if (SSL_read_ex(native_->ssl.get(), data, length, &n) == 1)
        return {Step::kDone, n};
    return {StepAfter(SSL_get_error(native_->ssl.get(), 0)), 0};
}

TlsSession::Result TlsSession::Write(const void* data, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    ERR_clear_error();
    size_t n = 0;
    if (SSL_write_ex(native_->ssl.get(), data, length, &n) == 1)
        return {Step::kDone, n};
    return {StepAfter(SSL_get_error(native_->ssl.get(), 0)), 0};
}

}  // namespace rtmp
