#include "monitor/manager_watch.h"

#include "core/app.h"
#include "diag/process_list.h"
#include "monitor/tick.h"

namespace rz {

void FollowManager(Ctx& c) {
    ManagerWatch& w = c.s.watch;
    if (w.pid == c.s.managerPid) return;
    // Out of the wait before it is closed: a wait on a closed handle fails,
    // or waits on whatever object gets its value next.
    c.p.WatchProcess(0);
    if (w.handle != 0) c.p.CloseHandle(w.handle);
    w.pid = c.s.managerPid;
    w.ended = false;
    // A manager that refuses even this is restarted at the next tick only.
    w.handle = w.pid == 0 ? 0 : c.p.OpenProc(kSynchronize, false, w.pid);
}

// A handle whose end was told outside a tick stays out of the wait: that
// end has had its tick, or was refused one, and the handle, signalled for
// good, would fire again at once. The next census closes it.
void WatchManager(Ctx& c) { c.p.WatchProcess(c.s.watch.ended ? 0 : c.s.watch.handle); }

bool EarlyTickWanted(Ctx& c) {
    // A tick takes its timer out of service while it runs. Its census is
    // still ahead of it, or its end watches the manager again, which
    // brings the end back here once the tick is over.
    if (!c.frmMAIN.timerEnabled) return false;
    c.s.watch.ended = true;
    // At most one early tick per five seconds after the monitor's last
    // start of the manager: a build that dies at once comes back at the
    // timer's pace, as it always has. A new manager is watched only from
    // the first census that finds it, a tick after its start, so this
    // holds already; the check keeps it so. The starts are those that the
    // status report keeps.
    const auto& starts = c.s.status.startTimes;
    return starts.empty() || c.p.MonotonicMs() - starts.back() >= kTickIntervalMs;
}

}  // namespace rz
