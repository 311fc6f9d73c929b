// Processes: the process table, the processes' handles, exit codes and
// times, their termination, and the start of a program.
#include "platform/win32_impl.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>

namespace rz {

bool Win32Platform::EnumProcessIds(std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* returned) {
    DWORD got = *returned;
    const BOOL ok = EnumProcesses(reinterpret_cast<DWORD*>(ids), bytes, &got);
    if (ok) *returned = got;
    impl_->Record(ok);
    return ok != 0;
}

Handle Win32Platform::OpenProc(std::uint32_t access, bool inherit, std::uint32_t pid) {
    HANDLE h = OpenProcess(access, inherit ? TRUE : FALSE, pid);
    impl_->Record(h != nullptr);
    return reinterpret_cast<Handle>(h);
}

bool Win32Platform::EnumModules(Handle process, Handle* modules, std::uint32_t bytes, std::uint32_t* needed) {
    DWORD n = 0;
    const BOOL ok = EnumProcessModules(H(process), reinterpret_cast<HMODULE*>(modules), bytes, &n);
    *needed = n;
    impl_->Record(ok);
    return ok != 0;
}

std::uint32_t Win32Platform::ModuleFileName(Handle process, Handle module, char* buffer, std::uint32_t size) {
    const DWORD n = GetModuleFileNameExA(H(process), reinterpret_cast<HMODULE>(module), buffer, size);
    impl_->Record(n != 0);
    return n;
}

bool Win32Platform::ExitCodeOf(Handle process, std::uint32_t* code) {
    DWORD c = *code;
    const BOOL ok = GetExitCodeProcess(H(process), &c);
    if (ok) *code = c;
    impl_->Record(ok);
    return ok != 0;
}

bool Win32Platform::TerminateProc(Handle process, std::uint32_t code) {
    const BOOL ok = TerminateProcess(H(process), code);
    impl_->Record(ok);
    return ok != 0;
}

bool Win32Platform::CloseHandle(Handle handle) {
    const BOOL ok = ::CloseHandle(H(handle));
    impl_->Record(ok);
    return ok != 0;
}

std::uint32_t Win32Platform::StartProgram(const std::string& path) { return Start(path, path); }

std::uint32_t Win32Platform::StartWithArgs(const std::string& path, const std::string& args) {
    return Start(path, "\"" + path + "\" " + args);
}

std::uint32_t Win32Platform::Start(const std::string& path, const std::string& line) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = 6;  // minimised, the active window keeps the activation
    PROCESS_INFORMATION pi{};
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        impl_->lastError = GetLastError();
        return 0;
    }
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return pi.dwProcessId;
}

// The exit time of a process that still runs is undefined: it is given as 0.
bool Win32Platform::ProcessTimes(Handle process, std::uint64_t& created, std::uint64_t& exited) {
    FILETIME times[4];
    const BOOL ok = GetProcessTimes(H(process), &times[0], &times[1], &times[2], &times[3]);
    impl_->Record(ok);
    if (!ok) return false;
    auto value = [](const FILETIME& t) { return (std::uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    created = value(times[0]);
    exited = WaitForSingleObject(H(process), 0) == WAIT_OBJECT_0 ? value(times[1]) : 0;
    return true;
}

namespace {

constexpr ULONG kSystemProcessInformation = 5;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);  // STATUS_INFO_LENGTH_MISMATCH

// The image name when it is plain ASCII, which every ANSI code page holds
// unchanged; empty otherwise, so that the census reads the exact path.
std::string AsciiName(const UNICODE_STRING& name, const char* begin, const char* end) {
    const auto* from = reinterpret_cast<const char*>(name.Buffer);
    if (!name.Buffer || from < begin || from + name.Length > end) return std::string();
    std::string out;
    for (USHORT i = 0; i < name.Length / 2; ++i) {
        if (name.Buffer[i] == 0 || name.Buffer[i] > 0x7F) return std::string();
        out += static_cast<char>(name.Buffer[i]);
    }
    return out;
}

}  // namespace

// One NtQuerySystemInformation call: the table comes from the same query
// that EnumProcesses and the toolhelp snapshot make, several times over.
// The buffer is kept, so the call usually fits at the first try.
bool Win32Platform::ProcessSnapshot(std::vector<ProcessEntry>& out) {
    out.clear();
    std::vector<ULONGLONG>& buffer = impl_->snapshotBuffer;
    if (buffer.empty()) buffer.resize(64 * 1024 / sizeof(ULONGLONG));
    ULONG returned = 0;
    LONG status = kInfoLengthMismatch;
    for (int attempt = 0; attempt < 6 && status == kInfoLengthMismatch; ++attempt) {
        const ULONG bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG));
        status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(kSystemProcessInformation),
                                          buffer.data(), bytes, &returned);
        if (status == kInfoLengthMismatch) buffer.resize(buffer.size() * 2 + returned / sizeof(ULONGLONG));
    }
    if (status < 0) {
        impl_->lastError = RtlNtStatusToDosError(status);
        return false;
    }
    const char* begin = reinterpret_cast<const char*>(buffer.data());
    const char* end = begin + std::min<std::size_t>(returned, buffer.size() * sizeof(ULONGLONG));
    for (std::size_t at = 0; at + sizeof(SYSTEM_PROCESS_INFORMATION) <= std::size_t(end - begin);) {
        const auto* info = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(begin + at);
        out.push_back({static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(info->UniqueProcessId)),
                       AsciiName(info->ImageName, begin, end)});
        if (info->NextEntryOffset == 0) {
            impl_->lastError = 0;
            return true;
        }
        at += info->NextEntryOffset;
    }
    impl_->lastError = ERROR_INVALID_DATA;  // a list that runs past its end is not trusted
    return false;
}

}  // namespace rz
