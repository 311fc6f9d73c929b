// The in-memory platform's own: the program's folder, name and instance,
// the registry, the clocks and the end. Its other parts: mem_files.cpp,
// mem_processes.cpp, mem_loop.cpp (the message loop, its window and timer)
// and mem_worker.cpp (the share worker).
#include "mem_platform.h"

#include <cstring>

#include "core/app.h"
#include "mem_shared.h"
#include "platform/win32_rules.h"

namespace rz {

namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// Seconds from 1601-01-01 to 1970-01-01; the in-memory world keeps local
// time and UTC the same.
constexpr std::int64_t kFileTimeEpochSeconds = 11644473600;

}  // namespace

MemPlatform::MemPlatform() {
    SetLocalTime(2024, 3, 7, 18, 5, 9);
    AddDir(appFolder);
}

std::string MemPlatform::RegValue(const std::string& key, const std::string& name) const {
    auto it = registry.find(UCase(key) + "\\" + name);
    return it == registry.end() ? std::string("<missing>") : it->second;
}

void MemPlatform::SetLocalTime(int y, int mo, int d, int h, int mi, int s) {
    const std::int64_t seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    wallBase_ = {{0, seconds - static_cast<std::int64_t>(mono_ / 1000)}};
}

void MemPlatform::PowerCut() {
    for (Proc& p : procs) p.alive = p.terminating = false;
    handles_.clear();
    namedHolders.clear();
    watched_ = 0;
    timerInterval = 0;
    for (auto& f : files_) {
        if (!f.second.flushed) f.second.data.assign(f.second.data.size(), '\0');
        f.second.flushed = true;
    }
}

bool MemPlatform::Fail(std::uint32_t error) {
    lastError_ = error;
    return false;
}

std::string MemPlatform::AppFolder() { return appFolder; }

std::string MemPlatform::NamedKey(const std::string& name) const {
    if (UCase(name).rfind("GLOBAL\\", 0) == 0) return "Global" + name.substr(6);
    return "Session" + std::to_string(session) + "\\" + (name.rfind("Local\\", 0) == 0 ? name.substr(6) : name);
}

// The holders of a name, less those whose process has ended.
std::set<std::uint32_t>& MemPlatform::LiveHolders(const std::string& name) {
    std::set<std::uint32_t>& holders = namedHolders[NamedKey(name)];
    for (auto it = holders.begin(); it != holders.end();) {
        const Proc* p = FindProcess(*it);
        it = p && !p->alive ? holders.erase(it) : std::next(it);
    }
    return holders;
}

bool MemPlatform::Holds(std::uint32_t pid, const std::string& name) { return LiveHolders(name).count(pid) != 0; }

void MemPlatform::LetGoNamed(std::uint32_t pid) {
    for (auto& named : namedHolders) named.second.erase(pid);
}

// As CreateMutexA answers: no handle at all when access is denied, and
// "already exists" while another process holds the name. A process that
// holds it already opens no second handle.
bool MemPlatform::PrevInstance(const std::string& mutexName) {
    if (mutexAccessDenied) return MutexMeansPrevInstance(false, kErrorAccessDenied);
    std::set<std::uint32_t>& holders = LiveHolders(mutexName);
    if (holders.count(ownPid)) return false;
    const bool global = UCase(mutexName).rfind("GLOBAL\\", 0) == 0;
    const bool existed = !holders.empty() || prevInstance || (global && otherSession);
    holders.insert(ownPid);
    return MutexMeansPrevInstance(true, existed ? kErrorAlreadyExists : 0);
}

bool MemPlatform::ComputerName(char* buffer, std::uint32_t* size) {
    if (computerName.size() + 1 > *size) {
        *size = static_cast<std::uint32_t>(computerName.size() + 1);
        return Fail(111);
    }
    std::memcpy(buffer, computerName.c_str(), computerName.size() + 1);
    *size = static_cast<std::uint32_t>(computerName.size());
    return true;
}

long MemPlatform::RegOpenOrCreate(std::uint32_t root, const std::string& subKey, Handle* key) {
    if (registryFails || (root != kHKeyLocalMachine && root != kHKeyCurrentUser)) {
        *key = 0;
        return kErrorAccessDenied;
    }
    *key = nextHandle_++;
    regKeys_[*key] = (root == kHKeyCurrentUser ? "HKCU\\" : "") + UCase(subKey);  // the machine's keys unmarked
    return 0;
}

long MemPlatform::RegSetString(Handle key, const std::string& name, const char* data, std::uint32_t bytes) {
    auto it = regKeys_.find(key);
    if (it == regKeys_.end()) return kErrorInvalidHandle;
    regSetBytes.push_back(bytes);
    registry[it->second + "\\" + name] = std::string(data, bytes ? bytes - 1 : 0);
    return 0;
}

long MemPlatform::RegRemoveValue(Handle key, const std::string& name) {
    auto it = regKeys_.find(key);
    return it == regKeys_.end() ? kErrorInvalidHandle : registry.erase(it->second + "\\" + name) ? 0 : 2;
}

long MemPlatform::RegClose(Handle key) { return regKeys_.erase(key) ? 0 : kErrorInvalidHandle; }

std::uint32_t MemPlatform::LastError() { return lastError_; }

std::uint64_t MemPlatform::MonotonicMs() { return mono_; }

std::uint64_t MemPlatform::FileTimeAt(std::uint64_t mono) const {
    const std::int64_t seconds = std::prev(wallBase_.upper_bound(mono))->second + static_cast<std::int64_t>(mono / 1000);
    return static_cast<std::uint64_t>(seconds + kFileTimeEpochSeconds) * 10000000u + (mono % 1000) * 10000u;
}

LocalTime MemPlatform::ToLocalTime(std::uint64_t fileTime) {
    return LocalAt(static_cast<std::int64_t>(fileTime / 10000000u) - kFileTimeEpochSeconds);
}

LocalTime MemPlatform::Now() { return LocalAt(wallBase_.rbegin()->second + static_cast<std::int64_t>(mono_ / 1000)); }

LocalTime MemPlatform::LocalAt(std::int64_t seconds) const {
    LocalTime t;
    std::int64_t days = seconds / 86400, rest = seconds % 86400;
    CivilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    return t;
}

void MemPlatform::DebugOutput(const std::string& text) { debugOutput.push_back(text); }

void MemPlatform::EndProgram(int code) {
    ended = true;
    exitCode = code;
    throw ProgramEnded{code};
}

std::uint64_t MemPlatform::SystemTime() { return FileTimeAt(mono_); }

}  // namespace rz
