#include <windows.h>

#include "platform/win32_platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    static rz::Win32Platform platform;
    rz::ProgramMain(platform);
    platform.MessageLoop();
}
