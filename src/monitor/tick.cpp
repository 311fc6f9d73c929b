#include "monitor/tick.h"

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/status_format.h"
#include "diag/status_report.h"
#include "monitor/manager_watch.h"
#include "monitor/monitor.h"
#include "ui/frm_main.h"
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

}  // namespace

void TimerMONITORVESK_Timer(Ctx& c) {
    TimerMONITORVESK_SetEnabled(c, false);
    TimerMONITORVESK_SetInterval(c, 0);
    // A failure abandons this tick only; the next one starts afresh.
    try {
        DebugSwitchAtTick(c);
        ObeyStopFiles(c);
        CheckProcesses(c);
        JudgeManager(c);
        UpdateKORUMGR(c);
    } catch (const Failure& f) {
        DebugRecord(c, std::string("ERROR: ") + f.what());
        c.p.DebugOutput(std::string("ROREROZARIRADI: tick abandoned: ") + f.what());
    }
    StatusTick(c, UpdateFolder(c));
    TimerMONITORVESK_SetEnabled(c, true);
    TimerMONITORVESK_SetInterval(c, kTickIntervalMs);
    WatchManager(c);
}

}  // namespace rz
