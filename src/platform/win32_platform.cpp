// The Win32 platform's own: the program's folder, name and instance, the
// clocks, the debugger's output and the end. Its other members are defined
// by concern: win32_files.cpp, win32_processes.cpp, win32_loop.cpp (the
// message loop, its windows and timer), win32_registry.cpp,
// win32_worker.cpp (the share worker) and win32_hung.cpp (frozen managers).
#include "platform/win32_impl.h"

#include "platform/win32_rules.h"

namespace rz {

namespace {

std::string Folder(const std::string& path) {
    const std::size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

thread_local DWORD Win32Platform::Impl::lastError = 0;

Win32Platform::Win32Platform() : impl_(new Impl) {}
Win32Platform::~Win32Platform() = default;

// In its long form, as the Run value names it: a start by a short name
// must not pass for one from outside the monitor's name.
std::string Win32Platform::OwnImage() {
    char path[MAX_PATH * 2] = {}, full[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    const DWORD m = GetLongPathNameA(path, full, sizeof full);
    return m > 0 && m < sizeof full ? std::string(full, m) : std::string(path, n);
}

std::string Win32Platform::AppFolder() { return Folder(OwnImage()); }

bool Win32Platform::PrevInstance(const std::string& mutexName) {
    HANDLE& mutex = impl_->instanceMutexes[mutexName];
    if (mutex) return false;  // this instance owns it already
    // The mutex stays open for the life of the process: it is what later
    // instances find.
    SetLastError(ERROR_SUCCESS);  // a new mutex need not clear an older error
    mutex = CreateMutexA(nullptr, FALSE, mutexName.c_str());
    return MutexMeansPrevInstance(mutex != nullptr, GetLastError());
}

void Win32Platform::LeaveInstance() {
    for (auto& named : impl_->instanceMutexes)
        if (named.second) ::CloseHandle(named.second);
    impl_->instanceMutexes.clear();
}

// The program's own name comes first, quoted when it holds spaces.
std::string Win32Platform::CommandArgs() {
    const char* line = GetCommandLineA();
    bool quoted = false;
    for (; *line && (quoted || (*line != ' ' && *line != '\t')); ++line)
        if (*line == '"') quoted = !quoted;
    while (*line == ' ' || *line == '\t') ++line;
    return line;
}

std::uint32_t Win32Platform::OwnPid() { return GetCurrentProcessId(); }

bool Win32Platform::ComputerName(char* buffer, std::uint32_t* size) {
    DWORD n = *size;
    const BOOL ok = GetComputerNameA(buffer, &n);
    *size = n;
    return ok != 0;
}

std::uint32_t Win32Platform::LastError() { return impl_->lastError; }

std::uint64_t Win32Platform::MonotonicMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    if (frequency.QuadPart <= 0) return GetTickCount();  // no counter: never the case since Windows XP
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return CounterToMs(static_cast<std::uint64_t>(now.QuadPart), static_cast<std::uint64_t>(frequency.QuadPart));
}

LocalTime Win32Platform::Now() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

LocalTime Win32Platform::ToLocalTime(std::uint64_t fileTime) {
    FILETIME utc{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    FILETIME local{};
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) return LocalTime{1601, 1, 1};
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

std::uint64_t Win32Platform::SystemTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void Win32Platform::DebugOutput(const std::string& text) { OutputDebugStringA(text.c_str()); }

void Win32Platform::EndProgram(int exitCode) { ExitProcess(static_cast<UINT>(exitCode)); }

}  // namespace rz
