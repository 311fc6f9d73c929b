// Makes the key pair of a centre that requires signed manager updates,
// signs updates and checks them as the monitor does.
// Run "updsign --help" for its command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "command_line.h"
#include "config.h"
#include "key_text.h"
#include "sign_files.h"
#include "signing.h"
#include "update/signature.h"

namespace {

constexpr int kExitRefused = 1;
constexpr unsigned kDefaultBits = 3072;

const char* const kUsage =
    "updsign " RZ_VERSION " - signs manager updates for monitors that require them: with the\n"
    "public key beside ROREROZARIRADI.exe as UpdateKey.pem, a monitor installs only an update\n"
    "whose signature FILE.sig lies beside it.\n"
    "\n"
    "usage: updsign keygen PRIVATE.pem PUBLIC.pem [--bits N]\n"
    "           makes a new key pair; PRIVATE.pem never goes on the share nor beside a monitor\n"
    "       updsign sign PRIVATE.pem FILE [--output SIG [--force]]\n"
    "           writes the signature of FILE to FILE.sig (replacing it), or to SIG\n"
    "       updsign verify PUBLIC.pem FILE [--signature SIG]\n"
    "           checks FILE.sig, or SIG, as the monitor does\n"
    "       updsign --help | -h | --version\n"
    "\n"
    "  -b, --bits N          key size: 2048, 3072 (default) or 4096\n"
    "  -o, --output SIG      where sign writes the signature; never over an existing file\n"
    "  -f, --force           lets --output replace an existing file, but never the key or FILE\n"
    "  -s, --signature SIG   the signature verify checks\n"
    "Keys are PEM files as OpenSSL reads and writes them: the private key PKCS#8 or PKCS#1,\n"
    "unencrypted; the public key SubjectPublicKeyInfo. Signatures are RSA PKCS#1 v1.5 over\n"
    "SHA-256, as 'openssl dgst -sha256 -sign' writes them.\n"
    "Exit codes: 0 done (verify: the signature is valid), 1 refused or failed (the reason on\n"
    "standard error), 2 bad command line.\n";

int BadUsage(const std::string& why) { return rz::BadUsage("updsign", why); }

int Refused(const std::string& why) {
    std::fprintf(stderr, "updsign: %s\n", why.c_str());
    return kExitRefused;
}

// Why a file cannot be written, in the system's words.
std::string CannotWrite(const std::string& path, int error) {
    return "'" + path + "' cannot be written: " + std::strerror(error);
}

// "" when written, else why not.
std::string Write(const std::string& path, const std::string& data) {
    errno = 0;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return CannotWrite(path, errno);
    const bool wrote = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    const int error = errno;
    if (std::fclose(f) != 0 || !wrote) return CannotWrite(path, errno ? errno : error);
    return "";
}

// A key file that must not replace another: an overwritten private key
// would leave every monitor of the centre refusing new builds.
std::string WriteNewKey(const std::string& path, const std::string& pem, bool ownerOnly) {
#ifndef _WIN32
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, ownerOnly ? 0600 : 0644);
    if (fd < 0) return CannotWrite(path, errno);
    const bool ok = write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
    const int error = errno;
    if (close(fd) != 0 || !ok) return CannotWrite(path, ok ? errno : error);
    return "";
#else
    (void)ownerOnly;  // the folder's access rules apply
    return Write(path, pem);
#endif
}

int KeyGen(const std::string& privatePath, const std::string& publicPath, unsigned bits) {
    std::error_code ec;
    for (const std::string& path : {privatePath, publicPath})
        if (std::filesystem::exists(path, ec)) return Refused("'" + path + "' exists already; choose a new name");
    std::string privatePem, publicPem;
    std::string why = rz::MakeKeyPair(bits, privatePem, publicPem);
    if (why.empty()) why = WriteNewKey(privatePath, privatePem, true);
    if (why.empty()) why = WriteNewKey(publicPath, publicPem, false);
    if (!why.empty()) return Refused(why);
    std::printf("private key: %s (keep it off the share and away from the monitors)\n", privatePath.c_str());
    std::printf("public key:  %s (copy it beside each monitor as UpdateKey.pem)\n", publicPath.c_str());
    return 0;
}

