// Frozen managers: their windows as the system sees them, and a minidump
// for the manager's maker before a frozen one is terminated.
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>

#include "platform/win32_platform.h"

namespace rz {

namespace {

struct WindowSearch {
    const std::vector<std::uint32_t>* pids;
    std::vector<TopWindow>* out;
};

// Only questions that the window manager answers itself: a message sent to
// a hung window would hang the monitor with it.
BOOL CALLBACK OneWindow(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (std::find(search->pids->begin(), search->pids->end(), pid) == search->pids->end()) return TRUE;
    TopWindow w;
    w.window = reinterpret_cast<Handle>(hwnd);
    w.pid = pid;
    w.visible = IsWindowVisible(hwnd) != 0;
    w.hung = IsHungAppWindow(hwnd) != 0;
    if (w.visible || w.hung) search->out->push_back(w);
    return TRUE;
}

using DumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                   PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// One dump, shared by the caller and the thread that writes it. Whoever lets
// go of it last frees it, so a caller that stops waiting leaves the thread
// all that it still uses, the library included.
struct DumpJob {
    LONG owners = 2;
    volatile LONG abandoned = 0;  // the caller stopped waiting: the file goes
    HMODULE library = nullptr;
    DumpFunction write = nullptr;
    HANDLE process = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    bool created = false;  // the file is this dump's: a failure removes it
    DWORD pid = 0;
    DWORD error = 0;
    std::string path;
};

void CloseFiles(DumpJob& job) {
    if (job.file != INVALID_HANDLE_VALUE) CloseHandle(job.file);
    if (job.process) CloseHandle(job.process);
    job.file = INVALID_HANDLE_VALUE;
    job.process = nullptr;
}

void Release(DumpJob* job) {
    if (InterlockedDecrement(&job->owners) != 0) return;
    CloseFiles(*job);
    if (job->created && (job->error != 0 || job->abandoned)) DeleteFileA(job->path.c_str());
    if (job->library) FreeLibrary(job->library);
    delete job;
}

DWORD WINAPI WriteDump(void* param) {
    auto* job = static_cast<DumpJob*>(param);
    if (!job->write(job->process, job->pid, job->file, MiniDumpNormal, nullptr, nullptr, nullptr)) {
        job->error = GetLastError();
        if (job->error == 0) job->error = ERROR_GEN_FAILURE;
    }
    CloseFiles(*job);
    Release(job);
    return 0;
}

// From the system folder only: a dbghelp.dll dropped beside the monitor
// must not run in it.
DWORD Prepare(DumpJob& job) {
    char folder[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryA(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return GetLastError();
    job.library = LoadLibraryA((std::string(folder) + "\\dbghelp.dll").c_str());
    if (!job.library) return GetLastError();
    const FARPROC found = GetProcAddress(job.library, "MiniDumpWriteDump");
    if (!found) return GetLastError();
    job.write = reinterpret_cast<DumpFunction>(reinterpret_cast<void (*)()>(found));
    job.process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, job.pid);
    if (!job.process) return GetLastError();
    job.file = CreateFileA(job.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (job.file == INVALID_HANDLE_VALUE) return GetLastError();
    job.created = true;
    return 0;
}

}  // namespace

std::vector<TopWindow> Win32Platform::TopWindows(const std::vector<std::uint32_t>& pids) {
    std::vector<TopWindow> out;
    if (pids.empty()) return out;
    WindowSearch search{&pids, &out};
    EnumWindows(OneWindow, reinterpret_cast<LPARAM>(&search));
    return out;
}

// On a thread of its own: the dump of a process that is stuck in the
// kernel may never end, and the termination must not wait for it.
std::uint32_t Win32Platform::WriteMiniDump(std::uint32_t pid, const std::string& path, std::uint32_t limitMs) {
    auto* job = new DumpJob;
    job->pid = pid;
    job->path = path;
    DWORD error = Prepare(*job);
    HANDLE thread = nullptr;
    if (error == 0) {
        thread = CreateThread(nullptr, 0, WriteDump, job, 0, nullptr);
        if (!thread) error = GetLastError();
    }
    if (error != 0) {
        job->error = error;
        job->owners = 1;
        Release(job);
        return error;
    }
    const bool ended = PumpUntilEnded(reinterpret_cast<Handle>(thread), MonotonicMs() + limitMs);
    ::CloseHandle(thread);
    if (ended) {
        error = job->error;
    } else {
        InterlockedExchange(&job->abandoned, 1);
        error = WAIT_TIMEOUT;
    }
    Release(job);
    return error;
}

}  // namespace rz
