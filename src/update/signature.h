// Signed updates: a public key UpdateKey.pem beside the monitor means that a
// build is installed only when the detached signature beside it on the
// share, "<update>.sig", is that key's signature of its every byte.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace rz {

struct Ctx;

constexpr const char* kUpdateKeyFile = "UpdateKey.pem";
// Far above a PEM key of 16384 bits (some 2.8 KB), the largest RSA key
// CryptoAPI takes; the largest signature is then 2048 bytes. A file of
// several keys for a rollover stays well within it.
constexpr std::size_t kKeyFileLimit = 16 * 1024;
constexpr std::size_t kSignatureLimit = 4 * 1024;

// The keys of UpdateKey.pem, read afresh at every attempt so that a
// replaced key counts at once. "" with `keys` empty: no key file, signing
// is off. "" with keys: signing is on. Else why every update is refused:
// any file or folder of that name switches the check on, and one that
// cannot be read or used never lets an unsigned build through.
std::string UpdateKeys(Ctx& c, std::vector<RsaPublicKey>& keys);
// What one reading of UpdateKey.pem found, as one text: equal for readings
// that found the same keys, or the same reason to refuse.
std::string KeysRead(const std::string& why, const std::vector<RsaPublicKey>& keys);
// The same, read now.
std::string KeysNow(Ctx& c);

// Cheap checks before anything is copied, with signing on: the signature
// beside the update is there and as long as one key's signatures are.
// "" when it is.
std::string SignatureShape(Ctx& c, const std::vector<RsaPublicKey>& keys, const std::string& updatePath);

// Why `localCopy`, the checked copy of the update `updatePath`, must not be
// installed; "" when it may: no keys (signing is off), or the signature of
// any one of them.
std::string SignatureRefusal(Ctx& c, const std::vector<RsaPublicKey>& keys, const std::string& localCopy,
                             const std::string& updatePath);
// The same, with the keys read from UpdateKey.pem.
std::string SignatureRefusal(Ctx& c, const std::string& localCopy, const std::string& updatePath);

}  // namespace rz
