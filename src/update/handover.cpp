// The tick's side of the monitor's own update: what becomes of the look at
// its build, and the handover. The old monitor renames its running image
// to '.prev' (Windows renames a running image, but will not replace it),
// moves the build into its name and starts it with /handover and its own
// pid. The new one reads the state, writes the Run key and signals ready
// with a file that holds its pid; the old one, at its next tick, takes the
// file away as the go, and stops ticking; the new one ticks from the go
// on. Each step is in the state file before it is taken, so that a start
// after a power cut finds out where the handover stopped.
#include "update/handover.h"

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/process_list.h"
#include "diag/status_format.h"
#include "diag/status_report.h"
#include "ui/frm_main.h"
#include "update/look.h"
#include "update/monitor_verdict.h"
#include "update/self_swap.h"
#include "update/takeover.h"
#include "update/update_state.h"

namespace rz {

namespace {

constexpr std::uint32_t kGuardPollMs = 1000;
// While it waits for the ready signal, the old monitor ticks this often:
// the go follows the signal within a second, in a tick with its census.
constexpr std::uint32_t kReadyPollMs = 1000;
constexpr std::uint32_t kResumeMs = 100;
constexpr std::uint64_t kEndWaitMs = 5000;
// The new monitor proves each tick (5 s apart); three missed, and the
// time of a slow one, and it is taken for frozen.
constexpr std::uint64_t kProofLimitMs = 20 * 1000;
// The new monitor is waited for, asked how it ended, and ended when it is
// not ready in time.
constexpr std::uint32_t kNewMonitorAccess = kSynchronize | kQueryLimited | 0x0001;  // | PROCESS_TERMINATE

std::string Seconds(std::uint64_t ms) { return std::to_string(ms / 1000) + " s"; }

// '.prev' back in the monitor's name, as a copy. While another program
// holds what the copy needs, the monitor ticks on and tries again at every
// tick; the state says so, and a start after a power cut resumes it.
void PutBack(Ctx& c) {
    Handover& h = c.s.handover;
    MonitorMemory& m = c.s.update.monitor;
    bool copied = false;
    const std::string why = RestoreFromPrev(c, copied);
    if (why.empty()) {
        h.runsAsPrev = copied;
        UncoverRenames(c);
        if (h.restoring) TracedRecord(c, "MONITOR UPDATE RESTORED: the build before is back");
        h.restoring = false;
        if (m.step == kStepRestoring) {
            m.step.clear();
            SaveUpdateState(c);
        }
        return;
    }
    if (!h.restoring)
        TracedRecord(c, "MONITOR UPDATE ROLLBACK WAITING: " + why + "; it is tried again at every tick");
    h.restoring = true;
    if (m.step != kStepRestoring && c.s.update.loaded) {
        m.step = kStepRestoring;
        SaveUpdateState(c);
    }
}

// The rollback goes into what the state file holds now, read again: the
// new monitor may have saved facts since it took over (a manager build it
// installed and its watch, a newer version, a build rolled back), and they
// stay. While the file cannot be read, nothing is written over it: the
// rollback waits in memory and is saved by a later tick. True once saved.
bool SaveRollback(Ctx& c, const char* step) {
    Handover& h = c.s.handover;
    c.s.update.loaded = false;
    LoadUpdateState(c);
    if (!c.s.update.loaded) return false;
    MonitorMemory& m = c.s.update.monitor;
    RememberRolledBack(m, h.content, h.version);
    m.step = step;
    return SaveUpdateState(c);
}

// The new build ended, or never got ready: it is taken out, never to come
// in again, and this monitor ticks again.
void RollBack(Ctx& c, const std::string& why) {
    Handover& h = c.s.handover;
    const bool guarding = h.phase == Handover::Guarding;
    // No tick may begin while this one waits, pumping.
    const bool ticking = c.frmMAIN.timerEnabled;
    TimerMONITORVESK_SetEnabled(c, false);
    if (h.process != 0) {
        c.p.PumpUntilEnded(h.process, c.p.MonotonicMs() + kEndWaitMs);
        c.p.CloseHandle(h.process);
    }
    h.phase = Handover::None;
    h.process = 0;
    // The restore is a step of its own, saved before it is taken; but the
    // dead build goes whatever the disk says (a start tells the builds
    // apart by their versions), and the state is saved again at every tick
    // until it has taken the rollback.
    h.unsaved = !SaveRollback(c, kStepRestoring);
    PutBack(c);
    RemoveIfPresent(c, ReadyFile(c));
    if (guarding) {  // this one is the instance again
        c.p.PrevInstance(kSessionMutex);
        c.p.PrevInstance(kGlobalMutex);
    }
    const std::string record =
        "MONITOR UPDATE ROLLED BACK: version " + h.version + " (PID " + std::to_string(h.pid) + ") " + why;
    StatusMonitorUpdate(c, kUpdateResults[2], h.version, record);
    TracedRecord(c, record + "; this monitor, version " + c.s.sVersion + ", ticks again");
    if (guarding || ticking) ArmTimer(c, kResumeMs);
}

// Whatever failed before the start leaves the monitor as it was.
void Abandon(Ctx& c, const Look& r, const std::string& why) {
    c.s.update.monitor.step.clear();
    MonitorGiveUp(c, r, kUpdateResults[1], why);
}

void StartNewMonitor(Ctx& c, const Look& r) {
    Handover& h = c.s.handover;
    const std::string own = std::to_string(c.p.OwnPid());
    h.pid = StartBuild(c);
    // A start that the system refused says nothing of the build: it is
    // tried again after the back-off of a failure, never rolled back.
    if (h.pid == 0) {
        Abandon(c, r, "the new build did not start, " + ErrorText(c));
        return PutBack(c);
    }
    h.process = c.p.OpenProc(kNewMonitorAccess, false, h.pid);
    h.phase = Handover::AwaitReady;
    h.sinceMs = c.p.MonotonicMs();
    MonitorMemory& m = c.s.update.monitor;
    m.failures = 0;
    m.failedContent.clear();
    // The start names its pid only once it is known: the new monitor waits
    // for it, so that no other start with the switch passes for it.
    m.to = h.pid;
    SaveUpdateState(c);
    TracedRecord(c, "MONITOR UPDATE STARTED: '" + r.key.path + "', " + std::to_string(r.key.stamp.length) +
                        " bytes, version " + r.version + ", runs as PID " + std::to_string(h.pid) + "; PID " + own +
                        ", version " + c.s.sVersion + ", ticks until it is ready");
}

void BeginHandover(Ctx& c, const Look& r) {
    MonitorMemory& m = c.s.update.monitor;
    Handover& h = c.s.handover;
    // A run whose image is not in the monitor's name moves the build in in
    // one move; one whose image is '.prev' keeps it: it is the backup already.
    const bool oneMove = h.runsAsPrev || RunsOutsideName(c);
    std::string why = oneMove ? "" : RemoveIfPresent(c, OwnPrev(c));
    if (why.empty()) why = RemoveIfPresent(c, ReadyFile(c));
    if (!why.empty()) return Abandon(c, r, "the leftovers of the last handover cannot be removed, " + why);
    h.content = m.content = r.content;
    h.version = m.version = r.version;
    m.from = c.p.OwnPid();
    m.to = 0;  // named once started: a start that reads the state before waits for it
    m.step = kStepMoving;
    if (!SaveUpdateState(c)) return MonitorWaitForState(c, r, "its rename");
    // Between the renames only the copy is there for Windows to start; with
    // no copy named, a power cut there would leave nothing: no renames then.
    why = oneMove ? "" : CoverRenames(c, OwnExe(c));
    if (!why.empty()) return Abandon(c, r, why);
    bool renamed = false;
    why = MoveBuildIn(c, oneMove, renamed);
    if (!why.empty()) {
        // The running image back in its name first, in one move; nothing may
        // be saved while the name is empty.
        if (renamed && !c.p.MoveReplace(OwnPrev(c), OwnExe(c))) PutBack(c);
        UncoverRenames(c);
        if (c.s.handover.restoring) return MonitorGiveUp(c, r, kUpdateResults[1], why);
        return Abandon(c, r, why);
    }
    UncoverRenames(c);
    m.step = kStepStarted;
    if (SaveUpdateState(c)) return StartNewMonitor(c, r);
    MonitorWaitForState(c, r, "its start");
    // The main copy may say 'started' already: a start after a power cut
    // would take the build that never ran for one rolled back. Until the
    // build before is back, the step is the renames'.
    m.step = kStepMoving;
    SaveUpdateState(c);
    m.step.clear();
    PutBack(c);
    SaveUpdateState(c);
}

// The go: the new monitor ticks from now, and this one guards it.
void GiveGo(Ctx& c) {
    Handover& h = c.s.handover;
    MonitorMemory& m = c.s.update.monitor;
    m.step = kStepGuarding;
    RemoveIfPresent(c, TickFile(c));
    const std::string why = SaveUpdateState(c) ? RemoveIfPresent(c, ReadyFile(c)) : "the state is not saved";
    if (!why.empty()) {
        m.step = kStepStarted;
        return MonitorTellOnce(c, {}, "MONITOR UPDATE GO NOT GIVEN: " + why);
    }
    c.p.LeaveInstance();
    h.phase = Handover::Guarding;
    h.sinceMs = h.provedMs = c.p.MonotonicMs();
    h.proof.clear();
    TracedRecord(c, "MONITOR UPDATE HANDED OVER: version " + h.version + " (PID " + std::to_string(h.pid) +
                        ") is ready and ticks from now; this monitor guards it for 2 minutes");
    ArmTimer(c, kGuardPollMs);
}

// A stop file ends the guardian with the monitor it guards, which obeys it
// too: that end is no failure of the build.
bool StopFileThere(Ctx& c) {
    return FileExists(c, AppPath(c, c.s.sAppTitle + ".stp")) || FileExists(c, AppPath(c, "KORUMGRS.stp"));
}

void Guard(Ctx& c) {
    Handover& h = c.s.handover;
    std::uint32_t code = 0;
    const std::uint64_t watched = c.p.MonotonicMs() - h.sinceMs;
    if (StopFileThere(c)) {
        DebugRecord(c, "MONITOR UPDATE GUARD STOPPING: a stop file is there");
        EndProgram(c, kExitNormal);
    }
    if (Ended(c, h.process, code))
        return RollBack(c, "ended " + Seconds(watched) + " after it took over, exit code " + std::to_string(code));
    // Its ticks, not its process, tell whether the new monitor does its work.
    const std::uint64_t now = c.p.MonotonicMs();
    const std::string proof = TickProof(c, h.pid);
    if (!proof.empty() && proof != h.proof) {
        h.proof = proof;
        h.provedMs = now;
    }
    bool hung = now - h.provedMs > kProofLimitMs;
    for (const TopWindow& w : c.p.TopWindows({h.pid})) hung = hung || w.hung;
    if (hung) {
        // RollBack waits for its end.
        c.p.TerminateProc(h.process, 1);
        return RollBack(c, "has not ticked for 20 s, or hangs, and was ended");
    }
    if (watched < kGuardWatchMs) return ArmTimer(c, kGuardPollMs);
    TracedRecord(c, "MONITOR UPDATE WATCH OVER: version " + h.version + " (PID " + std::to_string(h.pid) +
                        ") has ticked for 2 minutes; this monitor ends, '" + OwnPrev(c) + "' stays as the backup");
    RemoveIfPresent(c, TickFile(c));
    EndProgram(c, kExitNormal);
}

}  // namespace

void ActOnMonitorLook(Ctx& c, const Look& r) {
    if (MonitorLookCallsForHandover(c, r)) BeginHandover(c, r);
}

bool HandoverInsteadOfTick(Ctx& c) {
    Handover& h = c.s.handover;
    if (h.phase == Handover::Guarding) {
        Guard(c);
        return true;
    }
    if (h.phase == Handover::AwaitGo) return AwaitGo(c);
    // This run's own rollback first; a step found in the state is another
    // run's, broken off.
    if (h.unsaved) h.unsaved = !SaveRollback(c, h.restoring ? kStepRestoring : "");
    // Started from the copy, the power gone between the renames: the build
    // before goes back into the monitor's name first.
    if (h.restoring || (h.phase == Handover::None && RunsOutsideName(c) && !FileExists(c, OwnExe(c)))) PutBack(c);
    if (h.phase == Handover::None && !h.unsaved && !h.restoring) FinishBrokenOff(c);
    return false;
}

void HandoverAfterTick(Ctx& c) {
    Handover& h = c.s.handover;
    if (h.phase == Handover::None) return ProveTick(c);
    if (h.phase != Handover::AwaitReady) return;
    if (c.s.update.unsaved) SaveUpdateState(c);
    std::uint32_t code = 0;
    if (ReadySignalled(c, h.pid)) return GiveGo(c);
    if (Ended(c, h.process, code))
        return RollBack(c, "ended before it was ready, exit code " + std::to_string(code));
    if (c.p.MonotonicMs() - h.sinceMs <= kReadyLimitMs) return ArmTimer(c, kReadyPollMs);
    const bool ended = h.process != 0 && c.p.TerminateProc(h.process, 1);
    RollBack(c, "was not ready within " + Seconds(kReadyLimitMs) +
                    (ended ? " and was ended" : " and could not be ended, " + ErrorText(c)));
}

bool HandoverUnderWay(const Ctx& c) { return c.s.handover.phase != Handover::None; }

}  // namespace rz
