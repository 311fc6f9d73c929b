#include "signing.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <memory>

#include "key_text.h"

namespace rz {

namespace {

struct Free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
    void operator()(EVP_MD_CTX* m) const { EVP_MD_CTX_free(m); }
    void operator()(BIO* b) const { BIO_free(b); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Digest = std::unique_ptr<EVP_MD_CTX, Free>;
using Bio = std::unique_ptr<BIO, Free>;

// An encrypted key asks for a passphrase: none is given, so it is refused.
int NoPassphrase(char*, int, int, void*) { return 0; }

Key ReadPem(const std::string& pem, bool isPrivate) {
    Bio in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!in) return nullptr;
    return Key(isPrivate ? PEM_read_bio_PrivateKey(in.get(), nullptr, NoPassphrase, nullptr)
                         : PEM_read_bio_PUBKEY(in.get(), nullptr, NoPassphrase, nullptr));
}

// "" for an RSA key of kLeastKeyBits or more, else what it is instead.
std::string KindProblem(EVP_PKEY* key) {
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        return std::string("it is not an RSA key (its type: ") + EVP_PKEY_get0_type_name(key) + ")";
    const int bits = EVP_PKEY_get_bits(key);
    return bits < int(kLeastKeyBits) ? ShortKeyProblem(static_cast<unsigned>(bits)) : "";
}

// An RSA public key of kLeastKeyBits or more from PEM text; null otherwise.
Key ReadPublicKey(const std::string& pem) {
    Key key = ReadPem(pem, false);
    return key && KindProblem(key.get()).empty() ? std::move(key) : nullptr;
}

std::string Pem(EVP_PKEY* key, bool isPrivate) {
    Bio out(BIO_new(BIO_s_mem()));
    const int ok = isPrivate ? PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                             : PEM_write_bio_PUBKEY(out.get(), key);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return ok == 1 && size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

}  // namespace

std::string MakeKeyPair(unsigned bits, std::string& privatePem, std::string& publicPem) {
    Key key(EVP_RSA_gen(bits));
    if (!key) return "no key pair could be made";
    privatePem = Pem(key.get(), true);
    publicPem = Pem(key.get(), false);
    return privatePem.empty() || publicPem.empty() ? "the keys could not be written as PEM" : "";
}

std::string SignBytes(const std::string& privatePem, const std::string& data, std::string& signature) {
    std::string why = PrivateKeyTextProblem(privatePem);
    if (!why.empty()) return why;
    const Key key = ReadPem(privatePem, true);
    if (!key) return "it is not a private key in PEM form that can be read (PKCS#8 or PKCS#1)";
    why = KindProblem(key.get());
    if (!why.empty()) return why;
    Digest md(EVP_MD_CTX_new());
    std::size_t size = 0;
    if (!md || EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(md.get(), nullptr, &size, nullptr, 0) != 1)
        return "the signature could not be made";
    signature.assign(size, '\0');
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(&signature[0]), &size, bytes, data.size()) != 1)
        return "the signature could not be made";
    signature.resize(size);
    return "";
}

SignatureCheck VerifyBytes(const std::string& publicPem, const std::string& data, const std::string& signature) {
    const Key key = ReadPublicKey(publicPem);
    if (!key) return SignatureCheck::KeyUnusable;
    Digest md(EVP_MD_CTX_new());
    if (!md || EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        return SignatureCheck::KeyUnusable;
    const int ok = EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                                    reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return ok == 1 ? SignatureCheck::Valid : SignatureCheck::Invalid;
}

}  // namespace rz
