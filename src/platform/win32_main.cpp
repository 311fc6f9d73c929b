#include <windows.h>

#include <cstdlib>
#include <exception>

#include "platform/win32_platform.h"

namespace {

// Nobody reads a message on a watchdog's standard error: an uncaught
// exception just ends the process.
[[noreturn]] void Abort() { std::abort(); }

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    std::set_terminate(Abort);
    static rz::Win32Platform platform;
    rz::ProgramMain(platform);
    platform.MessageLoop();
}
