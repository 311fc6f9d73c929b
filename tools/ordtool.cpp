// Writes and reads MainMachine.ord, the file that names the main machine.
//   ordtool encode NAME [--key K]   prints the line the file must hold
//   ordtool decode FILE             prints the name the monitor would read
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "core/app.h"
#include "startup/main_machine.h"

namespace {

constexpr char kDefaultKey = '7';

int Usage() {
    std::fprintf(stderr, "usage: ordtool encode NAME [--key 1-9]\n       ordtool decode FILE\n");
    return 2;
}

// Command-line text as UTF-8 to the 8-bit code page (Latin-1 range);
// false for anything that has no place there.
bool ToCodePage(const std::string& utf8, std::string& out) {
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char b = utf8[i];
        unsigned code;
        if (b < 0x80) {
            code = b;
            i += 1;
        } else if ((b & 0xE0) == 0xC0 && i + 1 < utf8.size() && (utf8[i + 1] & 0xC0) == 0x80) {
            code = ((b & 0x1F) << 6) | (utf8[i + 1] & 0x3F);
            i += 2;
        } else {
            return false;
        }
        if (code < 0x20 || (code >= 0x7F && code < 0xA0) || code > 0xFF) return false;
        out += static_cast<char>(code);
    }
    return true;
}

std::string ToUtf8(const std::string& text) {
    std::string out;
    for (unsigned char ch : text) {
        if (ch < 0x80) {
            out += static_cast<char>(ch);
        } else {
            out += static_cast<char>(0xC0 | (ch >> 6));
            out += static_cast<char>(0x80 | (ch & 0x3F));
        }
    }
    return out;
}

int Encode(const std::string& name, char key) {
    std::string text;
    if (name.empty() || !ToCodePage(name, text) || text.find_first_of(",\"") != std::string::npos) {
        std::fprintf(stderr,
                     "ordtool: the name must be non-empty printable text without commas or double quotes, "
                     "in the 8-bit code page\n");
        return 2;
    }
    const std::string line = rz::EncodeMainMachine(text, key);
    if (line.empty()) {
        std::fprintf(stderr, "ordtool: the name does not survive decoding\n");
        return 2;
    }
    std::printf("%s\n", line.c_str());
    return 0;
}

int Decode(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::string name;
    if (in) {
        std::string content;
        char buffer[4096];
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
            content.append(buffer, static_cast<std::size_t>(in.gcount()));
            if (content.size() > rz::kNameFileLimit) break;
        }
        if (content.size() <= rz::kNameFileLimit) name = rz::DecodeNameFile(content);
    }
    if (name.empty()) name = rz::kDefaultMainMachine;
    std::printf("%s\n", ToUtf8(name).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string verb = argv[1];
    if (verb == "decode" && argc == 3) return Decode(argv[2]);
    if (verb != "encode") return Usage();
    char key = kDefaultKey;
    if (argc == 5 && std::strcmp(argv[3], "--key") == 0 && std::strlen(argv[4]) == 1 && argv[4][0] >= '1' &&
        argv[4][0] <= '9')
        key = argv[4][0];
    else if (argc != 3)
        return Usage();
    return Encode(argv[2], key);
}
