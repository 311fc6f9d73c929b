// The monitor's own update in the tick: the handover from the running
// monitor to the new build. The old monitor ticks until the new one does,
// and guards it for two minutes after: a build that ends or never gets
// ready is taken out again, and never again taken in. The new monitor's
// side is takeover.h, the acts on files and processes self_swap.h.
#pragma once

namespace rz {

struct Ctx;
struct Look;

// In the tick: what becomes of what the look at the monitor's build found.
void ActOnMonitorLook(Ctx& c, const Look& r);

// At the start of every tick: the handover's own work in place of the
// tick, while this monitor guards the new one or waits for the go; the
// timer is then armed here. False when the tick runs.
bool HandoverInsteadOfTick(Ctx& c);
// At the end of every tick: the old monitor looks for the ready signal.
void HandoverAfterTick(Ctx& c);
// Whether a handover keeps the tick's work (the looks, the reports) away.
bool HandoverUnderWay(const Ctx& c);

}  // namespace rz
