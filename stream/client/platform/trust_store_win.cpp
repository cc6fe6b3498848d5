#include <windows.h>

#include <wincrypt.h>

#include <climits>
#include <memory>

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "client/platform/trust_store.h"

namespace rtmp {
namespace {

struct StoreCloser {
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

}  // namespace

bool AddSystemTrustStore(X509_STORE* store) {
    // The current user's view of the trusted root authorities: the machine's and the user's own.
    const std::unique_ptr<void, StoreCloser> roots(CertOpenSystemStoreW(0, L"ROOT"));
    if (!roots)
        return false;
    bool added = false;
    // Each call frees the context it is given; the last one returns null with nothing left held.
    for (PCCERT_CONTEXT context = CertEnumCertificatesInStore(roots.get(), nullptr);
         context != nullptr; context = CertEnumCertificatesInStore(roots.get(), context)) {
        if ((context->dwCertEncodingType & X509_ASN_ENCODING) == 0 ||
            context->cbCertEncoded > LONG_MAX)
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
