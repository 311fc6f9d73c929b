#include "platform/win32_signature.h"

#include "platform/win32_crypto.h"

#include <cstring>
#include <vector>

namespace rz {

namespace {

constexpr DWORD kChunkBytes = 256 * 1024;

bool ImportPublicKey(CryptoHandles& c, const std::string& pem) {
    const std::vector<BYTE> der = PemToDer(pem);
    CERT_PUBLIC_KEY_INFO* info = nullptr;
    DWORD infoSize = 0;
    if (der.empty() || !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(),
                                            static_cast<DWORD>(der.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &info,
                                            &infoSize))
        return false;
    const bool imported = std::strcmp(info->Algorithm.pszObjId, szOID_RSA_RSA) == 0 &&
                          CryptImportPublicKeyInfo(c.provider, X509_ASN_ENCODING, info, &c.key);
    LocalFree(info);
    DWORD bits = 0, size = sizeof bits;
    return imported && CryptGetKeyParam(c.key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0) &&
           bits >= kLeastKeyBits;
}

// Hashes the whole file while nobody may write to it, so that the bytes
// checked are the bytes that stay.
bool HashFile(CryptoHandles& c, const std::string& path, std::uint32_t& error) {
    const HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    std::vector<BYTE> chunk(kChunkBytes);
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(f, chunk.data(), kChunkBytes, &got, nullptr) != 0) && got > 0)
        if (!(ok = CryptHashData(c.hash, chunk.data(), got, 0) != 0)) break;
    if (!ok) error = GetLastError();
    CloseHandle(f);
    return ok;
}

}  // namespace

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

SignatureCheck CryptoApiVerifyFile(const std::string& publicKeyPem, const std::string& path,
                                   const std::string& signature, std::uint32_t& error) {
    error = 0;
    CryptoHandles c;
    if (!c.Open() ||
        !CryptCreateHash(c.provider, CALG_SHA_256, 0, 0, &c.hash)) {
        error = GetLastError();
        return SignatureCheck::KeyUnusable;
    }
    if (!ImportPublicKey(c, publicKeyPem)) return SignatureCheck::KeyUnusable;
    if (!HashFile(c, path, error)) return SignatureCheck::Unreadable;
    // CryptoAPI takes the signature's bytes least significant first.
    const std::string reversed(signature.rbegin(), signature.rend());
    return CryptVerifySignatureA(c.hash, reinterpret_cast<const BYTE*>(reversed.data()),
                                 static_cast<DWORD>(reversed.size()), c.key, nullptr, 0)
               ? SignatureCheck::Valid
               : SignatureCheck::Invalid;
}

}  // namespace rz
