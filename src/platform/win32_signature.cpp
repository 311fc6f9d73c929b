#include "platform/win32_signature.h"

#include "platform/win32_crypto.h"

#include <algorithm>
#include <vector>

namespace rz {

namespace {

constexpr DWORD kChunkBytes = 256 * 1024;

// The key as CryptoAPI's PUBLICKEYBLOB, modulus least significant byte
// first. The key file's own reader has taken the PEM apart, so that the
// monitor needs nothing of CRYPT32.
bool ImportPublicKey(CryptoHandles& c, const RsaPublicKey& key) {
    const std::size_t head = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    std::vector<BYTE> blob(head + key.modulus.size());
    auto* header = reinterpret_cast<BLOBHEADER*>(blob.data());
    header->bType = PUBLICKEYBLOB;
    header->bVersion = CUR_BLOB_VERSION;
    header->reserved = 0;
    header->aiKeyAlg = CALG_RSA_KEYX;
    auto* rsa = reinterpret_cast<RSAPUBKEY*>(blob.data() + sizeof(BLOBHEADER));
    rsa->magic = 0x31415352;  // "RSA1": a public key
    rsa->bitlen = static_cast<DWORD>(key.modulus.size() * 8);
    rsa->pubexp = key.exponent;
    std::copy(key.modulus.rbegin(), key.modulus.rend(), blob.begin() + head);
    return CryptImportKey(c.provider, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &c.key) != 0;
}

// A verify-only context and a SHA-256 hash in it; false when the provider
// cannot give them.
bool OpenHash(CryptoHandles& c, std::uint32_t& error) {
    if (c.Open() && CryptCreateHash(c.provider, CALG_SHA_256, 0, 0, &c.hash)) return true;
    error = GetLastError();
    return false;
}

bool HashHandle(CryptoHandles& c, HANDLE f, std::uint32_t& error) {
    std::vector<BYTE> chunk(kChunkBytes);
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(f, chunk.data(), kChunkBytes, &got, nullptr) != 0) && got > 0)
        if (!(ok = CryptHashData(c.hash, chunk.data(), got, 0) != 0)) break;
    if (!ok) error = GetLastError();
    return ok;
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
    const bool ok = HashHandle(c, f, error);
    CloseHandle(f);
    return ok;
}

FileHash HashValue(CryptoHandles& c, std::string& digest, std::uint32_t& error) {
    BYTE value[32];
    DWORD size = sizeof value;
    if (!CryptGetHashParam(c.hash, HP_HASHVAL, value, &size, 0) || size != sizeof value) {
        error = GetLastError();
        return FileHash::NoProvider;
    }
    static const char* const hex = "0123456789abcdef";
    digest.clear();
    for (BYTE b : value) digest += {hex[b >> 4], hex[b & 15]};
    return FileHash::Done;
}

}  // namespace

SignatureCheck CryptoApiVerifyFile(const RsaPublicKey& key, const std::string& path, const std::string& signature,
                                   std::uint32_t& error) {
    error = 0;
    CryptoHandles c;
    if (!OpenHash(c, error)) return SignatureCheck::NoProvider;
    if (!ImportPublicKey(c, key)) {
        error = GetLastError();
        return SignatureCheck::KeyUnusable;
    }
    if (!HashFile(c, path, error)) return SignatureCheck::Unreadable;
    // CryptoAPI takes the signature's bytes least significant first.
    const std::string reversed(signature.rbegin(), signature.rend());
    return CryptVerifySignatureA(c.hash, reinterpret_cast<const BYTE*>(reversed.data()),
                                 static_cast<DWORD>(reversed.size()), c.key, nullptr, 0)
               ? SignatureCheck::Valid
               : SignatureCheck::Invalid;
}

FileHash CryptoApiSha256File(const std::string& path, std::string& digest, std::uint32_t& error) {
    error = 0;
    CryptoHandles c;
    if (!OpenHash(c, error)) return FileHash::NoProvider;
    if (!HashFile(c, path, error)) return FileHash::Unreadable;
    return HashValue(c, digest, error);
}

FileHash CryptoApiSha256Handle(void* file, std::string& digest, std::uint32_t& error) {
    error = 0;
    CryptoHandles c;
    if (!OpenHash(c, error)) return FileHash::NoProvider;
    if (!HashHandle(c, static_cast<HANDLE>(file), error)) return FileHash::Unreadable;
    return HashValue(c, digest, error);
}

}  // namespace rz
