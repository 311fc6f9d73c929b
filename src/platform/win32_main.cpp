#include <windows.h>

#include <cstdlib>
#include <exception>

#include "platform/win32_platform.h"

// Nobody reads a message on a watchdog's standard error: an uncaught
// exception just ends the process. Defining the C++ library's default
// terminate handler here, rather than setting one at run time, keeps the
// library's own out of the link, and with it its demangler and printf
// engine (about 65 KB); it also covers the static constructors.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    static rz::Win32Platform platform;
    rz::ProgramMain(platform);
    platform.MessageLoop();
}
