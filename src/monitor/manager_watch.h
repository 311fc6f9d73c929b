// The early reaction to the manager's end. The census keeps a handle on the
// manager it found, the message loop waits on it beside the timer, and the
// manager's end brings the next tick forward: the same tick, at once, after
// which the timer counts its five seconds from the tick's end as ever.
#pragma once

namespace rz {

struct Ctx;

// After each census: a handle on the manager it found, opened once per
// process; the handle of a manager that has gone, or been replaced by
// another, is closed.
void FollowManager(Ctx& c);
// At the end of each tick: the message loop waits for the manager that the
// census found. One that has ended since is reported at once.
void WatchManager(Ctx& c);
// The watched manager has ended: whether a tick is to run now.
bool EarlyTickWanted(Ctx& c);

}  // namespace rz
