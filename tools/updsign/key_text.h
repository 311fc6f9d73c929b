// What a file given to updsign looks like from its first bytes and its PEM
// labels, before any parser reads it: a refusal can then name its cause
// (a public key where the private one belongs, an encrypted key, swapped
// arguments) instead of one text for everything.
#pragma once

#include <string>

namespace rz {

// The label of the first PEM block ("PRIVATE KEY", "PUBLIC KEY"); "" when none.
std::string PemLabel(const std::string& text);

// Why `text` cannot be an unencrypted RSA private key, as far as its labels
// and headers tell; "" when only a parser can say.
std::string PrivateKeyTextProblem(const std::string& text);

// The refusal of an RSA key of `bits` bits, too short to sign with.
std::string ShortKeyProblem(unsigned bits);

// The first bytes of a Windows program ("MZ"), or of a PEM file.
bool LooksLikeProgram(const std::string& head);
bool LooksLikePem(const std::string& head);

}  // namespace rz
