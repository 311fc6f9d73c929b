#include <windows.h>

#include "platform/win32_platform.h"
#include "monitor/monitor.h"
#include "startup/app.h"
#include "startup/startup.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    static rz::Win32Platform platform;
    static rz::Ctx ctx(platform);
    platform.SetTimerHandler([] { rz::TimerMONITORVESK_Timer(ctx); });
    rz::Main(ctx);
    platform.MessageLoop();
}
