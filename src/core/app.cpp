#include "core/app.h"

#include <cctype>
#include <cstdlib>

#include "config.h"

namespace rz {

const char* const kServerMachineName = RZ_SERVER_MACHINE_NAME;
const char* const kDefaultMainMachine = RZ_DEFAULT_MAIN_MACHINE;
const char* const kAppTitle = "ROREROZARIRADI";
const char* const kSessionMutex = "ROREROZARIRADI.PrevInstance";
const char* const kGlobalMutex = "Global\\ROREROZARIRADI.PrevInstance";

void EndProgram(Ctx& c, int exitCode) {
    c.p.EndProgram(exitCode);
    std::abort();  // the platform never returns from EndProgram
}

std::string AppPath(Ctx& c, const std::string& name) { return c.p.AppFolder() + "\\" + name; }

bool FileExists(Ctx& c, const std::string& path) {
    ListResult r = c.p.ListFirst(path);
    return !r.error && !r.first.empty();
}

std::string ErrorText(Ctx& c) { return "error " + std::to_string(c.p.LastError()); }

std::string RemoveIfPresent(Ctx& c, const std::string& path) {
    const PathKind before = c.p.Attributes(path);
    if (before == PathKind::Missing) return "";
    if (before == PathKind::Unknown || !c.p.ClearAttributes(path) || !c.p.RemoveFile(path))
        return ErrorText(c);
    // A file the system cannot change (immutable, say) survives a delete
    // that reports success.
    const PathKind after = c.p.Attributes(path);
    if (after == PathKind::Missing) return "";
    return after == PathKind::Unknown ? ErrorText(c) : "it is still there after its deletion";
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

long RegSetStringValue(Ctx& c, std::uint32_t rootKey, const std::string& subKey, const std::string& valueName,
                       const std::string& text) {
    Handle key = 0;
    const long opened = c.p.RegOpenOrCreate(rootKey, subKey, &key);
    if (opened != 0) return opened;
    if (key == 0) return 6;  // ERROR_INVALID_HANDLE
    const long set = c.p.RegSetString(key, valueName, text.c_str(), static_cast<std::uint32_t>(text.size() + 1));
    c.p.RegClose(key);
    return set;
}

long RegDeleteStringValue(Ctx& c, std::uint32_t rootKey, const std::string& subKey, const std::string& valueName) {
    Handle key = 0;
    const long opened = c.p.RegOpenOrCreate(rootKey, subKey, &key);
    if (opened != 0) return opened;
    if (key == 0) return 6;  // ERROR_INVALID_HANDLE
    const long deleted = c.p.RegRemoveValue(key, valueName);
    c.p.RegClose(key);
    return deleted == 2 ? 0 : deleted;  // ERROR_FILE_NOT_FOUND: nothing to delete
}

void WaitPumping(Ctx& c, std::uint64_t ms) {
    const std::uint64_t start = c.p.MonotonicMs();
    while (c.p.MonotonicMs() - start < ms) c.p.PumpUntil(start + ms);
}

}  // namespace rz
