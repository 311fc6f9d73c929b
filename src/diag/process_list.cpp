#include "diag/process_list.h"

#include <algorithm>

#include "platform/platform.h"

namespace rz {

namespace {
constexpr std::uint32_t kQueryAndRead = 0x0410;  // PROCESS_QUERY_INFORMATION | PROCESS_VM_READ
constexpr std::uint32_t kModuleBufferBytes = 200;  // room for 50 32-bit module handles
constexpr int kModuleSlots = 50;
constexpr std::uint32_t kPathChars = 260;
}  // namespace

std::vector<std::uint32_t> GetProcessIds(Platform& p, std::uint32_t* lastBufferBytes) {
    std::uint32_t bufferBytes = lastBufferBytes && *lastBufferBytes > 16 ? *lastBufferBytes : 16;
    std::uint32_t returned = 96;
    std::vector<std::uint32_t> ids;
    // A call that fills its buffer exactly may have been cut short, so the
    // room doubles until a call reports less than it was offered.
    for (;;) {
        ids.assign(bufferBytes / 4, 0);
        p.EnumProcessIds(ids.data(), bufferBytes, &returned);
        if (returned < bufferBytes) break;
        bufferBytes *= 2;
    }
    ids.resize(returned / 4);
    if (lastBufferBytes) *lastBufferBytes = bufferBytes;
    return ids;
}

bool ProcessCreated(Platform& p, std::uint32_t pid, std::uint64_t& created) {
    Handle h = p.OpenProc(kQueryLimited, false, pid);
    if (h == 0) h = p.OpenProc(kQueryInformation, false, pid);  // before Vista
    if (h == 0) return false;
    std::uint64_t exited = 0;
    const bool known = p.ProcessTimes(h, created, exited);
    p.CloseHandle(h);
    return known;
}

bool GetProcessPath(Platform& p, std::uint32_t pid, std::string& path, std::uint32_t* error) {
    path.clear();
    const Handle h = p.OpenProc(kQueryAndRead, false, pid);
    if (h == 0) {
        if (error) *error = p.LastError();
        return false;
    }
    Handle modules[kModuleSlots] = {};
    std::uint32_t needed = 0;
    if (!p.EnumModules(h, modules, kModuleBufferBytes, &needed)) {
        if (error) *error = p.LastError();
        p.CloseHandle(h);
        return false;
    }
    char buffer[kPathChars] = {};
    const std::uint32_t n = p.ModuleFileName(h, modules[0], buffer, kPathChars);
    // A name cut short to fit comes back NUL-terminated, yet the call may
    // count the NUL in: it ends the path.
    path.assign(buffer, n < kPathChars ? n : kPathChars);
    path.resize(std::min(path.size(), path.find('\0')));
    p.CloseHandle(h);
    return true;
}

}  // namespace rz
