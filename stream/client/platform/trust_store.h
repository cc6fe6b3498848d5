// The system's trusted certificate authorities, for the TLS layer.
#pragma once

#include <openssl/types.h>

namespace rtmp {

// Adds the system's trusted authorities to store; false when there are none to be had.
bool AddSystemTrustStore(X509_STORE* store);

}  // namespace rtmp
