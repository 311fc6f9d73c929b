#define PSAPI_VERSION 1
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include "platform/win32_platform.h"
#include "platform/win32_rules.h"
#include "platform/win32_signature.h"
#include "platform/win32_version.h"

#include <algorithm>
#include <vector>

namespace rz {

namespace {

const char* const kAppWindowClass = "ThunderRT6Main";
const char* const kFormClass = "ROREROZARIRADI.frmMAIN";
constexpr UINT_PTR kTimerId = 1;
// Posted to the user-interface thread when the share worker has finished a job.
constexpr UINT kWorkDoneMessage = WM_APP + 1;
// Reserved, not committed: the jobs need little, a hung one must not cost more.
constexpr SIZE_T kWorkerStack = 256 * 1024;

HANDLE H(Handle h) { return reinterpret_cast<HANDLE>(h); }

std::string Folder(const std::string& path) {
    const std::size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Lone carriage returns break lines on screen, as the label's text uses them.
std::string ScreenText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) out += '\n';
    }
    return out;
}

void DrawPicture(HDC dc, const FormDesign::Image& image) {
    const Picture& pic = image.picture;
    if (pic.size < sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)) return;
    const auto* file = reinterpret_cast<const BITMAPFILEHEADER*>(pic.data);
    const auto* info = reinterpret_cast<const BITMAPINFO*>(pic.data + sizeof(BITMAPFILEHEADER));
    const int w = info->bmiHeader.biWidth, h = info->bmiHeader.biHeight;
    const Rect& r = image.box;
    SetStretchBltMode(dc, COLORONCOLOR);
    StretchDIBits(dc, r.left, r.top, image.stretch ? r.width : w, image.stretch ? r.height : h, 0, 0, w, h,
                  pic.data + file->bfOffBits, info, DIB_RGB_COLORS, SRCCOPY);
}

}  // namespace

struct Win32Platform::Impl {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    HWND appWindow = nullptr;
    HWND form = nullptr;
    HANDLE instanceMutex = nullptr;
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

    // Opens a file for reading while nobody may write to it; the error is
    // kept when it cannot be opened so.
    HANDLE OpenDenyWrite(const std::string& path) {
        const HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) lastError = GetLastError();
        return f;
    }

    void Paint(HWND hwnd) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT client;
        GetClientRect(hwnd, &client);
        HBRUSH back = CreateSolidBrush(design.backColor);
        FillRect(dc, &client, back);
        DeleteObject(back);
        for (int i = 0; i < design.imageCount; ++i) DrawPicture(dc, design.images[i]);
        const Rect& b = design.labelBox;
        RECT box{b.left, b.top, b.left + b.width, b.top + b.height};
        HBRUSH labelBack = CreateSolidBrush(design.labelBackColor);
        FillRect(dc, &box, labelBack);
        DeleteObject(labelBack);
        HGDIOBJ oldFont = SelectObject(dc, labelFont);
        SetTextColor(dc, design.labelTextColor);
        SetBkMode(dc, TRANSPARENT);
        const std::string text = ScreenText(label);
        DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &box, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
        SelectObject(dc, oldFont);
        EndPaint(hwnd, &ps);
    }

    static LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (msg == WM_NCCREATE) {
            self = static_cast<Impl*>(reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
            SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
        if (self) {
            if (msg == WM_TIMER && wp == kTimerId) {
                if (self->onTimer) self->onTimer();
                return 0;
            }
            if (msg == WM_PAINT) {
                self->Paint(hwnd);
                return 0;
            }
            // The window carries no closing logic: only the program's own
            // stop files end it.
            if (msg == WM_CLOSE) return 0;
        }
        return DefWindowProcA(hwnd, msg, wp, lp);
    }

    void Record(BOOL ok) { lastError = ok ? 0 : GetLastError(); }

    // The worker sleeps on its event between jobs; the job and its result
    // pass between the threads through the event and the posted message,
    // which order memory both ways.
    static DWORD WINAPI WorkerMain(LPVOID arg) {
        Impl* self = static_cast<Impl*>(arg);
        for (;;) {
            WaitForSingleObject(self->workEvent, INFINITE);
            self->job();
            PostThreadMessageA(self->uiThread, kWorkDoneMessage, 0, 0);
        }
    }

    // One wait for a message, the time-out, `awaited` (when given) or the
    // watched process. The watched process's end runs the end handler and
    // is then waited for no more, or its handle, signalled for good, would
    // end every later wait at once; it is told to the caller as a message
    // (WAIT_OBJECT_0 + the count of handles), as is a watched handle that
    // cannot be waited on, which is given up.
    DWORD Wait(HANDLE awaited, DWORD timeoutMs) {
        HANDLE set[2];
        DWORD n = 0;
        if (awaited) set[n++] = awaited;
        const HANDLE watch = watched;
        if (watch) set[n++] = watch;
        const DWORD r = MsgWaitForMultipleObjects(n, set, FALSE, timeoutMs, QS_ALLINPUT);
        if (!watch || (r != WAIT_OBJECT_0 + n - 1 && r != WAIT_FAILED)) return r;
        watched = nullptr;
        if (r == WAIT_OBJECT_0 + n - 1 && onProcessEnd) onProcessEnd();
        return WAIT_OBJECT_0 + n;
    }
};

