// Key pairs and detached signatures of manager updates, in the forms the
// monitor checks: RSA PKCS#1 v1.5 over SHA-256 with the signature's bytes
// most significant first, keys in PEM (private: PKCS#8, or PKCS#1 to read;
// public: SubjectPublicKeyInfo). One implementation with OpenSSL for the
// host, one with CryptoAPI for Windows; both match the openssl command line.
#pragma once

#include <string>

#include "platform/platform.h"

namespace rz {

// Each returns "" when done, else why not.
std::string MakeKeyPair(unsigned bits, std::string& privatePem, std::string& publicPem);
std::string SignBytes(const std::string& privatePem, const std::string& data, std::string& signature);

// OpenSSL only: on Windows the tool checks with the monitor's own
// CryptoApiVerifyFile (platform/win32_signature.h).
SignatureCheck VerifyBytes(const std::string& publicPem, const std::string& data, const std::string& signature);

}  // namespace rz
