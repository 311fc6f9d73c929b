// Detached-signature checks with Windows' own CryptoAPI: the monitor's
// platform and the signing tool's Windows build check alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace rz {

// As Platform::VerifyFileSignature; `error` is the system error of a file
// that cannot be read, or of a provider that cannot be had, else 0.
SignatureCheck CryptoApiVerifyFile(const std::string& publicKeyPem, const std::string& path,
                                   const std::string& signature, std::uint32_t& error);

// The DER bytes of a PEM text, whatever its label; empty when it holds none.
std::vector<unsigned char> PemToDer(const std::string& pem);

}  // namespace rz