thread_local DWORD Win32Platform::Impl::lastError = 0;

Win32Platform::Win32Platform() : impl_(new Impl) {}
Win32Platform::~Win32Platform() = default;

std::string Win32Platform::AppFolder() {
    char path[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return Folder(std::string(path, n));
}

void Win32Platform::SetAppTitle(const std::string& title) {
    if (impl_->appWindow) {
        SetWindowTextA(impl_->appWindow, title.c_str());
        return;
    }
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = impl_->instance;
    wc.lpszClassName = kAppWindowClass;
    RegisterClassA(&wc);
    impl_->appWindow = CreateWindowExA(0, kAppWindowClass, title.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                       impl_->instance, nullptr);
}

bool Win32Platform::PrevInstance() {
    if (impl_->instanceMutex) return false;  // this instance owns it already
    // The mutex stays open for the life of the process: it is what later
    // instances find.
    SetLastError(ERROR_SUCCESS);  // a new mutex need not clear an older error
    impl_->instanceMutex = CreateMutexA(nullptr, FALSE, "ROREROZARIRADI.PrevInstance");
    return MutexMeansPrevInstance(impl_->instanceMutex != nullptr, GetLastError());
}

std::string Win32Platform::FileVersion(const std::string& path) { return Win32FileVersion(path); }

bool Win32Platform::ComputerName(char* buffer, std::uint32_t* size) {
    DWORD n = *size;
    const BOOL ok = GetComputerNameA(buffer, &n);
    *size = n;
    return ok != 0;
}

ListResult Win32Platform::ListFirst(const std::string& path) {
    ListResult result;
    const std::string pattern = !path.empty() && path.back() == '\\' ? path + "*" : path;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        impl_->lastError = e;
        result.error = !(e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_NO_MORE_FILES);
        return result;
    }
    do {
        if (!(data.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
            result.first = data.cFileName;
            break;
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return result;
}

bool Win32Platform::RemoveFile(const std::string& path) {
    const BOOL ok = DeleteFileA(path.c_str());
    impl_->Record(ok);
    return ok != 0;
}

bool Win32Platform::CopyFileTo(const std::string& from, const std::string& to) {
    const BOOL ok = CopyFileA(from.c_str(), to.c_str(), FALSE);
    impl_->Record(ok);
    return ok != 0;
}

bool Win32Platform::MoveReplace(const std::string& from, const std::string& to) {
    const BOOL ok = MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    impl_->Record(ok);
    return ok != 0;
}

static bool WriteWhole(HANDLE file, const std::string& text) {
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return ok && written == text.size();
}

bool Win32Platform::WriteText(const std::string& path, const std::string& text) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        impl_->lastError = GetLastError();
        return false;
    }
    const bool ok = WriteWhole(f, text);
    impl_->Record(ok);
    ::CloseHandle(f);
    return ok;
}

bool Win32Platform::AppendText(const std::string& path, const std::string& text) {
    HANDLE f = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        impl_->lastError = GetLastError();
        return false;
    }
    SetFilePointer(f, 0, nullptr, FILE_END);
    const bool ok = WriteWhole(f, text);
    impl_->Record(ok);
    ::CloseHandle(f);
    return ok;
}

