// The five-second tick, the process census with the manager launcher, and
// the termination of processes by name.
#pragma once

#include <cstdint>
#include <string>

namespace rz {

struct Ctx;

void TimerMONITORVESK_Timer(Ctx& c);
void CheckProcesses(Ctx& c);
void Kill_Process(Ctx& c, const std::string& ProcessTOKILL);
// Waits at least `ms` of elapsed time while window messages are processed.
void WaitPumping(Ctx& c, std::uint64_t ms);
std::string DefaultConnectString();

}  // namespace rz
