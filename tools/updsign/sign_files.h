// Signing a build and checking its signature, file by file, as updsign does
// it and as every tool that signs for the monitors must: the key file is read
// by the monitor's own reader, and every refusal names its cause.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace rz {

constexpr std::uintmax_t kAnySize = ~std::uintmax_t(0);

// "" for a file that is there, else why it is none.
std::string FileProblem(const std::string& path);

// The whole of a file of at most `limit` bytes, read as the monitor reads
// its key and signature; "" when it could, else why not.
std::string ReadWhole(const std::string& path, std::uintmax_t limit, std::string& out);

// A build where the key belongs, or a PEM file where the build belongs; ""
// when the arguments look the right way round.
std::string SwappedProblem(const std::string& keyPath, const std::string& file);

// The signature of every byte of `file` with the private key `keyPath`;
// "" when made, else why not.
std::string SignFile(const std::string& keyPath, const std::string& file, std::string& signature);

// The public keys of `keyPath`, taken as the monitor takes UpdateKey.pem;
// "" when it holds one or more that may sign, else why not. A private key
// is named as the wrong half of the pair.
std::string ReadPublicKeys(const std::string& keyPath, std::vector<RsaPublicKey>& keys);

// "" when `signature` (from `sigName`) is the signature of `file` for one of
// `keys` (read from `keyPath`); else why it is refused.
std::string VerifyFile(const std::vector<RsaPublicKey>& keys, const std::string& keyPath, const std::string& file,
                       const std::string& signature, const std::string& sigName);

}  // namespace rz
