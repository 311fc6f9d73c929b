// The in-memory process table: set-up, the processes' lives and handles,
// and the platform's process calls.
#include "mem_platform.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/app.h"
#include "mem_shared.h"

namespace rz {

namespace {

constexpr Handle kExeModule = 0x400000;
constexpr Handle kFirstLibrary = 0x7C800000;

}  // namespace

MemPlatform::Proc& MemPlatform::AddProcess(const std::string& path) {
    Proc p;
    p.pid = nextPid_;
    nextPid_ += 4;
    p.path = path;
    p.startedAt = mono_;
    procs.push_back(p);
    byPid_[p.pid] = &procs.back();
    return procs.back();
}

MemPlatform::Proc* MemPlatform::FindProcess(std::uint32_t pid) {
    auto it = byPid_.find(pid);
    return it == byPid_.end() ? nullptr : it->second;
}

int MemPlatform::CountAlive(const std::string& pathEnd) const {
    int n = 0;
    for (const Proc& p : procs) n += p.alive && EndsWithNoCase(p.path, pathEnd);
    return n;
}

std::uint64_t MemPlatform::EndsAt(const Proc& p) const {
    std::uint64_t at = UINT64_MAX;
    if (p.terminating) at = p.goneAt;
    at = std::min(at, p.diesAt);
    // A manager that honours KORUMGR.stp ends a while after it appears.
    const Node* stp = p.obeysStopAfterMs < 0 ? nullptr : Find(Folder(p.path) + "\\KORUMGR.stp");
    if (stp) at = std::min(at, stp->writtenAt + static_cast<std::uint64_t>(p.obeysStopAfterMs));
    return at;
}

void MemPlatform::EndProcessesDue() {
    for (Proc& p : procs) {
        if (!p.alive || mono_ < EndsAt(p)) continue;
        p.endedAt = EndsAt(p);  // time may have jumped past it
        if (!p.terminating) p.exitCode = p.endedAt == p.diesAt ? p.crashCode : 0;
        p.alive = p.terminating = false;
    }
}

MemPlatform::Proc* MemPlatform::Granted(Handle process, std::uint32_t rights, std::uint32_t anyOf) {
    auto it = handles_.find(process);
    if (it == handles_.end()) {
        lastError_ = kErrorInvalidHandle;
        return nullptr;
    }
    const std::uint32_t access = it->second.access;
    if ((access & rights) != rights || (anyOf != 0 && (access & anyOf) == 0)) {
        lastError_ = kErrorAccessDenied;
        return nullptr;
    }
    return FindProcess(it->second.pid);
}

bool MemPlatform::EnumProcessIds(std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* returned) {
    enumCallSizes.push_back(bytes);
    std::uint32_t n = 0;
    for (const Proc& p : procs) {
        if (!p.alive) continue;
        if ((n + 1) * 4 > bytes) break;
        ids[n++] = p.pid;
    }
    *returned = n * 4;
    return true;
}

Handle MemPlatform::OpenProc(std::uint32_t access, bool, std::uint32_t pid) {
    const Proc* p = FindProcess(pid);
    // A terminated process can still be opened while a handle keeps it.
    bool held = false;
    for (const auto& h : handles_) held = held || h.second.pid == pid;
    if (!p || (!p->alive && !held)) {
        lastError_ = kErrorInvalidParameter;
        return 0;
    }
    if (!p->openable) {
        lastError_ = kErrorAccessDenied;
        return 0;
    }
    const Handle h = nextHandle_++;
    handles_[h] = HandleInfo{pid, access};
    return h;
}

// As a 32-bit process sees it: 4 bytes a module handle, as many written as
// fit, and the room that all of them need.
bool MemPlatform::EnumModules(Handle process, Handle* modules, std::uint32_t bytes, std::uint32_t* needed) {
    const Proc* p = Granted(process, kQueryInformation | kVmRead);
    if (!p) return false;
    if (!p->modulesReadable) return Fail(299);
    for (int i = 0; i < p->modules && static_cast<std::uint32_t>(i) < bytes / 4; ++i)
        modules[i] = i == 0 ? kExeModule : kFirstLibrary + static_cast<Handle>(i) * 0x10000;
    *needed = static_cast<std::uint32_t>(p->modules) * 4;
    return true;
}

// A name longer than the buffer is cut to size - 1 characters and a NUL,
// and the call answers `size`, as GetModuleFileNameExA does.
std::uint32_t MemPlatform::ModuleFileName(Handle process, Handle module, char* buffer, std::uint32_t size) {
    const Proc* p = Granted(process, kQueryInformation | kVmRead);
    if (!p) return 0;
    const Handle library = module > kFirstLibrary ? (module - kFirstLibrary) / 0x10000 : 0;
    std::string name;
    if (module == 0 || module == kExeModule)
        name = p->path;
    else if (library > 0 && library < static_cast<Handle>(p->modules) && module == kFirstLibrary + library * 0x10000)
        name = "C:\\WINDOWS\\system32\\LIB" + std::to_string(library) + ".dll";
    else
        return Fail(kErrorInvalidHandle);
    if (!p->nameReadable || size == 0) return 0;
    if (name.size() < size) {
        std::memcpy(buffer, name.c_str(), name.size() + 1);
        return static_cast<std::uint32_t>(name.size());
    }
    std::memcpy(buffer, name.data(), size - 1);
    buffer[size - 1] = '\0';
    lastError_ = kErrorInsufficientBuffer;
    return size;
}

bool MemPlatform::ExitCodeOf(Handle process, std::uint32_t* code) {
    const Proc* p = Granted(process, 0, kQueryInformation | kQueryLimited);
    if (!p) return false;
    // A process ended by hand without a code ended normally.
    *code = p->alive && !p->terminating ? 259 : p->exitCode == 259 ? 0 : p->exitCode;
    return true;
}

// Returns at once, as TerminateProcess does: the process leaves the table
// only when it has been torn down.
bool MemPlatform::TerminateProc(Handle process, std::uint32_t code) {
    Proc* p = Granted(process, kTerminate);
    if (!p) return false;
    if (!p->alive || p->terminating || p->ignoresTerminate) return Fail(kErrorAccessDenied);
    p->terminating = true;
    p->goneAt = mono_ + lingerMs;
    p->exitCode = code;
    terminated.push_back(p->pid);
    if (onTerminate) onTerminate(*p);
    EndProcessesDue();
    return true;
}

bool MemPlatform::CloseHandle(Handle handle) {
    // A closed handle in a wait makes it fail, or wait on whatever object
    // gets the handle's value next.
    if (handle != 0 && handle == watched_) throw std::logic_error("the watched handle is closed while watched");
    if (!handles_.erase(handle)) return Fail(kErrorInvalidHandle);
    return true;
}

std::uint32_t MemPlatform::StartWithArgs(const std::string& path, const std::string&) { return StartProgram(path); }

std::uint32_t MemPlatform::StartProgram(const std::string& path) {
    started.push_back(path);
    if (startFailures > 0) {
        --startFailures;
        return 0;
    }
    const Node* n = Find(path);
    if (!n || n->dir) return 0;
    Proc& p = AddProcess(path);
    if (startedLifeMs >= 0) p.diesAt = mono_ + static_cast<std::uint64_t>(startedLifeMs);
    if (onStart && !onStart(p)) {
        p.alive = false;
        return Fail(193), 0;  // ERROR_BAD_EXE_FORMAT
    }
    return p.pid;
}

bool MemPlatform::ProcessSnapshot(std::vector<ProcessEntry>& out) {
    ++snapshotCalls;
    out.clear();
    for (const Proc& p : procs) {
        if (!p.alive) continue;
        const std::size_t slash = p.path.find_last_of('\\');
        const std::string name = slash == std::string::npos ? p.path : p.path.substr(slash + 1);
        out.push_back({p.pid, p.snapshotName.empty() ? name : p.snapshotName});
    }
    // A failed walk may leave what it read so far behind.
    return snapshotFails ? Fail(kErrorAccessDenied) : true;
}

bool MemPlatform::ProcessTimes(Handle process, std::uint64_t& created, std::uint64_t& exited) {
    const Proc* p = Granted(process, 0, kQueryInformation | kQueryLimited);
    if (!p) return false;
    created = FileTimeAt(p->startedAt) - p->olderByMs * 10000;
    exited = p->alive && !p->terminating ? 0 : FileTimeAt(p->endedAt != 0 ? p->endedAt : mono_);
    return true;
}

std::vector<TopWindow> MemPlatform::TopWindows(const std::vector<std::uint32_t>& pids) {
    std::vector<TopWindow> out;
    for (const Proc& p : procs) {
        if (!p.alive || p.terminating || std::find(pids.begin(), pids.end(), p.pid) == pids.end()) continue;
        for (const Proc::Window& w : p.windows)
            if (w.visible || w.hung) out.push_back({w.handle, p.pid, w.visible, w.hung && (w.hungSince == 0 || mono_ >= w.hungSince + 5000)});
    }
    return out;
}

std::uint32_t MemPlatform::WriteMiniDump(std::uint32_t pid, const std::string& path, std::uint32_t limitMs) {
    const Proc* p = FindProcess(pid);
    if (!p || !p->alive) return kErrorInvalidParameter;
    if (!ParentExists(path)) return kErrorPathNotFound;
    if (dumpTakesMs > limitMs) {
        AdvanceTo(mono_ + limitMs);
        return 258;  // WAIT_TIMEOUT
    }
    AdvanceTo(mono_ + dumpTakesMs);
    AddFile(path, "MDMP" + std::string(60, '\0'));
    return 0;
}

}  // namespace rz
