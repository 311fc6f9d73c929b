#include "update/monitor_verdict.h"

#include <algorithm>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/status_format.h"
#include "diag/status_report.h"
#include "update/look.h"
#include "update/rules.h"
#include "update/self_swap.h"
#include "update/signature.h"
#include "update/update_state.h"

namespace rz {

namespace {

std::uint64_t BackOff(Ctx& c, const Look& r, bool refused) {
    MonitorMemory& m = c.s.update.monitor;
    RemoveIfPresent(c, OwnTemp(c));
    const bool anyContent = m.failedContent == kAnyContent;
    const bool same = anyContent || (m.failures > 0 && m.failedContent == r.content);
    m.failures = same ? std::min(m.failures + 1, kMostFailures) : 1;
    m.failedContent = refused || anyContent ? kAnyContent : r.content;
    return BackOffWait(c, m.failures, m.retryAt, m.retryRun);
}

void LeaveAlone(Ctx& c, const Look& r) {
    MonitorMemory& m = c.s.update.monitor;
    RemoveIfPresent(c, OwnTemp(c));
    m.unchanged = r.key;
    if (m.noted.find(r.content) != std::string::npos) return;
    m.noted += r.content;
    DebugRecord(c, "MONITOR UPDATE LEFT ALONE: '" + r.key.path + "' (" + r.content.substr(0, 16) +
                       ") is a build that was handed over and rolled back");
}

// A key that came, went or changed while the worker looked makes the look
// stale: the next one starts afresh.
bool KeysMoved(Ctx& c, const Look& r) {
    if (!r.keysRead || KeysNow(c) == r.keys) return false;
    RemoveIfPresent(c, OwnTemp(c));
    DebugRecord(c, "MONITOR UPDATE KEY CHANGED: '" + AppPath(c, kUpdateKeyFile) + "' changed while '" + r.key.path +
                       "' was checked; it is looked at afresh");
    return true;
}

}  // namespace

void MonitorTellOnce(Ctx& c, const UpdateKey& key, const std::string& record) {
    MonitorMemory& m = c.s.update.monitor;
    if (key == m.toldKey && record == m.told) return;
    m.toldKey = key;
    m.told = record;
    DebugRecord(c, record);
}

void MonitorGiveUp(Ctx& c, const Look& r, const std::string& result, const std::string& why, bool lasting) {
    const std::uint64_t wait = BackOff(c, r, result == "refused");
    const std::string record = "MONITOR UPDATE " + UCase(result) + ": " + why;
    StatusMonitorUpdate(c, result, r.version, record);
    const std::string tail = "; this monitor, version " + c.s.sVersion + ", stays";
    if (lasting) MonitorTellOnce(c, r.key, record + tail);
    else TracedRecord(c, record + "; next attempt in " + std::to_string(wait) + " s" + tail);
    SaveUpdateState(c);
}

void MonitorWaitForState(Ctx& c, const Look& r, const std::string& step) {
    c.s.update.monitor.step.clear();
    const std::uint64_t wait = BackOff(c, r, false);
    const std::string record = std::string(kMonitorUpdateWaitingRecord) + ": the handover to version " + r.version +
                               " waits before " + step + ": the state cannot be saved, error " +
                               std::to_string(c.s.update.unsavedError);
    StatusMonitorUpdateWaiting(c, record);
    TracedRecord(c, record + "; next attempt in " + std::to_string(wait) + " s");
}

bool MonitorLookCallsForHandover(Ctx& c, const Look& r) {
    MonitorMemory& m = c.s.update.monitor;
    switch (r.found) {
    case Look::Unreachable:
    case Look::Absent:
    case Look::Alone:
        return false;
    case Look::NotYet:
        if (!r.inUse) m.unchanged = r.key;
        MonitorTellOnce(c, r.key, "MONITOR UPDATE NOT READY: '" + r.key.path + "' (" + r.why + ")");
        return false;
    case Look::InPlace:
        m.unchanged = r.key;
        if (r.why.empty()) DebugRecord(c, "MONITOR UPDATE ALREADY IN PLACE: '" + r.key.path + "'");
        else
            DebugRecord(c, "MONITOR UPDATE FILE REMOVED: '" + r.key.path + "' is the running monitor, known by " +
                               r.why);
        return false;
    case Look::Refused:
        // A missing right is a lasting want, told once; the report says
        // refused all the same, so that a rollout names the PC before it
        // places anything.
        if (r.rights || !KeysMoved(c, r)) MonitorGiveUp(c, r, kUpdateResults[3], r.why, r.rights);
        return false;
    case Look::Failed:
        MonitorGiveUp(c, r, kUpdateResults[1], r.why);
        return false;
    case Look::Changed:
        RemoveIfPresent(c, OwnTemp(c));
        DebugRecord(c, "MONITOR UPDATE CHANGED: '" + r.key.path + "' changed while it was checked");
        return false;
    case Look::Known:
    case Look::Ready:
        break;
    }
    if (m.rolledBack.find(r.content) != std::string::npos) {
        LeaveAlone(c, r);
        return false;
    }
    if (r.found == Look::Known || KeysMoved(c, r)) {
        RemoveIfPresent(c, OwnTemp(c));
        return false;
    }
    if (c.s.sUpdateHold == kYes || FreshBuildWatched(c) || c.p.MonotonicMs() < c.s.handover.guardedUntilMs) {
        m.waits = r.key;
        RemoveIfPresent(c, OwnTemp(c));
        const std::string record = std::string(kMonitorUpdateWaitingRecord) + ": '" + r.key.path +
                                   "' waits until the manager's or this monitor's fresh build has run 2 minutes";
        StatusMonitorUpdateWaiting(c, record);
        MonitorTellOnce(c, r.key, record);
        return false;
    }
    return true;
}

}  // namespace rz
