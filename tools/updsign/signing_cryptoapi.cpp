// The signing tool's keys and signatures with Windows' own CryptoAPI, in
// the standard forms OpenSSL reads and writes. Wine's CryptoAPI encodes and
// decodes neither PKCS#8 nor a PKCS#1 private key, so both are taken apart
// and put together as sequences of DER items, which it does handle.
#include "signing.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "key_text.h"
#include "platform/win32_crypto.h"
#include "platform/win32_signature.h"

namespace rz {

namespace {

using Bytes = std::vector<BYTE>;

// The AlgorithmIdentifier of every RSA key: rsaEncryption, NULL parameters.
const BYTE kRsaAlgorithm[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

std::string ErrorText() { return "error " + std::to_string(GetLastError()); }

Bytes Encode(LPCSTR type, const void* value) {
    DWORD size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, type, value, 0, nullptr, nullptr, &size)) return {};
    Bytes der(size);
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, type, value, 0, nullptr, der.data(), &size)) return {};
    der.resize(size);
    return der;
}

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};
using Decoded = std::unique_ptr<void, LocalFreer>;

Decoded Decode(LPCSTR type, const BYTE* der, DWORD size, DWORD& decodedSize) {
    void* out = nullptr;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, type, der, size, CRYPT_DECODE_ALLOC_FLAG, nullptr, &out, &decodedSize))
        return nullptr;
    return Decoded(out);
}

// Empty when an item is: it failed to encode.
Bytes Sequence(const std::vector<Bytes>& items) {
    std::vector<CRYPT_DER_BLOB> blobs;
    for (const Bytes& item : items)
        if (item.empty()) return {};
    for (const Bytes& item : items) blobs.push_back({static_cast<DWORD>(item.size()), const_cast<BYTE*>(item.data())});
    CRYPT_SEQUENCE_OF_ANY sequence{static_cast<DWORD>(blobs.size()), blobs.data()};
    return Encode(X509_SEQUENCE_OF_ANY, &sequence);
}

// A non-negative INTEGER of `size` bytes, least significant first, in its
// shortest form: OpenSSL refuses padded integers.
Bytes Integer(const BYTE* value, DWORD size) {
    while (size > 1 && value[size - 1] == 0) --size;
    CRYPT_INTEGER_BLOB blob{size, const_cast<BYTE*>(value)};
    return Encode(X509_MULTI_BYTE_UINT, &blob);
}

// PKCS#1 RSAPrivateKey from a PRIVATEKEYBLOB, which holds modulus, p, q,
// d mod (p-1), d mod (q-1), q^-1 mod p and d, least significant byte first.
Bytes Pkcs1(const Bytes& blob) {
    const auto* rsa = reinterpret_cast<const RSAPUBKEY*>(blob.data() + sizeof(BLOBHEADER));
    const DWORD n = rsa->bitlen / 8, h = n / 2;
    const BYTE* modulus = blob.data() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    const BYTE* p = modulus + n;
    const BYTE* d = p + 5 * h;
    const BYTE zero = 0;
    return Sequence({Integer(&zero, 1), Integer(modulus, n), Integer(reinterpret_cast<const BYTE*>(&rsa->pubexp), 4),
                     Integer(d, n), Integer(p, h), Integer(p + h, h), Integer(p + 2 * h, h), Integer(p + 3 * h, h),
                     Integer(p + 4 * h, h)});
}

std::string Pem(const Bytes& der, const char* label) {
    DWORD size = 0;
    const DWORD length = static_cast<DWORD>(der.size());
    if (der.empty() || !CryptBinaryToStringA(der.data(), length, CRYPT_STRING_BASE64, nullptr, &size)) return "";
    std::string text(size, '\0');
    if (!CryptBinaryToStringA(der.data(), length, CRYPT_STRING_BASE64, &text[0], &size)) return "";
    text.resize(size);
    return std::string("-----BEGIN ") + label + "-----\r\n" + text + "-----END " + label + "-----\r\n";
}

// The PKCS#1 key inside PKCS#8 PrivateKeyInfo: version, algorithm, key.
Bytes FromPkcs8(const Bytes& der) {
    DWORD size = 0;
    const Decoded info = Decode(X509_SEQUENCE_OF_ANY, der.data(), static_cast<DWORD>(der.size()), size);
    const auto* items = static_cast<const CRYPT_SEQUENCE_OF_ANY*>(info.get());
    if (!items || items->cValue < 3 || items->rgValue[1].cbData != sizeof kRsaAlgorithm ||
        !std::equal(kRsaAlgorithm, kRsaAlgorithm + sizeof kRsaAlgorithm, items->rgValue[1].pbData))
        return {};
    const Decoded key = Decode(X509_OCTET_STRING, items->rgValue[2].pbData, items->rgValue[2].cbData, size);
    const auto* octets = static_cast<const CRYPT_DATA_BLOB*>(key.get());
    return octets ? Bytes(octets->pbData, octets->pbData + octets->cbData) : Bytes();
}

