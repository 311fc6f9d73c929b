// The five-second tick: stop files, census, update check. It sits above the
// census and the update, which are its steps.
#pragma once

#include <cstdint>

namespace rz {

struct Ctx;

// From the end of one tick to the start of the next.
constexpr std::uint32_t kTickIntervalMs = 5000;

void TimerMONITORVESK_Timer(Ctx& c);
// The share worker's done handler: a result that needs the tick brings the
// tick forward; any other is taken in at once.
void ShareWorkArrived(Ctx& c);

}  // namespace rz
