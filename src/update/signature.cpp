#include "update/signature.h"

#include "core/app.h"
#include "update/key_file.h"

namespace rz {

namespace {

// Why a small file read with `status` cannot serve; "" when it can.
std::string Unread(Ctx& c, const std::string& what, const std::string& path, ReadStatus status, std::size_t limit) {
    switch (status) {
    case ReadStatus::Ok:
        return "";
    case ReadStatus::Missing:
        return what + " '" + path + "' is missing";
    case ReadStatus::TooLarge:
        return what + " '" + path + "' is larger than " + std::to_string(limit) + " bytes";
    case ReadStatus::Error:
        break;
    }
    return what + " '" + path + "' cannot be read, " + ErrorText(c);
}

std::string SigPath(const std::string& updatePath) { return updatePath + ".sig"; }

}  // namespace

std::string UpdateKeys(Ctx& c, std::vector<RsaPublicKey>& keys) {
    keys.clear();
    const std::string keyPath = AppPath(c, kUpdateKeyFile);
    std::string text;
    const ReadStatus read = c.p.ReadSmallFile(keyPath, kKeyFileLimit, text);
    if (read == ReadStatus::Missing) return "";
    const std::string why = Unread(c, "the key", keyPath, read, kKeyFileLimit);
    if (!why.empty()) return why;
    const std::string held = ReadKeyFile(text, keys);
    return held.empty() ? "" : "the key '" + keyPath + "' holds " + held;
}

std::string KeysRead(const std::string& why, const std::vector<RsaPublicKey>& keys) {
    std::string read = why;
    for (const RsaPublicKey& key : keys) read += "\n" + key.pem;
    return read;
}

std::string KeysNow(Ctx& c) {
    std::vector<RsaPublicKey> keys;
    const std::string why = UpdateKeys(c, keys);
    return KeysRead(why, keys);
}

std::string SignatureShape(Ctx& c, const std::vector<RsaPublicKey>& keys, const std::string& updatePath) {
    if (keys.empty()) return "";
    const std::string sigPath = SigPath(updatePath);
    FileStamp sig;
    if (!c.p.StatFile(sigPath, sig)) {
        if (c.p.Attributes(sigPath) == PathKind::Missing) return "the signature '" + sigPath + "' is missing";
        return "the signature '" + sigPath + "' cannot be looked at, " + ErrorText(c);
    }
    for (const RsaPublicKey& key : keys)
        if (sig.length == key.modulus.size()) return "";
    return "the signature '" + sigPath + "' is " + std::to_string(sig.length) + " bytes, where the key's are " +
           std::to_string(keys.front().modulus.size());
}

std::string SignatureRefusal(Ctx& c, const std::vector<RsaPublicKey>& keys, const std::string& localCopy,
                             const std::string& updatePath) {
    if (keys.empty()) return "";
    const std::string sigPath = SigPath(updatePath);
    std::string signature;
    std::string why = Unread(c, "the signature", sigPath, c.p.ReadSmallFile(sigPath, kSignatureLimit, signature),
                             kSignatureLimit);
    if (!why.empty()) return why;
    if (signature.empty()) return "the signature '" + sigPath + "' is empty";
    for (const RsaPublicKey& key : keys) {
        switch (c.p.VerifyFileSignature(key, localCopy, signature)) {
        case SignatureCheck::Valid:
            return "";
        case SignatureCheck::KeyUnusable:
            return "the key '" + AppPath(c, kUpdateKeyFile) + "' is not taken by the system's RSA provider";
        case SignatureCheck::Unreadable:
            return "the copy '" + localCopy + "' cannot be read for its signature check, " + ErrorText(c);
        case SignatureCheck::NoProvider:
            return "the crypto provider cannot be opened, " + ErrorText(c);
        case SignatureCheck::Invalid:
            break;
        }
    }
    return "the signature '" + sigPath + "' is not the key's signature of this build";
}

std::string SignatureRefusal(Ctx& c, const std::string& localCopy, const std::string& updatePath) {
    std::vector<RsaPublicKey> keys;
    const std::string why = UpdateKeys(c, keys);
    return why.empty() ? SignatureRefusal(c, keys, localCopy, updatePath) : why;
}

}  // namespace rz