// Never over the key or the file signed, whatever names, links or letter
// case lead there. The default FILE.sig is replaced when it is a file of its
// own, never written through a link; an --output over another existing file
// only with `force`.
std::string TargetProblem(const std::string& target, const std::string& keyPath, const std::string& file,
                          bool byDefault, bool force) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status link = fs::symlink_status(target, ec);
    if (!fs::exists(link)) return "";
    const std::string instead = byDefault ? "; delete '" + target + "' first" : "; choose another --output";
    if (fs::equivalent(target, keyPath, ec)) return "'" + target + "' is the private key" + instead;
    if (fs::equivalent(target, file, ec)) return "'" + target + "' is the file being signed" + instead;
    if (byDefault && fs::is_symlink(link))
        return "'" + target + "' is a link to '" + fs::read_symlink(target, ec).string() +
               "'; sign writes the signature as a file of its own: delete the link first";
    return byDefault || force ? "" : "'" + target + "' exists already; --force replaces it";
}

int Sign(const std::string& keyPath, const std::string& file, const std::string& output, bool force) {
    const std::string target = output.empty() ? file + ".sig" : output;
    std::string why = rz::SwappedProblem(keyPath, file);
    if (why.empty()) why = TargetProblem(target, keyPath, file, output.empty(), force);
    if (!why.empty()) return Refused("refused: " + why);
    std::string signature;
    why = rz::SignFile(keyPath, file, signature);
    if (!why.empty()) return Refused("cannot sign '" + file + "' with '" + keyPath + "': " + why);
    why = Write(target, signature);
    if (!why.empty()) return Refused(why);
    std::printf("%s: %s bytes\n", target.c_str(), std::to_string(signature.size()).c_str());
    return 0;
}

// The key file is read by the monitor's own reader: the tool takes exactly
// the files that the monitor takes, and any one of their keys may sign.
int Verify(const std::string& keyPath, const std::string& file, const std::string& sigPath) {
    std::string signature;
    std::vector<rz::RsaPublicKey> keys;
    std::string why = rz::SwappedProblem(keyPath, file);
    if (why.empty()) why = rz::ReadPublicKeys(keyPath, keys);
    // A missing build is named as such, not as its missing signature.
    if (why.empty()) why = rz::FileProblem(file);
    if (why.empty()) why = rz::ReadWhole(sigPath, rz::kSignatureLimit, signature);
    if (why.empty()) why = rz::VerifyFile(keys, keyPath, file, signature, sigPath);
    if (!why.empty()) return Refused("refused: " + why);
    std::printf("valid: '%s' is the signature of '%s' for '%s'\n", sigPath.c_str(), file.c_str(), keyPath.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    rz::Option bits{"--bits", "-b"}, output{"--output", "-o"}, signature{"--signature", "-s"}, force{"--force", "-f", true};
    std::vector<std::string> words;
    if (const int done = rz::ParseCommandLine(argc, argv, "updsign", kUsage, {&bits, &output, &signature, &force}, words);
        done >= 0)
        return done;
    if (words.empty()) return BadUsage("say keygen, sign or verify");
    const std::string& verb = words[0];
    if (verb != "keygen" && verb != "sign" && verb != "verify") return BadUsage("unknown command '" + verb + "'");
    if (words.size() != 3)
        return BadUsage(verb + (verb == "keygen" ? " takes PRIVATE.pem and PUBLIC.pem" : " takes a KEY and a FILE"));
    if ((bits.given && verb != "keygen") || (output.given && verb != "sign") ||
        (signature.given && verb != "verify"))
        return BadUsage("--bits goes with keygen, --output with sign, --signature with verify");
    if (force.given && !output.given) return BadUsage("--force goes with sign --output");
    const std::string& first = words[1];
    const std::string& second = words[2];
    if (verb == "keygen") {
        if (bits.given && bits.value != "2048" && bits.value != "3072" && bits.value != "4096")
            return BadUsage("the key size must be 2048, 3072 or 4096, not '" + bits.value + "'");
        if (first == second) return BadUsage("the private and the public key need two names");
        return KeyGen(first, second, bits.given ? std::stoul(bits.value) : kDefaultBits);
    }
    if ((output.given && output.value.empty()) || (signature.given && signature.value.empty()))
        return BadUsage("--output and --signature need a file name");
    if (verb == "sign") return Sign(first, second, output.value, force.given);
    return Verify(first, second, signature.given ? signature.value : second + ".sig");
}