ReadStatus Win32Platform::ReadSmallFile(const std::string& path, std::size_t limit, std::string& out) {
    out.clear();
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        impl_->lastError = e;
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? ReadStatus::Missing : ReadStatus::Error;
    }
    LARGE_INTEGER size{};
    ReadStatus status = ReadStatus::Ok;
    if (!GetFileSizeEx(f, &size)) {
        status = ReadStatus::Error;
    } else if (static_cast<unsigned long long>(size.QuadPart) > limit) {
        status = ReadStatus::TooLarge;
    } else {
        out.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD got = 0;
        if (!out.empty() && (!ReadFile(f, &out[0], static_cast<DWORD>(out.size()), &got, nullptr) || got != out.size()))
            status = ReadStatus::Error;
    }
    ::CloseHandle(f);
    return status;
}

static bool StampOf(HANDLE f, FileStamp& stamp) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(f, &info)) return false;
    stamp.length = (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp.lastWrite = (std::uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    stamp.index = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool Win32Platform::ReadHeadDenyWrite(const std::string& path, std::size_t count, std::string& head,
                                      FileStamp& stamp) {
    const HANDLE f = impl_->OpenDenyWrite(path);
    if (f == INVALID_HANDLE_VALUE) return false;
    bool ok = StampOf(f, stamp);
    if (ok) {
        const std::uint64_t length = stamp.length;
        head.assign(length < count ? static_cast<std::size_t>(length) : count, '\0');
        DWORD got = 0;
        ok = head.empty() || (ReadFile(f, &head[0], static_cast<DWORD>(head.size()), &got, nullptr) && got == head.size());
    }
    impl_->Record(ok);
    ::CloseHandle(f);
    return ok;
}

// The deletion goes through the handle that checked the file (NT's delete
// disposition, as DeleteFile itself sets it, there since NT 4): a file put
// in its place meanwhile is another file, and nobody can put one there
// while the handle denies writers and deleters.
RemoveCheck Win32Platform::RemoveIfUnchanged(const std::string& path, const FileStamp& stamp) {
    const HANDLE f = CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        impl_->lastError = e;
        return e == ERROR_FILE_NOT_FOUND ? RemoveCheck::Changed : RemoveCheck::Failed;
    }
    FileStamp now;
    RemoveCheck result = RemoveCheck::Failed;
    if (!StampOf(f, now)) {
        impl_->lastError = GetLastError();
    } else if (now.length != stamp.length || now.lastWrite != stamp.lastWrite ||
               (stamp.index != 0 && now.index != stamp.index)) {
        result = RemoveCheck::Changed;
    } else {
        FILE_DISPOSITION_INFORMATION disposition{TRUE};
        IO_STATUS_BLOCK io{};
        const NTSTATUS status = NtSetInformationFile(f, &io, &disposition, sizeof disposition,
                                                     static_cast<FILE_INFORMATION_CLASS>(FileDispositionInformation));
        if (status >= 0) result = RemoveCheck::Removed;
        else impl_->lastError = RtlNtStatusToDosError(status);
    }
    ::CloseHandle(f);
    return result;
}

bool Win32Platform::StatFile(const std::string& path, FileStamp& stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        impl_->lastError = GetLastError();
        return false;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        impl_->lastError = ERROR_ACCESS_DENIED;
        return false;
    }
    stamp.length = (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.lastWrite = (std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    return true;
}

long Win32Platform::RegOpenOrCreate(std::uint32_t root, const std::string& subKey, Handle* key) {
    HKEY opened = nullptr;
    const LONG r = RegCreateKeyA(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(root)), subKey.c_str(), &opened);
    *key = reinterpret_cast<Handle>(opened);
    return r;
}

long Win32Platform::RegSetString(Handle key, const std::string& name, const char* data, std::uint32_t bytes) {
    return RegSetValueExA(reinterpret_cast<HKEY>(key), name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data), bytes);
}

