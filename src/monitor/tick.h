// The five-second tick: stop files, census, update check. It sits above the
// census and the update, which are its steps.
#pragma once

namespace rz {

struct Ctx;

void TimerMONITORVESK_Timer(Ctx& c);

}  // namespace rz
