// PEM to DER with CRYPT32, for the signing tool's private keys; kept apart
// from the signature check so that the monitor does not import CRYPT32.
#include "platform/win32_signature.h"

#include "platform/win32_crypto.h"

namespace rz {

std::vector<BYTE> PemToDer(const std::string& pem) {
    const DWORD length = static_cast<DWORD>(pem.size());
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return {};
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), length, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
        return {};
    der.resize(size);
    return der;
}

}  // namespace rz
