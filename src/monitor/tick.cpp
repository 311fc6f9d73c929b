#include "monitor/tick.h"

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/share_work.h"
#include "diag/status_format.h"
#include "diag/status_report.h"
#include "monitor/manager_watch.h"
#include "monitor/monitor.h"
#include "ui/frm_main.h"
#include "update/handover.h"
#include "update/update.h"

namespace rz {

namespace {

void DebugSwitchAtTick(Ctx& c) {
    if (!DebugSwitchTest(c)) return;
    if (c.s.sBannerDone == kYes) return;
    DebugRecords(c, {kStartBanner, "VERSION: " + c.s.sVersion});
    c.s.sBannerDone = kYes;
}

void ObeyStopFiles(Ctx& c) {
    for (const std::string& path : {AppPath(c, c.s.sAppTitle + ".stp"), AppPath(c, "KORUMGRS.stp")}) {
        if (!FileExists(c, path)) continue;
        DebugRecord(c, "STOPPING WITH " + path);
        StatusFinal(c, UpdateFolder(c), kStoppingEvent);
        EndProgram(c, kExitNormal);
    }
}

void Abandoned(Ctx& c, const Failure& f) {
    DebugRecord(c, std::string("ERROR: ") + f.what());
    c.p.DebugOutput(std::string("ROREROZARIRADI: tick abandoned: ") + f.what());
}

}  // namespace

// The tick touches no share: the worker does, and the tick acts on what it
// found, so that a share that hangs never keeps a dead manager down.
void TimerMONITORVESK_Timer(Ctx& c) {
    TimerMONITORVESK_SetEnabled(c, false);
    TimerMONITORVESK_SetInterval(c, 0);
    if (HandoverInsteadOfTick(c)) return;
    // A failure abandons this tick only; the next one starts afresh.
    try {
        DebugSwitchAtTick(c);
        ObeyStopFiles(c);
        CheckProcesses(c);
        JudgeManager(c);
        PickUpShareWork(c);
        UpdateKORUMGR(c, {CheckProcesses, TerminateManagers});
    } catch (const Failure& f) {
        Abandoned(c, f);
    }
    try {
        StatusTick(c, UpdateFolder(c));
    } catch (const Failure& f) {
        Abandoned(c, f);
    }
    WatchShareSilence(c);
    TimerMONITORVESK_SetEnabled(c, true);
    TimerMONITORVESK_SetInterval(c, kTickIntervalMs);
    WatchManager(c);
    // Last: the go stops this monitor's ticks once this one has taken its census.
    try {
        HandoverAfterTick(c);
    } catch (const Failure& f) {
        Abandoned(c, f);
    }
}

void ShareWorkArrived(Ctx& c) {
    ShareJobDone(c);
    // A monitor that guards or waits for the go neither acts nor reports.
    const Handover::Phase phase = c.s.handover.phase;
    if (phase == Handover::Guarding || phase == Handover::AwaitGo) return;
    // Inside a tick, its timer out of service, the tick collects it.
    if (!c.frmMAIN.timerEnabled) return;
    if (ShareResultWantsTick(c)) return TimerMONITORVESK_Timer(c);
    PickUpShareWork(c);
    // A report that found the worker busy goes now, not a tick later; so
    // does an update event that the worker's look brought (an update that
    // waits, is refused or failed).
    if (c.s.status.waiting || c.s.status.updateEvent) StatusTick(c, UpdateFolder(c));
}

}  // namespace rz
