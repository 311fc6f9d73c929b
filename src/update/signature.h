// Signed updates: a public key UpdateKey.pem beside the monitor means that a
// build is installed only when the detached signature beside it on the
// share, "<update>.sig", is that key's signature of its every byte.
#pragma once

#include <cstddef>
#include <string>

namespace rz {

struct Ctx;

constexpr const char* kUpdateKeyFile = "UpdateKey.pem";
// Far above a PEM key of 16384 bits (some 2.8 KB), the largest RSA key
// CryptoAPI takes; the largest signature is then 2048 bytes.
constexpr std::size_t kKeyFileLimit = 16 * 1024;
constexpr std::size_t kSignatureLimit = 4 * 1024;

// Why `localCopy`, the checked copy of the update `updatePath`, must not be
// installed; "" when it may: no key file (signing is off), or a valid
// signature. A key file that cannot be read or used refuses every update.
std::string SignatureRefusal(Ctx& c, const std::string& localCopy, const std::string& updatePath);

}  // namespace rz
