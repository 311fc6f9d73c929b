#include "update/key_file.h"

#include <cstdint>

namespace rz {

namespace {

const std::string kRsaEncryption("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01", 9);

// Base64 without line breaks or blanks; false on any other character.
bool Base64(const std::string& text, std::string& out) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::uint32_t bits = 0;
    int count = 0, padding = 0;
    for (char ch : text) {
        if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') continue;
        if (ch == '=') {
            ++padding;
            continue;
        }
        const std::size_t v = digits.find(ch);
        if (v == std::string::npos || padding > 0) return false;
        bits = bits << 6 | static_cast<std::uint32_t>(v);
        if ((count += 6) >= 8) out += static_cast<char>(bits >> (count -= 8) & 0xFF);
    }
    return padding <= 2;
}

// One DER item at `at`: its tag must be `tag`; `body` gets its contents.
bool Item(const std::string& der, std::size_t& at, unsigned char tag, std::string& body) {
    if (at + 2 > der.size() || static_cast<unsigned char>(der[at]) != tag) return false;
    std::size_t length = static_cast<unsigned char>(der[at + 1]);
    at += 2;
    if (length & 0x80) {
        const std::size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 3 || at + bytes > der.size()) return false;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) length = length << 8 | static_cast<unsigned char>(der[at++]);
    }
    if (length > der.size() - at) return false;
    body = der.substr(at, length);
    at += length;
    return true;
}

bool Integer(const std::string& der, std::size_t& at, std::string& value) {
    if (!Item(der, at, 0x02, value) || value.empty() || (value[0] & 0x80)) return false;  // positive only
    value.erase(0, value.find_first_not_of('\0') == std::string::npos ? value.size() : value.find_first_not_of('\0'));
    return true;
}

// SubjectPublicKeyInfo: SEQUENCE { SEQUENCE { OID, params }, BIT STRING
// { SEQUENCE { INTEGER n, INTEGER e } } }. "" when it is an RSA key.
std::string PublicKey(const std::string& der, RsaPublicKey& key) {
    std::string info, algorithm, oid, bits, rsa, exponent;
    std::size_t at = 0, in = 0, a = 0;
    if (!Item(der, at, 0x30, info) || at != der.size() || !Item(info, in, 0x30, algorithm) ||
        !Item(algorithm, a, 0x06, oid) || !Item(info, in, 0x03, bits) || in != info.size())
        return "a damaged key";
    if (oid != kRsaEncryption) return "a key that is not RSA";
    std::size_t r = 0, k = 0;
    if (bits.empty() || bits[0] != 0 || !Item(bits.substr(1), r, 0x30, rsa) || !Integer(rsa, k, key.modulus) ||
        !Integer(rsa, k, exponent) || k != rsa.size() || key.modulus.empty() || exponent.empty())
        return "a damaged RSA key";
    if (exponent.size() > 4) return "an RSA key whose exponent is beyond 32 bits";
    key.exponent = 0;
    for (char ch : exponent) key.exponent = key.exponent << 8 | static_cast<unsigned char>(ch);
    key.bits = static_cast<unsigned>(key.modulus.size() * 8);
    for (unsigned char top = static_cast<unsigned char>(key.modulus[0]); !(top & 0x80); top <<= 1) --key.bits;
    if (key.bits < kLeastKeyBits)
        return "an RSA key of " + std::to_string(key.bits) + " bits, shorter than " + std::to_string(kLeastKeyBits);
    return "";
}

// Why one block is of no use; "" when it is a usable public key.
std::string Block(const std::string& label, const std::string& body, RsaPublicKey& key) {
    if (label == "RSA PUBLIC KEY") return "a PKCS#1 'RSA PUBLIC KEY', where a 'PUBLIC KEY' belongs";
    if (label != "PUBLIC KEY") return "a '" + label + "' block, not a public key";
    std::string der;
    if (!Base64(body, der)) return "a damaged key (not Base64)";
    return PublicKey(der, key);
}

}  // namespace

std::string ReadKeyFile(const std::string& text, std::vector<RsaPublicKey>& keys) {
    keys.clear();
    // A private key anywhere in the file outweighs all else: it is on
    // every PC that has the file, so signing would protect nothing.
    if (text.find("PRIVATE KEY-----") != std::string::npos) {
        const bool encrypted = text.find("ENCRYPTED") != std::string::npos;
        return std::string(encrypted ? "an encrypted" : "a") + " private key, which must never lie beside a monitor";
    }
    std::string why;
    std::size_t at = 0;
    for (int n = 1; why.empty(); ++n) {
        const std::size_t begin = text.find("-----BEGIN ", at);
        if (begin == std::string::npos) break;
        const std::size_t labelEnd = text.find("-----", begin + 11);
        const std::string label = text.substr(begin + 11, labelEnd == std::string::npos ? 0 : labelEnd - begin - 11);
        const std::string endLine = "-----END " + label + "-----";
        const std::size_t end = labelEnd == std::string::npos ? labelEnd : text.find(endLine, labelEnd + 5);
        if (end == std::string::npos) {
            why = "a block without its END line";
        } else {
            RsaPublicKey key;
            key.pem = text.substr(begin, end + endLine.size() - begin) + "\n";
            why = Block(label, text.substr(labelEnd + 5, end - labelEnd - 5), key);
            if (why.empty()) keys.push_back(key);
            at = end + endLine.size();
        }
        if (!why.empty()) why += " (block " + std::to_string(n) + ")";
    }
    if (why.empty() && keys.empty()) why = "no public key";
    if (!why.empty()) keys.clear();
    return why;
}

}  // namespace rz
