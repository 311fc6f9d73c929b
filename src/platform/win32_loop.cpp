// The message loop with its windows and timer: the application window,
// the main form, the tick's timer, and the waits that go on dispatching
// messages, for a time, a process or the watched manager.
#include "platform/win32_impl.h"

namespace rz {

namespace {

const char* const kAppWindowClass = "ThunderRT6Main";
const char* const kFormClass = "ROREROZARIRADI.frmMAIN";
constexpr UINT_PTR kTimerId = 1;

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

void Win32Platform::Impl::Paint(HWND hwnd) {
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

LRESULT CALLBACK Win32Platform::Impl::FormProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
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

// One wait for a message, the time-out, `awaited` (when given) or the
// watched process. The watched process's end runs the end handler and
// is then waited for no more, or its handle, signalled for good, would
// end every later wait at once; it is told to the caller as a message
// (WAIT_OBJECT_0 + the count of handles), as is a watched handle that
// cannot be waited on, which is given up.
DWORD Win32Platform::Impl::Wait(HANDLE awaited, DWORD timeoutMs) {
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

void Win32Platform::WatchProcess(Handle process) { impl_->watched = H(process); }

void Win32Platform::SetProcessEndHandler(std::function<void()> handler) { impl_->onProcessEnd = std::move(handler); }

// A WM_QUIT is dispatched to no window and so changes nothing: only a stop
// file ends the monitor.
void Win32Platform::MessageLoop() {
    for (;;) {
        DispatchPending(*impl_);
        impl_->Wait(nullptr, INFINITE);
    }
}

}  // namespace rz
