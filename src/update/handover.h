// The monitor's own update: the look at its build in the update folder,
// which the share worker takes in the same job as the manager's, and the
// handover from the running monitor to the new build. The old monitor
// ticks until the new one does, and guards it for two minutes after: a
// build that ends or never gets ready is taken out again, and never again
// taken in.
#pragma once

#include <cstdint>
#include <string>

namespace rz {

struct Ctx;
struct Look;

// The switch that the old monitor starts the new one with, and its own pid.
constexpr const char* kHandoverSwitch = "/handover";

// On the worker: the monitor's build in the update folder, checked and
// copied beside the running monitor as its '.new'.
Look LookAtMonitorBuild(Ctx& c, const std::string& folder);
// In the tick: what becomes of what the look found.
void ActOnMonitorLook(Ctx& c, const Look& r);

// At the start of every tick: the handover's own work in place of the
// tick, while this monitor guards the new one or waits for the go; the
// timer is then armed here. False when the tick runs.
bool HandoverInsteadOfTick(Ctx& c);
// At the end of every tick: the old monitor looks for the ready signal.
void HandoverAfterTick(Ctx& c);
// Whether a handover keeps the tick's work (the looks, the reports) away.
bool HandoverUnderWay(const Ctx& c);

// At the start: the pid that `/handover` names, 0 for a start without it.
std::uint32_t HandoverFrom(Ctx& c);
// Whether the state file says that monitor `from` is handing over to this
// start; only then does this start pass the single-instance refusal.
bool HandoverExpected(Ctx& c, std::uint32_t from);
// Once the Run key is written: the ready signal, as soon as the state has
// been read, and the wait for the go before the first tick.
void SignalReady(Ctx& c, std::uint32_t from);

}  // namespace rz
