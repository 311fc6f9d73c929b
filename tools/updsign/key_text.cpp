#include "key_text.h"

#include "platform/platform.h"

namespace rz {

namespace {

const char* const kBegin = "-----BEGIN ";

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string PemLabel(const std::string& text) {
    const std::size_t begin = text.find(kBegin);
    if (begin == std::string::npos) return "";
    const std::size_t start = begin + 11;
    const std::size_t end = text.find("-----", start);
    return end == std::string::npos ? "" : text.substr(start, end - start);
}

std::string PrivateKeyTextProblem(const std::string& text) {
    const std::string label = PemLabel(text);
    if (label.empty()) return "it is not a key in PEM form";
    if (EndsWith(label, "PUBLIC KEY")) return "it is a public key; sign needs the private key";
    // PKCS#8 says so in its label, the older PKCS#1 form in a header line.
    if (label == "ENCRYPTED PRIVATE KEY" || text.find("Proc-Type: 4,ENCRYPTED") != std::string::npos)
        return "it is encrypted with a passphrase; updsign reads unencrypted keys only (decrypt a copy with "
               "'openssl pkey -in KEY -out PLAIN.pem' and keep that copy as safe as the key)";
    if (label == "EC PRIVATE KEY" || label == "DSA PRIVATE KEY" || label == "OPENSSH PRIVATE KEY")
        return "it is not an RSA key (its type: " + label.substr(0, label.find(' ')) + ")";
    if (label != "PRIVATE KEY" && label != "RSA PRIVATE KEY") return "it holds a '" + label + "', not a private key";
    return "";
}

std::string ShortKeyProblem(unsigned bits) {
    return "it is a " + std::to_string(bits) + "-bit RSA key; keys of " + std::to_string(kLeastKeyBits) +
           " bits or more are needed";
}

bool LooksLikeProgram(const std::string& head) { return head.compare(0, 2, "MZ") == 0; }

bool LooksLikePem(const std::string& head) { return head.find(kBegin) != std::string::npos; }

}  // namespace rz
