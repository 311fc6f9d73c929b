// The start-up sequence: fills the shared state, guards against a second
// instance, clears stale stop files, probes the update share, checks the
// machine's role and arms the monitor timer.
#pragma once

#include <cstdint>
#include <string>

namespace rz {

struct Ctx;

// Returns only with the monitor timer in service; every other way out ends
// the program through the platform.
void Main(Ctx& c);
void ActivatePrevInstance(Ctx& c);
// The state of the program that ProgramMain runs, for a host that looks on;
// null before it has run.
const Ctx* ProgramState();

}  // namespace rz
