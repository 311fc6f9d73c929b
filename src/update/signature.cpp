#include "update/signature.h"

#include "core/app.h"

namespace rz {

namespace {

std::string ErrorText(Ctx& c) { return "error " + std::to_string(c.p.LastError()); }

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

}  // namespace

// The key is read at every attempt, so a replaced key counts at once. Any
// file or folder of that name switches the check on: one that cannot be
// read refuses, never lets an unsigned build through.
std::string SignatureRefusal(Ctx& c, const std::string& localCopy, const std::string& updatePath) {
    const std::string keyPath = AppPath(c, kUpdateKeyFile), sigPath = updatePath + ".sig";
    std::string key, signature;
    const ReadStatus keyRead = c.p.ReadSmallFile(keyPath, kKeyFileLimit, key);
    if (keyRead == ReadStatus::Missing) return "";
    std::string why = Unread(c, "the key", keyPath, keyRead, kKeyFileLimit);
    if (why.empty())
        why = Unread(c, "the signature", sigPath, c.p.ReadSmallFile(sigPath, kSignatureLimit, signature), kSignatureLimit);
    if (!why.empty()) return why;
    if (signature.empty()) return "the signature '" + sigPath + "' is empty";
    switch (c.p.VerifyFileSignature(key, localCopy, signature)) {
    case SignatureCheck::Valid:
        return "";
    case SignatureCheck::KeyUnusable:
        return "the key '" + keyPath + "' is not an RSA public key of " + std::to_string(kLeastKeyBits) +
               " bits or more in PEM form";
    case SignatureCheck::Unreadable:
        return "the copy '" + localCopy + "' cannot be read for its signature check, " + ErrorText(c);
    case SignatureCheck::Invalid:
        break;
    }
    return "the signature '" + sigPath + "' is not the key's signature of this build";
}

}  // namespace rz
