// What the look at the monitor's own build calls for, decided in the tick:
// nothing, a record, a back-off, a wait, or the handover (handover.cpp).
#pragma once

#include <string>

namespace rz {

struct Ctx;
struct Look;
struct UpdateKey;

// True when the build the look found is to be handed over now; else the
// verdict is done here, its copy gone.
bool MonitorLookCallsForHandover(Ctx& c, const Look& r);
// An attempt that handed nothing over: the copy goes, the report and the
// log say why, and the update file backs off as the manager's does, after
// a refusal whatever its content. `result` is one of kUpdateResults. A
// `lasting` reason (a right the monitor lacks) is told once per stamp.
void MonitorGiveUp(Ctx& c, const Look& r, const std::string& result, const std::string& why, bool lasting = false);
// A step whose state cannot be saved first is not taken: the handover
// waits, backing off as after a failure, and nothing has changed.
void MonitorWaitForState(Ctx& c, const Look& r, const std::string& step);
// A lasting state, told once per stamp of the update file.
void MonitorTellOnce(Ctx& c, const UpdateKey& key, const std::string& record);

}  // namespace rz
