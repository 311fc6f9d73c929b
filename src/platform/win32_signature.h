// Detached-signature checks with Windows' own CryptoAPI: the monitor's
// platform and the signing tool's Windows build check alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace rz {

// As Platform::VerifyFileSignature and Sha256File; `error` is the system
// error of a file that cannot be read, of a provider that cannot be had or
// of a key it would not take, else 0. Neither needs CRYPT32.
SignatureCheck CryptoApiVerifyFile(const RsaPublicKey& key, const std::string& path, const std::string& signature,
                                   std::uint32_t& error);
FileHash CryptoApiSha256File(const std::string& path, std::string& digest, std::uint32_t& error);
// The same through a handle open for reading, from its start.
FileHash CryptoApiSha256Handle(void* file, std::string& digest, std::uint32_t& error);

// The DER bytes of a PEM text, whatever its label; empty when it holds none.
// For the signing tool's private keys (win32_pem.cpp, with CRYPT32).
std::vector<unsigned char> PemToDer(const std::string& pem);

}  // namespace rz