// A PRIVATEKEYBLOB from PEM PKCS#8 or PKCS#1; empty when it holds neither.
Bytes PrivateKeyBlob(const std::string& pem) {
    const std::string label = PemLabel(pem);
    Bytes der = PemToDer(pem);
    if (label == "PRIVATE KEY") der = FromPkcs8(der);
    else if (label != "RSA PRIVATE KEY") return {};
    DWORD size = 0;
    const Decoded blob = Decode(PKCS_RSA_PRIVATE_KEY, der.data(), static_cast<DWORD>(der.size()), size);
    SecureZeroMemory(der.data(), der.size());
    if (!blob) return {};
    const auto* bytes = static_cast<const BYTE*>(blob.get());
    Bytes out(bytes, bytes + size);
    SecureZeroMemory(blob.get(), size);
    return out;
}

}  // namespace

std::string MakeKeyPair(unsigned bits, std::string& privatePem, std::string& publicPem) {
    CryptoHandles c;
    DWORD size = 0;
    if (!c.Open() || !CryptGenKey(c.provider, AT_SIGNATURE, (bits << 16) | CRYPT_EXPORTABLE, &c.key) ||
        !CryptExportKey(c.key, 0, PRIVATEKEYBLOB, 0, nullptr, &size))
        return "no key pair could be made, " + ErrorText();
    Bytes blob(size);
    Bytes pkcs1;
    if (CryptExportKey(c.key, 0, PRIVATEKEYBLOB, 0, blob.data(), &size)) pkcs1 = Pkcs1(blob);
    SecureZeroMemory(blob.data(), blob.size());
    const BYTE version = 0;
    CRYPT_DATA_BLOB octets{static_cast<DWORD>(pkcs1.size()), pkcs1.data()};
    Bytes pkcs8 = Sequence({Integer(&version, 1), Bytes(kRsaAlgorithm, kRsaAlgorithm + sizeof kRsaAlgorithm),
                            Encode(X509_OCTET_STRING, &octets)});
    privatePem = Pem(pkcs8, "PRIVATE KEY");
    SecureZeroMemory(pkcs8.data(), pkcs8.size());
    SecureZeroMemory(pkcs1.data(), pkcs1.size());
    size = 0;
    if (CryptExportPublicKeyInfo(c.provider, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &size)) {
        Bytes info(size);
        if (CryptExportPublicKeyInfo(c.provider, AT_SIGNATURE, X509_ASN_ENCODING,
                                     reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &size))
            publicPem = Pem(Encode(X509_PUBLIC_KEY_INFO, info.data()), "PUBLIC KEY");
    }
    return privatePem.empty() || publicPem.empty() ? "the keys could not be written as PEM, " + ErrorText() : "";
}

std::string SignBytes(const std::string& privatePem, const std::string& data, std::string& signature) {
    const std::string why = PrivateKeyTextProblem(privatePem);
    if (!why.empty()) return why;
    Bytes blob = PrivateKeyBlob(privatePem);
    if (blob.empty()) return "it is not an RSA private key in PEM form that can be read (PKCS#8 or PKCS#1)";
    CryptoHandles c;
    DWORD bits = 0, size = sizeof bits;
    // Imported as the signature key, which CryptSignHash uses.
    reinterpret_cast<BLOBHEADER*>(blob.data())->aiKeyAlg = CALG_RSA_SIGN;
    if (c.Open() && CryptImportKey(c.provider, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &c.key))
        CryptGetKeyParam(c.key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0);
    SecureZeroMemory(blob.data(), blob.size());
    if (bits == 0) return "the key cannot be used, " + ErrorText();
    if (bits < kLeastKeyBits) return ShortKeyProblem(bits);
    size = 0;
    if (!CryptCreateHash(c.provider, CALG_SHA_256, 0, 0, &c.hash) ||
        !CryptHashData(c.hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0) ||
        !CryptSignHashA(c.hash, AT_SIGNATURE, nullptr, 0, nullptr, &size))
        return "the signature could not be made, " + ErrorText();
    Bytes bytes(size);
    if (!CryptSignHashA(c.hash, AT_SIGNATURE, nullptr, 0, bytes.data(), &size))
        return "the signature could not be made, " + ErrorText();
    // CryptoAPI writes it least significant byte first; the standard form
    // is the other way round.
    signature.assign(bytes.rbegin() + (bytes.size() - size), bytes.rend());
    return "";
}

}  // namespace rz
