// The handles of one piece of CryptoAPI work, released together; for the
// Windows code that checks and makes signatures.
#pragma once

#include <windows.h>
#include <wincrypt.h>

namespace rz {

struct CryptoHandles {
    HCRYPTPROV provider = 0;
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;

    CryptoHandles() = default;
    CryptoHandles(const CryptoHandles&) = delete;
    CryptoHandles& operator=(const CryptoHandles&) = delete;
    ~CryptoHandles() {
        if (hash) CryptDestroyHash(hash);
        if (key) CryptDestroyKey(key);
        if (provider) CryptReleaseContext(provider, 0);
    }
    // A verify-only context keeps its keys in memory: nothing of a key
    // lands in the user's key store.
    bool Open() { return CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) != 0; }
};

}  // namespace rz
