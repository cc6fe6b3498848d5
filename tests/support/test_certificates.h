// Certificates for the TLS tests, made in memory with OpenSSL (P-256 keys, sha256 signatures)
// and written as PEM files: a test authority, an unrelated one, and server certificates signed
// by the test authority, one good and one for each way a client must refuse it.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

namespace rtmp::test {

enum class CertKind {
    kGood,         // SAN DNS:localhost and IP:127.0.0.1, valid from 1 day ago for 30 days
    kWrongHost,    // SAN DNS:other.example only
    kExpired,      // valid from 60 days ago until 1 day ago
    kNotYetValid,  // valid from 10 days ahead
    kAddressOnly,  // SAN IP:127.0.0.1 only: for the address, not for the name localhost
};
inline constexpr std::array<CertKind, 5> kAllCertKinds = {
    CertKind::kGood, CertKind::kWrongHost, CertKind::kExpired, CertKind::kNotYetValid,
    CertKind::kAddressOnly};

// "good", "wrong_host", "expired", "not_yet_valid", "address_only": the stem of the kind's file
// names.
std::string_view CertKindName(CertKind kind);

struct CertFiles {
    std::filesystem::path cert;  // PEM certificate
    std::filesystem::path key;   // PEM private key (PKCS#8, unencrypted)
};

struct TestCertificates {
    std::filesystem::path caFile;       // the test authority: ca.pem
    std::filesystem::path otherCaFile;  // an authority that signed none of them: other_ca.pem
    std::array<CertFiles, kAllCertKinds.size()> servers;  // <name>.pem and <name>.key

    const CertFiles& Server(CertKind kind) const { return servers[static_cast<std::size_t>(kind)]; }
};

// Makes fresh authorities and server certificates and writes them into `dir` (created if need
// be); false with the reason in *error when OpenSSL or a file write fails.
bool MakeTestCertificates(const std::filesystem::path& dir, TestCertificates* out,
                          std::string* error);

}  // namespace rtmp::test
