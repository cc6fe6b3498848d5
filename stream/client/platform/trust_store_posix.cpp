#include "client/platform/trust_store.h"

#include <openssl/x509_vfy.h>

namespace rtmp {

bool AddSystemTrustStore(X509_STORE* store) {
    // The distribution's bundle and hashed folder (or SSL_CERT_FILE / SSL_CERT_DIR).
    return X509_STORE_set_default_paths(store) == 1;
}

}  // namespace rtmp
