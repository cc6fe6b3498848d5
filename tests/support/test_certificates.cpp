#include "support/test_certificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <initializer_list>
#include <memory>
#include <system_error>
#include <utility>

namespace rtmp::test {
namespace {

template <auto Free>
struct Freer {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Freer<X509_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Freer<BN_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO_free_all>>;
using Extensions = std::initializer_list<std::pair<int, const char*>>;  // NID, config value

constexpr long kDay = 24 * 60 * 60;

struct Validity {
    long fromDay;  // notBefore, in days from now
    long days;     // notAfter - notBefore
};

struct Profile {
    const char* altNames;
    Validity validity;
};
constexpr const char* kRightNames = "DNS:localhost,IP:127.0.0.1";
// In CertKind's order.
constexpr Profile kProfiles[] = {
    {kRightNames, {-1, 30}},    {"DNS:other.example", {-1, 30}},
    {kRightNames, {-60, 59}},   {kRightNames, {10, 30}},
    {"IP:127.0.0.1", {-1, 30}}, {nullptr, {-1, 30}},  // the name in the subject instead
};
static_assert(std::size(kProfiles) == kAllCertKinds.size());

struct Authority {
    KeyPtr key;
    CertPtr cert;
};

// Keys and certificates; the first failure's step and OpenSSL's reasons go to *error.
class CertificateMaker {
  public:
    explicit CertificateMaker(std::string* error) : error_(error) { ERR_clear_error(); }

    KeyPtr Key() {
        KeyPtr key(EVP_EC_gen("P-256"));
        if (!key)
            Fail("generate a P-256 key");
        return key;
    }

    // A self-signed certificate authority.
    Authority MakeAuthority(const char* commonName) {
        Authority ca{Key(), nullptr};
        if (ca.key)
            ca.cert = Certificate(commonName, ca.key.get(), {-90, 365}, nullptr,
                                  {{NID_basic_constraints, "critical,CA:TRUE"},
                                   {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                   {NID_subject_key_identifier, "hash"}});
        return ca;
    }

    // A server certificate for `key` signed by `ca`.
    CertPtr Server(const std::string& commonName, EVP_PKEY* key, const Profile& profile,
                   const Authority& ca) {
        return Certificate(commonName.c_str(), key, profile.validity, &ca,
                           {{NID_basic_constraints, "critical,CA:FALSE"},
                            {NID_key_usage, "critical,digitalSignature"},
                            {NID_ext_key_usage, "serverAuth"},
                            {NID_subject_alt_name, profile.altNames},
                            {NID_subject_key_identifier, "hash"},
                            {NID_authority_key_identifier, "keyid:always"}});
    }

    bool Write(const std::filesystem::path& path, X509* cert) {
        BioPtr bio(BIO_new_file(path.string().c_str(), "w"));
        return (bio && PEM_write_bio_X509(bio.get(), cert) == 1 && BIO_flush(bio.get()) == 1) ||
               Fail("write " + path.string());
    }

    bool Write(const std::filesystem::path& path, EVP_PKEY* key) {
        BioPtr bio(BIO_new_file(path.string().c_str(), "w"));
        return (bio &&
                PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) ==
                    1 &&
                BIO_flush(bio.get()) == 1) ||
               Fail("write " + path.string());
    }

