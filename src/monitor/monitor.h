// The process census with the manager launcher, and the termination of
// processes by name.
#pragma once

#include <cstdint>
#include <string>

namespace rz {

struct Ctx;

void CheckProcesses(Ctx& c);
void Kill_Process(Ctx& c, const std::string& ProcessTOKILL);
std::string DefaultConnectString();

}  // namespace rz
