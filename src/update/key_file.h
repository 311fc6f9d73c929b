// What UpdateKey.pem holds. The monitor and updsign verify read it with this
// one reader, so that the tool takes exactly the files the monitor takes.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace rz {

// "" when `text` holds one or more usable RSA public keys (any one of them
// may sign: the centre can roll its key over), which then fill `keys`.
// Else why the file refuses every update, worded to follow "the key file
// holds ...": a private key, no key, or which block is of no use and why.
std::string ReadKeyFile(const std::string& text, std::vector<RsaPublicKey>& keys);

}  // namespace rz