long Win32Platform::RegClose(Handle key) { return RegCloseKey(reinterpret_cast<HKEY>(key)); }

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

std::uint32_t Win32Platform::LastError() { return impl_->lastError; }

std::uint32_t Win32Platform::StartProgram(const std::string& path) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = 6;  // minimised, the active window keeps the activation
    PROCESS_INFORMATION pi{};
    std::vector<char> commandLine(path.begin(), path.end());
    commandLine.push_back('\0');
    if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        impl_->lastError = GetLastError();
        return 0;
    }
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return pi.dwProcessId;
}

Handle Win32Platform::FindAppWindow(const std::string& className, const std::string& title) {
    return reinterpret_cast<Handle>(FindWindowA(className.c_str(), title.c_str()));
}

void Win32Platform::RestoreAndActivate(Handle window) {
    OpenIcon(reinterpret_cast<HWND>(window));
    SetForegroundWindow(reinterpret_cast<HWND>(window));
}

bool Win32Platform::CreateMainWindow(const FormDesign& design) {
    Impl& m = *impl_;
    m.design = design;
    WNDCLASSA wc{};
    wc.lpfnWndProc = Impl::FormProc;
    wc.hInstance = m.instance;
    wc.hIcon = LoadIconA(m.instance, MAKEINTRESOURCEA(1));
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.lpszClassName = kFormClass;
    RegisterClassA(&wc);
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT r{0, 0, design.clientWidth, design.clientHeight};
    AdjustWindowRect(&r, style, FALSE);
    m.form = CreateWindowExA(0, kFormClass, design.title.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                             r.right - r.left, r.bottom - r.top, nullptr, nullptr, m.instance, &m);
    if (!m.form) return false;
    HDC screen = GetDC(nullptr);
    const int height = -MulDiv(design.labelPoints, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    m.labelFont = CreateFontA(height, 0, 0, 0, design.labelBold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                              ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                              DEFAULT_PITCH | FF_SWISS, design.labelFont.c_str());
    return true;
}

void Win32Platform::SetLabelText(const std::string& text) {
    impl_->label = text;
    if (impl_->form) InvalidateRect(impl_->form, nullptr, FALSE);
}

void Win32Platform::ShowMainWindow() {
    if (!impl_->form) return;
    // Shown active and in front: a window that takes the activation during
    // the five seconds would otherwise cover the message.
    ShowWindow(impl_->form, SW_SHOW);
    SetForegroundWindow(impl_->form);
}

void Win32Platform::RepaintLabel() {
    if (!impl_->form) return;
    const Rect& b = impl_->design.labelBox;
    RECT box{b.left, b.top, b.left + b.width, b.top + b.height};
    RedrawWindow(impl_->form, &box, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void Win32Platform::SetTimer(std::uint32_t intervalMs) {
    if (!impl_->form) return;
    if (intervalMs == 0)
        KillTimer(impl_->form, kTimerId);
    else
        ::SetTimer(impl_->form, kTimerId, intervalMs, nullptr);
}

void Win32Platform::SetTimerHandler(std::function<void()> handler) { impl_->onTimer = std::move(handler); }

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

namespace {

void DispatchPending(Win32Platform::Impl& m) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.hwnd == nullptr && msg.message == kWorkDoneMessage) {
            if (m.onWorkDone) m.onWorkDone();
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace

void Win32Platform::PumpUntil(std::uint64_t deadlineMs) {
    for (;;) {
        DispatchPending(*impl_);
        const std::uint64_t now = MonotonicMs();
        if (now >= deadlineMs) return;
        impl_->Wait(nullptr, static_cast<DWORD>(deadlineMs - now));
    }
}

bool Win32Platform::PumpUntilEnded(Handle process, std::uint64_t deadlineMs) {
    HANDLE h = H(process);
    for (;;) {
        DispatchPending(*impl_);
        const std::uint64_t now = MonotonicMs();
        const DWORD wait = now >= deadlineMs ? 0 : static_cast<DWORD>(deadlineMs - now);
        const DWORD r = impl_->Wait(h, wait);
        if (r == WAIT_OBJECT_0) return true;
        if (r == WAIT_FAILED) {
            impl_->lastError = GetLastError();
            return false;
        }
        if (r == WAIT_TIMEOUT && MonotonicMs() >= deadlineMs) {
            impl_->lastError = WAIT_TIMEOUT;
            return false;
        }
    }
}

std::uint64_t Win32Platform::SystemTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void Win32Platform::DebugOutput(const std::string& text) { OutputDebugStringA(text.c_str()); }

void Win32Platform::EndProgram(int exitCode) { ExitProcess(static_cast<UINT>(exitCode)); }

void Win32Platform::WatchProcess(Handle process) { impl_->watched = H(process); }

void Win32Platform::SetProcessEndHandler(std::function<void()> handler) { impl_->onProcessEnd = std::move(handler); }

// The thread is made at the first job, beside a message queue that the
// application window has already given this thread.
void Win32Platform::StartWork(std::function<void()> job) {
    Impl& m = *impl_;
    if (!m.workThread) {
        m.uiThread = GetCurrentThreadId();
        m.workEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        m.workThread = CreateThread(nullptr, kWorkerStack, Impl::WorkerMain, &m, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                    nullptr);
    }
    m.job = std::move(job);
    SetEvent(m.workEvent);
}

void Win32Platform::SetWorkDoneHandler(std::function<void()> handler) { impl_->onWorkDone = std::move(handler); }

// A WM_QUIT is dispatched to no window and so changes nothing: only a stop
// file ends the monitor.
void Win32Platform::MessageLoop() {
    for (;;) {
        DispatchPending(*impl_);
        impl_->Wait(nullptr, INFINITE);
    }
}

// --- Census support --------------------------------------------------

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

// --- Update support ------------------------------------------------------------

bool Win32Platform::ClearAttributes(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        impl_->lastError = GetLastError();
        return false;
    }
    DWORD cleared = attributes & ~DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (cleared == attributes) return true;
    if (cleared == 0) cleared = FILE_ATTRIBUTE_NORMAL;
    const BOOL ok = SetFileAttributesA(path.c_str(), cleared);
    impl_->Record(ok);
    return ok != 0;
}

PathKind Win32Platform::Attributes(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        impl_->lastError = 0;
        return attributes & FILE_ATTRIBUTE_DIRECTORY ? PathKind::Folder : PathKind::File;
    }
    const DWORD e = GetLastError();
    impl_->lastError = e;
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? PathKind::Missing : PathKind::Unknown;
}

// Only a handle open for writing can flush; others may go on reading.
bool Win32Platform::FlushFile(const std::string& path) {
    const HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        impl_->lastError = GetLastError();
        return false;
    }
    const BOOL ok = FlushFileBuffers(f);
    impl_->Record(ok);
    ::CloseHandle(f);
    return ok != 0;
}

bool Win32Platform::ReadChunk(const std::string& path, std::uint64_t offset, std::size_t count, std::string& out) {
    out.clear();
    const HANDLE f = impl_->OpenDenyWrite(path);
    if (f == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    bool ok = SetFilePointerEx(f, at, nullptr, FILE_BEGIN) != 0;
    if (ok && count > 0) {
        out.assign(count, '\0');
        DWORD got = 0;
        ok = ReadFile(f, &out[0], static_cast<DWORD>(count), &got, nullptr) != 0;
        out.resize(ok ? got : 0);
    }
    impl_->Record(ok);
    ::CloseHandle(f);
    return ok;
}

// --- Signed updates ------------------------------------------------------------

SignatureCheck Win32Platform::VerifyFileSignature(const RsaPublicKey& key, const std::string& path,
                                                  const std::string& signature) {
    std::uint32_t error = 0;
    const SignatureCheck result = CryptoApiVerifyFile(key, path, signature, error);
    impl_->lastError = error;
    return result;
}

FileHash Win32Platform::Sha256File(const std::string& path, std::string& digest) {
    std::uint32_t error = 0;
    const FileHash result = CryptoApiSha256File(path, digest, error);
    impl_->lastError = error;
    return result;
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

}  // namespace rz
