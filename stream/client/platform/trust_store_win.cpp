// The trusted authorities on Windows: the certificates of the ROOT store that Windows itself
// would accept at the top of a server's chain, copied into OpenSSL's store. A root is left out
// when its purposes were narrowed so that server authentication is not among them (certmgr's
// "disable all purposes" or "only the following purposes"), when Windows distrusts it for
// certificates issued after a date, and when its thumbprint is in the Disallowed store.
#include <windows.h>

#include <wincrypt.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "client/platform/trust_store.h"

namespace rtmp {
namespace {

struct StoreCloser {
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

// Whether the purposes Windows allows the root include server authentication: all of the
// certificate's own when its purposes property is not set; else only those the property names,
// and none when its list is empty.
bool AllowedForServers(PCCERT_CONTEXT root) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(root, CERT_ENHKEY_USAGE_PROP_ID, nullptr, &size))
        return true;
    constexpr DWORD kFlags = CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG;
    size = 0;
    if (!CertGetEnhancedKeyUsage(root, kFlags, nullptr, &size) || size < sizeof(CERT_ENHKEY_USAGE))
        return false;  // set but unreadable: not taken
    // Whole 8-byte words, so that the list and its pointers are aligned.
    std::vector<ULONGLONG> buffer((size + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!CertGetEnhancedKeyUsage(root, kFlags, usage, &size))
        return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_SERVER_AUTH) == 0)
            return true;
    }
    return false;
}

// Whether Windows distrusts what the root issued after some date. Such roots are left out
// whole: OpenSSL cannot tell the issue dates apart.
bool PartlyDistrusted(PCCERT_CONTEXT root) {
    DWORD size = 0;
    return CertGetCertificateContextProperty(root, CERT_DISALLOWED_FILETIME_PROP_ID, nullptr,
                                             &size) != FALSE;
}

// Whether a certificate with the same thumbprint is in store (the Disallowed store); true also
// when the thumbprint cannot be had.
bool ThumbprintIn(void* store, PCCERT_CONTEXT certificate) {
    if (store == nullptr)
        return false;
    BYTE thumbprint[20] = {};
    DWORD size = sizeof thumbprint;
    if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, thumbprint, &size))
        return true;
    CRYPT_HASH_BLOB hash{size, thumbprint};
    const PCCERT_CONTEXT found = CertFindCertificateInStore(
        store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
    if (found == nullptr)
        return false;
    CertFreeCertificateContext(found);
    return true;
}

}  // namespace

bool AddSystemTrustStore(X509_STORE* store) {
    // The current user's views of the trusted root authorities and of the distrusted
    // certificates: the machine's and the user's own. Without a Disallowed store nothing is
    // known to be distrusted.
    const Store roots(CertOpenSystemStoreW(0, L"ROOT"));
    if (!roots)
        return false;
    const Store disallowed(CertOpenSystemStoreW(0, L"Disallowed"));
    bool added = false;
    // Each call frees the context it is given; the last one returns null with nothing left held.
    for (PCCERT_CONTEXT context = CertEnumCertificatesInStore(roots.get(), nullptr);
         context != nullptr; context = CertEnumCertificatesInStore(roots.get(), context)) {
        if ((context->dwCertEncodingType & X509_ASN_ENCODING) == 0 ||
            context->cbCertEncoded > LONG_MAX || !AllowedForServers(context) ||
            PartlyDistrusted(context) || ThumbprintIn(disallowed.get(), context))
            continue;
        const unsigned char* der = context->pbCertEncoded;
        const std::unique_ptr<X509, X509Free> certificate(
            d2i_X509(nullptr, &der, static_cast<long>(context->cbCertEncoded)));
        // A certificate OpenSSL cannot read is left out; one already in the store is no error.
        if (certificate && X509_STORE_add_cert(store, certificate.get()) == 1)
            added = true;
    }
    return added;
}

}  // namespace rtmp
