// Replacement of KORUMGR.exe with the build that the update folder holds for
// this machine: the top of the update, which the tick calls. Its rules
// (rules.h) and the manager's stop (stop_swap.h) come with it for the
// monitor and the tools above.
#pragma once

#include "update/rules.h"
#include "update/stop_swap.h"

namespace rz {

struct Ctx;

// The tick's part of the manager's update: hands the share worker its look
// at the update folder and acts on what the last look found.
void UpdateKORUMGR(Ctx& c, const ManagerControl& manager);

}  // namespace rz
