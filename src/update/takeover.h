// The new monitor's side of a handover: the start with /handover, the
// ready signal, the wait for the go and the first tick; and a start that
// finds a handover broken off.
#pragma once

#include <cstdint>

namespace rz {

struct Ctx;

// At the start: the pid that `/handover` names, 0 for a start without it.
std::uint32_t HandoverFrom(Ctx& c);
// Whether the state file says that monitor `from` is handing over to this
// start; only then does this start pass the single-instance refusal.
bool HandoverExpected(Ctx& c, std::uint32_t from);
// Once the Run key is written: the ready signal, as soon as the state has
// been read, and the wait for the go before the first tick.
void SignalReady(Ctx& c, std::uint32_t from);
// While it waits for the go: true when it is still waiting (the timer is
// armed), false when this tick is its first.
bool AwaitGo(Ctx& c);
// At the end of every tick of a monitor that the one before it guards:
// the proof of life that the guardian judges it by.
void ProveTick(Ctx& c);
// A start that finds a handover broken off (the power, or both monitors,
// gone in its midst) runs whichever build is in the monitor's name.
void FinishBrokenOff(Ctx& c);

}  // namespace rz
