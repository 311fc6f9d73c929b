// Writes and reads MainMachine.ord, the file that names the main machine.
// Run "ordtool --help" for its command line.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "config.h"
#include "core/app.h"
#include "startup/main_machine.h"

namespace {

constexpr char kDefaultKey = '7';

const char* const kUsage =
    "ordtool " RZ_VERSION " - writes and reads MainMachine.ord, the file beside ROREROZARIRADI.exe\n"
    "that names the main machine whose share holds the manager updates.\n"
    "\n"
    "usage: ordtool encode NAME [--key K] [--output FILE]\n"
    "           prints the line MainMachine.ord must hold, or writes it to FILE\n"
    "       ordtool decode FILE\n"
    "           prints the name the monitor would read from FILE\n"
    "       ordtool --help | -h | --version\n"
    "\n"
    "  -k, --key K        key digit 1 to 9 (default 7); the key travels in the file\n"
    "  -o, --output FILE  writes the file byte for byte: the safe way on Windows, where\n"
    "                     PowerShell's '>' saves UTF-16, which the monitor cannot read\n"
    "Options may come before or after the name. Exit codes: 0 done, 2 bad command line or name.\n";

int BadUsage(const std::string& why) { return rz::BadUsage("ordtool", why); }

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

// Writes `text` to `path` as bytes, or to standard output when no path.
bool Emit(const std::string& text, const std::string& path) {
    if (path.empty()) return std::fputs(text.c_str(), stdout) >= 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (out) return true;
    std::fprintf(stderr, "ordtool: '%s' cannot be written\n", path.c_str());
    return false;
}

int Encode(const std::string& name, char key, const std::string& output) {
    std::string text;
    if (name.empty() || !ToCodePage(name, text) || text.find_first_of(",\"") != std::string::npos) {
        std::fprintf(stderr,
                     "ordtool: the name must be non-empty printable text without commas or double quotes, "
                     "in the 8-bit code page\n");
        return rz::kExitUsage;
    }
    const std::string line = rz::EncodeMainMachine(text, key);
    if (line.empty()) {
        std::fprintf(stderr, "ordtool: the name does not survive decoding\n");
        return rz::kExitUsage;
    }
    return Emit(line + (output.empty() ? "\n" : "\r\n"), output) ? 0 : 1;
}

bool LooksUtf16OrBom(const std::string& content) {
    static const char* const kMarks[] = {"\xFF\xFE", "\xFE\xFF", "\xEF\xBB\xBF"};
    for (const char* mark : kMarks)
        if (content.compare(0, std::strlen(mark), mark) == 0) return true;
    return content.find('\0') != std::string::npos;
}

// The name the monitor would read, and why it fell back to the default
// ("" when the file named somebody).
std::string ReadName(const std::string& path, std::string& why) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (!fs::exists(st)) return why = "does not exist", "";
    if (fs::is_directory(st)) return why = "is a folder", "";
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) return why = "cannot be read", "";
    if (size == 0) return why = "is empty", "";
    if (size > rz::kNameFileLimit)
        return why = "is larger than " + std::to_string(rz::kNameFileLimit) + " bytes, which the monitor does not read", "";
    std::ifstream in(path, std::ios::binary);
    std::string content(static_cast<std::size_t>(size), '\0');
    if (!in.read(&content[0], static_cast<std::streamsize>(size))) return why = "cannot be read", "";
    const std::string name = rz::DecodeNameFile(content);
    if (!name.empty()) return name;
    if (LooksUtf16OrBom(content))
        why = "is saved as UTF-16 or with a byte-order mark (as PowerShell's '>' does); the monitor reads "
              "plain 8-bit text: write it with 'ordtool encode NAME --output MainMachine.ord'";
    else
        why = "holds no item that decodes to a name";
    return "";
}

int Decode(const std::string& path) {
    std::string why;
    std::string name = ReadName(path, why);
    if (name.empty()) {
        name = rz::kDefaultMainMachine;
        std::fprintf(stderr, "ordtool: '%s' %s; the monitor uses the default name\n", path.c_str(), why.c_str());
    }
    std::printf("%s\n", ToUtf8(name).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    rz::Option key{"--key", "-k"}, output{"--output", "-o"};
    std::vector<std::string> words;
    if (const int done = rz::ParseCommandLine(argc, argv, "ordtool", kUsage, {&key, &output}, words); done >= 0) return done;
    if (words.empty()) return BadUsage("say encode NAME or decode FILE");
    const std::string& verb = words[0];
    if (verb != "encode" && verb != "decode") return BadUsage("unknown command '" + verb + "'");
    if (words.size() != 2)
        return BadUsage(verb + (verb == "encode" ? " takes one NAME" : " takes one FILE") + " (quote a name with blanks)");
    if (verb == "decode") {
        if (key.given || output.given) return BadUsage("decode takes no --key or --output: the key is in the file");
        return Decode(words[1]);
    }
    if (key.given && (key.value.size() != 1 || key.value[0] < '1' || key.value[0] > '9'))
        return BadUsage("the key must be one digit from 1 to 9, not '" + key.value + "'");
    if (output.given && output.value.empty()) return BadUsage("--output needs a file name");
    return Encode(words[1], key.given ? key.value[0] : kDefaultKey, output.value);
}
