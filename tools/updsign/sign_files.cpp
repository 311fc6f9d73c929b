#include "sign_files.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "key_text.h"
#include "signing.h"
#include "update/key_file.h"
#include "update/signature.h"
#ifdef _WIN32
#include "platform/win32_signature.h"
#endif

namespace rz {

namespace {

// The first bytes of a file; "" when it cannot be read.
std::string Head(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char buf[512];
    in.read(buf, sizeof buf);
    return std::string(buf, static_cast<std::size_t>(in.gcount()));
}

// The monitor's own check on Windows; the same standard check with OpenSSL
// elsewhere. `why` tells why a file that cannot be read cannot.
SignatureCheck Check(const RsaPublicKey& key, const std::string& file, const std::string& signature, std::string& why) {
#ifdef _WIN32
    std::uint32_t error = 0;
    const SignatureCheck result = CryptoApiVerifyFile(key, file, signature, error);
    why = result == SignatureCheck::NoProvider ? "the crypto provider cannot be opened, error "
                                               : "'" + file + "' cannot be read, error ";
    why += std::to_string(error);
    return result;
#else
    std::string data;
    why = ReadWhole(file, kAnySize, data);
    return why.empty() ? VerifyBytes(key.pem, data, signature) : SignatureCheck::Unreadable;
#endif
}

}  // namespace

std::string FileProblem(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (!fs::exists(st)) return "'" + path + "' does not exist";
    if (fs::is_directory(st)) return "'" + path + "' is a folder";
    return "";
}

std::string ReadWhole(const std::string& path, std::uintmax_t limit, std::string& out) {
    namespace fs = std::filesystem;
    std::string why = FileProblem(path);
    if (!why.empty()) return why;
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) return "'" + path + "' cannot be read";
    if (size > limit) return "'" + path + "' is larger than " + std::to_string(limit) + " bytes";
    std::ifstream in(path, std::ios::binary);
    out.assign(static_cast<std::size_t>(size), '\0');
    if (size > 0 && !in.read(&out[0], static_cast<std::streamsize>(size))) return "'" + path + "' cannot be read";
    return "";
}

// Looked at before the key is read, so that the refusal names the mix-up
// rather than a key "larger than 16384 bytes".
std::string SwappedProblem(const std::string& keyPath, const std::string& file) {
    std::string what;
    if (LooksLikeProgram(Head(keyPath)))
        what = "'" + keyPath + "' is a program, not a key";
    else if (LooksLikePem(Head(file)))
        what = "'" + file + "' is a PEM file, not a build";
    return what.empty() ? "" : "the arguments look swapped: " + what + "; the KEY comes first, then the FILE";
}

std::string SignFile(const std::string& keyPath, const std::string& file, std::string& signature) {
    std::string pem, data;
    std::string why = ReadWhole(keyPath, kKeyFileLimit, pem);
    if (why.empty()) why = ReadWhole(file, kAnySize, data);
    if (why.empty()) why = SignBytes(pem, data, signature);
    return why;
}

std::string ReadPublicKeys(const std::string& keyPath, std::vector<RsaPublicKey>& keys) {
    std::string pem;
    std::string why = ReadWhole(keyPath, kKeyFileLimit, pem);
    if (!why.empty()) return why;
    // The monitor's reader would call it a key that must never lie beside a
    // monitor; here it is the wrong half of the pair.
    if (pem.find("PRIVATE KEY-----") != std::string::npos)
        return "'" + keyPath + "' holds a private key; verify needs the public key, the one that lies beside the "
               "monitors as UpdateKey.pem";
    const std::string held = ReadKeyFile(pem, keys);
    return held.empty() ? "" : "'" + keyPath + "' holds " + held;
}

// Any one of the file's keys may sign: the centre can roll its key over.
std::string VerifyFile(const std::vector<RsaPublicKey>& keys, const std::string& keyPath, const std::string& file,
                       const std::string& signature, const std::string& sigName) {
    std::string why = signature.empty() ? "'" + sigName + "' is empty" : "";
    for (std::size_t i = 0; why.empty() && i < keys.size(); ++i) {
        std::string failure;
        switch (Check(keys[i], file, signature, failure)) {
        case SignatureCheck::Valid: return "";
        case SignatureCheck::KeyUnusable:
            why = "'" + keyPath + "' holds a key that the system's RSA provider does not take";
            break;
        case SignatureCheck::Unreadable:
        case SignatureCheck::NoProvider: why = failure; break;
        case SignatureCheck::Invalid:
            if (i + 1 == keys.size())
                why = "'" + sigName + "' is not the signature of '" + file + "' for '" + keyPath + "'";
            break;
        }
    }
    return why;
}

}  // namespace rz