  private:
    // Signed by `issuer`'s key, or by `key` itself when there is no issuer.
    CertPtr Certificate(const char* commonName, EVP_PKEY* key, const Validity& validity,
                        const Authority* issuer, Extensions extensions) {
        CertPtr cert(X509_new());
        X509* c = cert.get();
        X509* issuerCert = issuer != nullptr ? issuer->cert.get() : c;
        const auto* cn = reinterpret_cast<const unsigned char*>(commonName);
        if (!c || X509_set_version(c, X509_VERSION_3) != 1 || !SetNextSerial(c) ||
            !X509_gmtime_adj(X509_getm_notBefore(c), validity.fromDay * kDay) ||
            !X509_gmtime_adj(X509_getm_notAfter(c), (validity.fromDay + validity.days) * kDay) ||
            X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_UTF8, cn, -1, -1,
                                       0) != 1 ||
            X509_set_issuer_name(c, X509_get_subject_name(issuerCert)) != 1 ||
            X509_set_pubkey(c, key) != 1) {
            Fail(std::string("fill in the certificate ") + commonName);
            return nullptr;
        }
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, issuerCert, c, nullptr, nullptr, 0);
        for (const auto& [nid, value] : extensions) {
            if (value == nullptr)
                continue;
            const ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
            if (!extension || X509_add_ext(c, extension.get(), -1) != 1) {
                Fail(std::string("add ") + OBJ_nid2sn(nid) + "=" + value + " to " + commonName);
                return nullptr;
            }
        }
        if (X509_sign(c, issuer != nullptr ? issuer->key.get() : key, EVP_sha256()) <= 0) {
            Fail(std::string("sign ") + commonName);
            return nullptr;
        }
        return cert;
    }

    // Serials count up from a random 62-bit start: distinct within a set, and sets made one
    // after another do not share them.
    bool SetNextSerial(X509* cert) {
        if (!nextSerial_) {
            nextSerial_.reset(BN_new());
            if (!nextSerial_ ||
                BN_rand(nextSerial_.get(), 62, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) != 1)
                return false;
        }
        return BN_to_ASN1_INTEGER(nextSerial_.get(), X509_get_serialNumber(cert)) != nullptr &&
               BN_add_word(nextSerial_.get(), 1) == 1;
    }

    bool Fail(const std::string& what) {
        if (!error_->empty())
            return false;  // the first failure is the one that counts
        *error_ = "cannot " + what;
        for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
            char reason[256];
            ERR_error_string_n(e, reason, sizeof reason);
            *error_ += std::string("; ") + reason;
        }
        return false;
    }

    std::string* error_;
    BignumPtr nextSerial_;
};

}  // namespace

std::string_view CertKindName(CertKind kind) {
    switch (kind) {
        case CertKind::kGood:
            return "good";
        case CertKind::kWrongHost:
            return "wrong_host";
        case CertKind::kExpired:
            return "expired";
        case CertKind::kNotYetValid:
            return "not_yet_valid";
        case CertKind::kAddressOnly:
            return "address_only";
        case CertKind::kSubjectOnly:
            return "subject_only";
    }
    return "unknown";
}

bool MakeTestCertificates(const std::filesystem::path& dir, TestCertificates* out,
                          std::string* error) {
    error->clear();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        *error = "cannot create " + dir.string() + ": " + ec.message();
        return false;
    }
    CertificateMaker make(error);
    TestCertificates files;
    files.caFile = dir / "ca.pem";
    files.otherCaFile = dir / "other_ca.pem";
    const Authority ca = make.MakeAuthority("Tutorlane Test CA");
    const Authority otherCa = make.MakeAuthority("Tutorlane Other Test CA");
    if (!ca.cert || !otherCa.cert || !make.Write(files.caFile, ca.cert.get()) ||
        !make.Write(files.otherCaFile, otherCa.cert.get()))
        return false;
    for (const CertKind kind : kAllCertKinds) {
        const auto index = static_cast<std::size_t>(kind);
        const std::string name(CertKindName(kind));
        CertFiles& server = files.servers[index];
        server.cert = dir / (name + ".pem");
        server.key = dir / (name + ".key");
        const KeyPtr key = make.Key();
        const CertPtr cert =
            key ? make.Server(kProfiles[index].altNames != nullptr ? "Tutorlane test server " + name
                                                                   : std::string("localhost"),
                              key.get(), kProfiles[index], ca)
                : nullptr;
        if (!cert || !make.Write(server.key, key.get()) || !make.Write(server.cert, cert.get()))
            return false;
    }
    *out = std::move(files);
    return true;
}

}  // namespace rtmp::test
