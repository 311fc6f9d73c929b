// What the Win32 platform keeps between calls, shared by the files that
// define its members by concern: the files, the processes, the message loop
// with its window and timer, the registry and the share worker.
#pragma once

#define PSAPI_VERSION 1
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/win32_platform.h"

namespace rz {

// Posted to the user-interface thread when the share worker has finished a job.
constexpr UINT kWorkDoneMessage = WM_APP + 1;

inline HANDLE H(Handle h) { return reinterpret_cast<HANDLE>(h); }

struct Win32Platform::Impl {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    HWND appWindow = nullptr;
    HWND form = nullptr;
    std::map<std::string, HANDLE> instanceMutexes;  // by name
    FormDesign design;
    std::string label;
    HFONT labelFont = nullptr;
    std::function<void()> onTimer;
    HANDLE watched = nullptr;  // the process whose end the loop waits for
    std::function<void()> onProcessEnd;
    // Each thread keeps its own, as Windows keeps GetLastError.
    static thread_local DWORD lastError;
    // The share worker.
    HANDLE workThread = nullptr;
    HANDLE workEvent = nullptr;  // auto-reset: set once per job
    DWORD uiThread = 0;
    std::function<void()> job;
    std::function<void()> onWorkDone;
    std::vector<ULONGLONG> snapshotBuffer;  // census support: kept between snapshots

    void Record(BOOL ok) { lastError = ok ? 0 : GetLastError(); }

    // The loop (win32_loop.cpp).
    void Paint(HWND hwnd);
    static LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    DWORD Wait(HANDLE awaited, DWORD timeoutMs);
    // The share worker (win32_worker.cpp).
    static DWORD WINAPI WorkerMain(LPVOID arg);
};

}  // namespace rz
