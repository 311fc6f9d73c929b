#include "startup/app.h"

#include <cctype>
#include <cstdlib>

#include "config.h"

namespace rz {

const char* const kServerMachineName = RZ_SERVER_MACHINE_NAME;
const char* const kDefaultMainMachine = RZ_DEFAULT_MAIN_MACHINE;
const char* const kAppTitle = "ROREROZARIRADI";

void EndProgram(Ctx& c, int exitCode) {
    c.p.EndProgram(exitCode);
    std::abort();  // the platform never returns from EndProgram
}

std::string AppPath(Ctx& c, const std::string& name) { return c.p.AppFolder() + "\\" + name; }

bool FileExists(Ctx& c, const std::string& path) {
    ListResult r = c.p.ListFirst(path);
    return !r.error && !r.first.empty();
}

std::string UCase(std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
    if (tail.size() > text.size()) return false;
    return UCase(text.substr(text.size() - tail.size())) == UCase(tail);
}

bool ContainsNoCase(const std::string& text, const std::string& part) {
    return UCase(text).find(UCase(part)) != std::string::npos;
}

std::string RolePrefix(const std::string& machineName) { return UCase(machineName.substr(0, 4)); }

}  // namespace rz
