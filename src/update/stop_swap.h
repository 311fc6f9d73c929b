// The manager's replacement in the tick, each step "" when it went well,
// else what went wrong.
#pragma once

#include <string>

#include "update/update.h"

namespace rz {

struct Ctx;

// Everything the swap needs, made while the manager still runs.
std::string PrepareSwap(Ctx& c);
// Stops the manager beside the monitor.
std::string StopManager(Ctx& c, const ManagerControl& manager);
// The checked copy `temp` takes the place of KORUMGR.exe in one move.
std::string Swap(Ctx& c, const std::string& temp);

}  // namespace rz
