// The five-second tick: stop files, census, update check. It sits above the
// census and the update, which are its steps.
#pragma once

#include <cstdint>

namespace rz {

struct Ctx;

// From the end of one tick to the start of the next.
constexpr std::uint32_t kTickIntervalMs = 5000;

void TimerMONITORVESK_Timer(Ctx& c);

}  // namespace rz
