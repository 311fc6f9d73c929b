// What the tick does with the look that the share worker took (look.cpp):
// the rules on what goes in, the back-off, and the watch over the build
// that the swap (stop_swap.cpp) installed.
#include "update/update.h"

#include <algorithm>
#include <memory>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/process_list.h"
#include "diag/share_work.h"
#include "diag/status_format.h"
#include "diag/status_report.h"
#include "update/handover.h"
#include "update/look.h"
#include "update/rules.h"
#include "update/signature.h"
#include "update/stop_swap.h"
#include "update/update_state.h"

namespace rz {

namespace {

// The next census starts the manager again from the intact KORUMGR.exe, and
// no stop request of this attempt is left for it to obey.
void ReleaseHold(Ctx& c) {
    if (c.s.sUpdateHold != kYes) return;
    c.s.sUpdateHold.clear();
    RemoveIfPresent(c, AppPath(c, "KORUMGR.stp"));
}

// The update path is not looked at again before its back-off has passed,
// whatever its time stamp says, so that touching the file costs no copy.
// The back-off doubles while the same content keeps failing, and starts
// afresh for new content; after a refusal it doubles whatever the content
// until an update of the path is applied, so that a writer of fresh junk
// costs a copy a quarter of an hour at most. The wait is kept as a
// wall-clock time, so that it outlives a restart of the monitor. Returns
// the wait in seconds.
std::uint64_t BackOff(Ctx& c, const UpdateKey& key, const std::string& content, bool refused) {
    UpdateMemory& u = c.s.update;
    const bool anyContent = u.failedPath == key.path && u.failedContent == kAnyContent;
    const bool same = anyContent || (u.failedPath == key.path && u.failedContent == content);
    u.failures = same ? std::min(u.failures + 1, kMostFailures) : 1;
    u.failedPath = key.path;
    u.failedContent = refused || anyContent ? kAnyContent : content;
    return BackOffWait(c, u.failures, u.retryAt, u.retryRun);
}

// An attempt that replaced nothing: a lasting fault stops the manager only
// now and then. `content` is "" when nothing was copied.
void FailAttempt(Ctx& c, const UpdateKey& key, const std::string& content, const std::string& message,
                 bool refused = false) {
    const std::uint64_t wait = BackOff(c, key, content, refused);
    TracedRecord(c, message + "; next attempt in " + std::to_string(wait) + " s");
    ReleaseHold(c);
    SaveUpdateState(c);
}

// A build known by its content that is not to go in: one record per run,
// and its path backs off like a failing one, so that touching it costs no
// copy at every tick.
void LeaveAlone(Ctx& c, const UpdateKey& key, const std::string& content, const std::string& temp,
                const std::string& why) {
    UpdateMemory& u = c.s.update;
    RemoveIfPresent(c, temp);
    BackOff(c, key, content, false);
    u.unchanged = key;
    SaveUpdateState(c);
    if (u.noted.find(content) != std::string::npos) return ReleaseHold(c);
    u.noted += content;
    DebugRecord(c, "UPDATE LEFT ALONE: '" + key.path + "' (" + content.substr(0, 16) + ") is " + why);
    ReleaseHold(c);
}

// Builds whose content the update knows already. True when it left this
// one alone.
bool KnownContent(Ctx& c, const UpdateKey& key, const std::string& content, const std::string& temp) {
    const UpdateMemory& u = c.s.update;
    if (content == u.rolledBack) {
        LeaveAlone(c, key, content, temp, "the build that was rolled back because it would not run");
        return true;
    }
    if (content == u.inPlace) {
        LeaveAlone(c, key, content, temp, "the build in place already");
        return true;
    }
    return false;
}

// What the swap leaves behind: the new build watched for a while, in case
// it will not run, and its version the newest when it is.
void RememberSwap(Ctx& c, const UpdateKey& key, const std::string& content, const std::string& version) {
    UpdateMemory& u = c.s.update;
    u.failures = 0;
    u.failedPath.clear();
    u.failedContent.clear();
    u.watching = true;
    u.replacedPath = key.path;
    u.replacedContent = content;
    u.replacedAt = c.p.SystemTime();
    u.watchFromMs = c.p.MonotonicMs();
    u.watchRan = false;
    u.badRuns = 0;
    if (VersionNewer(version, u.newestVersion)) {
        u.newestVersion = version;
        u.newestContent = content;
    } else if (content != u.newestContent) {
        // The newest build, once another took its place, is not newer than
        // every build this PC installed: it may not come back.
        u.newestContent.clear();
    }
}

// Removing the update file is what marks the update done; the state that
// records the swap was saved before it.
void Finish(Ctx& c, const UpdateKey& key, const std::string& content, const std::string& version,
            const ManagerControl& manager) {
    UpdateMemory& u = c.s.update;
    // The watch counts from the swap, not from before the stop, in which
    // the census still saw the build before.
    u.replacedAt = c.p.SystemTime();
    u.watchFromMs = c.p.MonotonicMs();
    u.watchRan = false;
    // The run that this update stopped was of the build before: it counts
    // for nothing against the new one.
    if (u.lastRun != 0) c.p.CloseHandle(u.lastRun);
    u.lastRun = 0;
    StatusUpdate(c, "applied", key.path);
    TracedRecord(c, "UPDATE DONE: '" + key.path + "', " + std::to_string(key.stamp.length) + " bytes, version " +
                        (version.empty() ? "unknown" : version) + ", is the new 'KORUMGR.exe'");
    RemoveUpdateFile(c, key, content);
    SaveUpdateState(c);
    ReleaseHold(c);
    // The new build starts in this very tick: the manager is down for its
    // stop and one start, not until the next tick.
    manager.census(c);
}

// An attempt that installed nothing: the copy goes, the report says how it
// ended, and the back-off applies.
void GiveUp(Ctx& c, const UpdateKey& key, const std::string& content, const std::string& temp,
            const std::string& result, const std::string& record) {
    RemoveIfPresent(c, temp);
    StatusUpdate(c, result, key.path);
    c.s.status.lastUpdateReason = record;
    FailAttempt(c, key, content, record + "; the old 'KORUMGR.exe' stays", result == "refused");
}

// A record of a state that lasts, once per stamp of the update file.
void TellOnce(Ctx& c, const UpdateKey& key, const std::string& record) {
    UpdateMemory& u = c.s.update;
    if (key == u.toldKey && record == u.told) return;
    u.toldKey = key;
    u.told = record;
    DebugRecord(c, record);
}

// While the build the last update installed is watched, KORUMGR.old is
// what a rollback brings back: an attempt now would put that build there
// in its place, and one that failed after it would leave no way back. An
// update fit to go in waits, checked once, and is looked at again when the
// watch is over.
void Wait(Ctx& c, const UpdateKey& key, const std::string& temp) {
    c.s.update.waitsForWatch = key;
    RemoveIfPresent(c, temp);
    // The report says it too: whoever placed the update sees why nothing happens yet.
    StatusUpdateWaiting(c, std::string(kUpdateWaitingRecord) + ": '" + key.path +
                               "' waits until the build installed before it has run 2 minutes or been rolled back");
    TellOnce(c, key, c.s.status.lastUpdateReason);
    ReleaseHold(c);
}

// A file still being written, or cut short, is no failed attempt: it costs
// no copy and no back-off, and is looked at again as soon as its length or
// time changes; one held open at every tick, as its writer may close it
// without changing either. It is told once per stamp.
void NotReadyYet(Ctx& c, const Look& r) {
    if (!r.inUse) c.s.update.unchanged = r.key;
    TellOnce(c, r.key, "UPDATE NOT READY: '" + r.key.path + "' (" + r.why + ")");
    ReleaseHold(c);
}

// The key file is local and small: it is read again when the tick acts on
// what the look found, and a key that came, went or changed meanwhile (a
// look can take minutes on a slow share) makes the look's result stale.
bool KeysChanged(Ctx& c, const Look& r, const std::string& temp) {
    if (!r.keysRead || KeysNow(c) == r.keys) return false;
    RemoveIfPresent(c, temp);
    DebugRecord(c, "UPDATE KEY CHANGED: '" + AppPath(c, kUpdateKeyFile) + "' changed while '" + r.key.path +
                       "' was checked; it is looked at afresh");
    ReleaseHold(c);
    return true;
}

// The memory as it was before a swap that did not happen; what this run
// told of its saves stays told.
void Forget(UpdateMemory& u, UpdateMemory before) {
    before.unsaved = u.unsaved;
    before.unsavedError = u.unsavedError;
    before.waitingTold = u.waitingTold;
    u = before;
}

// The swap is saved as done before the manager is stopped: a power cut
// after it must find the watch over the new build and its version. When
// that cannot be saved the update waits, backing off as after a failure.
bool SwapSavedFirst(Ctx& c, const Look& r, const std::string& temp) {
    const UpdateMemory before = c.s.update;
    RememberSwap(c, r.key, r.content, r.version);
    if (SavedFirst(c, "the swap to '" + r.key.path + "'")) return true;
    Forget(c.s.update, before);
    RemoveIfPresent(c, temp);
    BackOff(c, r.key, r.content, false);
    // Whoever placed the update sees why it does not go in yet.
    StatusUpdateWaiting(c, c.s.update.waitingTold);
    return false;
}

// A manager that this attempt stopped is started again in the same tick,
// the new build or, when the swap failed, the old one. The census under
// the hold starts nothing and leaves the update's memory alone.
void ApplyUpdate(Ctx& c, const Look& r, const std::string& temp, const ManagerControl& manager) {
    std::string failed = PrepareSwap(c);
    if (!failed.empty()) return GiveUp(c, r.key, r.content, temp, "failed", "UPDATE FAILED: " + failed);
    const UpdateMemory before = c.s.update;
    if (!SwapSavedFirst(c, r, temp)) return ReleaseHold(c);
    c.s.sUpdateHold = kYes;
    failed = StopManager(c, manager);
    if (failed.empty()) failed = Swap(c, temp);
    if (failed.empty()) return Finish(c, r.key, r.content, r.version, manager);
    Forget(c.s.update, before);
    GiveUp(c, r.key, r.content, temp, "failed", "UPDATE FAILED: " + failed);
    manager.census(c);
}

void ActOnLook(Ctx& c, const Look& r, const ManagerControl& manager) {
    const UpdateKey& key = r.key;
    const std::string temp = AppPath(c, "KORUMGR.new");
    switch (r.found) {
    case Look::Unreachable:
    case Look::Alone:
        return ReleaseHold(c);
    case Look::Absent:
        DebugRecord(c, "NO Esta el Archivo '" + key.path + "'");
        return ReleaseHold(c);
    case Look::NotYet:
        return NotReadyYet(c, r);
    case Look::InPlace:
        c.s.update.unchanged = key;
        DebugRecord(c, "UPDATE ALREADY IN PLACE: '" + key.path + "'");
        DeletedRecord(c, key, r.why);
        SaveUpdateState(c);
        return ReleaseHold(c);
    case Look::Refused:
        if (KeysChanged(c, r, temp)) return;
        return GiveUp(c, key, r.content, temp, "refused", "UPDATE REFUSED: " + r.why);
    case Look::Failed:
        return GiveUp(c, key, r.content, temp, "failed", "UPDATE FAILED: " + r.why);
    case Look::Changed:
        RemoveIfPresent(c, temp);
        DebugRecord(c, "UPDATE CHANGED: '" + key.path + "' changed while it was checked; it is looked at afresh");
        return ReleaseHold(c);
    case Look::Known:
    case Look::Ready:
        break;
    }
    // What the tick learnt since the look (a rollback, a failure) counts.
    if (KnownContent(c, key, r.content, temp)) return;
    if (r.found == Look::Known || LeftAlone(c, key)) {
        RemoveIfPresent(c, temp);
        return ReleaseHold(c);
    }
    if (KeysChanged(c, r, temp)) return;
    const std::string refused = ManagerVersionRefusal(c, r.signing, r.version, r.content);
    if (!refused.empty()) return GiveUp(c, key, r.content, temp, "refused", "UPDATE REFUSED: " + refused);
    // While this monitor is a fresh build under guard too: a stop can take
    // the tick 40 s, which the guardian would take for a freeze.
    if (FreshBuildWatched(c) || OwnBuildGuarded(c)) return Wait(c, key, temp);
    ApplyUpdate(c, r, temp, manager);
}

// A build found ready before a look that took long may have changed since.
void StillReady(Ctx& c, Look& r) {
    UpdateKey now{r.key.path, {}};
    if (r.found == Look::Ready && !(c.p.StatFile(r.key.path, now.stamp) && now == r.key)) r.found = Look::Changed;
}

bool WantsTick(const Look& r) {
    return r.found != Look::Unreachable && r.found != Look::Absent && r.found != Look::Alone;
}

}  // namespace

// Hands the worker a look at the update folder, and acts on its result
// when it is already there; else the tick that picks it up does. A report
// that found the worker busy goes first: the look comes at every tick.
void UpdateKORUMGR(Ctx& c, const ManagerControl& manager) {
    const std::string folder = UpdateFolder(c);
    if (folder.empty() || c.s.work.probing || c.s.status.waiting || HandoverUnderWay(c)) return;
    LoadUpdateState(c);
    // What it remembers is not known yet, or not on the disk: next tick.
    if (!c.s.update.loaded || (c.s.update.unsaved && !SaveUpdateState(c))) return ReleaseHold(c);
    FreshBuildWatched(c);  // the look is given the watch as it is now
    auto look = std::make_shared<Look>();
    auto own = std::make_shared<Look>();
    StartShareJob(
        c, "the look at '" + folder + "'",
        [folder, look, own](Ctx& w) {
            // The monitor's own build is looked at in the same look, first:
            // the manager's result is then as fresh as it was without it.
            *own = LookAtMonitorBuild(w, folder);
            if (own->found != Look::Unreachable) *look = LookAtShare(w, folder);
            StillReady(w, *own);
            return WantsTick(*look) || WantsTick(*own);
        },
        [look, own, manager](Ctx& ui) {
            ActOnLook(ui, *look, manager);
            ActOnMonitorLook(ui, *own);
        });
    CollectShareWork(c);
}

}  // namespace rz
