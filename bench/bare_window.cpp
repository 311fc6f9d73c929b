// The reference beside which the benchmark measures the monitor: a hidden
// window with a 5-second timer that does nothing. Started with the argument
// "idle" it makes no window and only sleeps: the idle process that fills the
// process table (a window each would exhaust the X server's clients). With
// "shown" its window is visible, minimised, as a manager's is.
#include <windows.h>

#include <cstring>

namespace {

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TIMER) return 0;
    return DefWindowProcA(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR args, int) {
    if (args && std::strstr(args, "idle")) Sleep(INFINITE);
    WNDCLASSA wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    wc.lpszClassName = "BareWindow";
    RegisterClassA(&wc);
    HWND hwnd = CreateWindowA("BareWindow", "bare", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                              instance, nullptr);
    if (args && std::strstr(args, "shown")) ShowWindow(hwnd, SW_SHOWMINNOACTIVE);
    SetTimer(hwnd, 1, 5000, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    return 0;
}
