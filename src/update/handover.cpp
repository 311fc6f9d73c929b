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

#include <algorithm>
#include <cstdlib>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/process_list.h"
#include "diag/status_format.h"
#include "diag/status_report.h"
#include "ui/frm_main.h"
#include "update/look.h"
#include "update/signature.h"
#include "update/update.h"
#include "update/update_state.h"

namespace rz {

namespace {

constexpr std::uint64_t kReadyLimitMs = 30 * 1000;
constexpr std::uint64_t kGuardWatchMs = 2 * 60 * 1000;
constexpr std::uint32_t kGuardPollMs = 1000;
// While it waits for the ready signal, the old monitor ticks this often:
// the go follows the signal within a second, in a tick with its census.
constexpr std::uint32_t kReadyPollMs = 1000;
// The new monitor's first tick comes this soon after the go.
constexpr std::uint32_t kGoPollMs = 250;
constexpr std::uint32_t kResumeMs = 100;
constexpr std::uint64_t kEndWaitMs = 5000;
constexpr std::uint32_t kStillActive = 259;
// The new monitor is waited for, asked how it ended, and ended when it is
// not ready in time.
constexpr std::uint32_t kNewMonitorAccess = kSynchronize | kQueryLimited | 0x0001;  // | PROCESS_TERMINATE
const char* const kMoving = "moving";
const char* const kStarted = "started";

std::string Named(Ctx& c, const char* extension) { return AppPath(c, std::string(kAppTitle) + extension); }
std::string Exe(Ctx& c) { return Named(c, ".exe"); }
std::string Prev(Ctx& c) { return Named(c, ".prev"); }
std::string Temp(Ctx& c) { return Named(c, ".new"); }
std::string ReadyFile(Ctx& c) { return Named(c, ".rdy"); }

std::string Seconds(std::uint64_t ms) { return std::to_string(ms / 1000) + " s"; }

void ArmTimer(Ctx& c, std::uint32_t ms) {
    TimerMONITORVESK_SetEnabled(c, true);
    TimerMONITORVESK_SetInterval(c, ms);
}

// Whether the process has ended; one that cannot be asked has not, as far
// as anyone knows.
bool Ended(Ctx& c, Handle process, std::uint32_t& code) {
    code = kStillActive;
    return process != 0 && c.p.ExitCodeOf(process, &code) && code != kStillActive;
}

// --- what the look found --------------------------------------------------

void TellOnce(Ctx& c, const UpdateKey& key, const std::string& record) {
    MonitorMemory& m = c.s.update.monitor;
    if (key == m.toldKey && record == m.told) return;
    m.toldKey = key;
    m.told = record;
    DebugRecord(c, record);
}

// An attempt that handed nothing over: the copy goes, and the update file
// backs off as the manager's does, after a refusal whatever its content.
std::uint64_t BackOff(Ctx& c, const Look& r, bool refused) {
    MonitorMemory& m = c.s.update.monitor;
    RemoveIfPresent(c, Temp(c));
    const bool anyContent = m.failedContent == kAnyContent;
    const bool same = anyContent || (m.failures > 0 && m.failedContent == r.content);
    m.failures = same ? std::min(m.failures + 1, kMostFailures) : 1;
    m.failedContent = refused || anyContent ? kAnyContent : r.content;
    return BackOffWait(c, m.failures, m.retryAt, m.retryRun);
}

void GiveUp(Ctx& c, const Look& r, const std::string& result, const std::string& why) {
    const std::uint64_t wait = BackOff(c, r, result == "refused");
    const std::string record = "MONITOR UPDATE " + UCase(result) + ": " + why;
    StatusMonitorUpdate(c, result, r.version, record);
    TracedRecord(c, record + "; next attempt in " + std::to_string(wait) + " s; this monitor, version " + c.s.sVersion +
                        ", stays");
    SaveUpdateState(c);
}

// A step whose state cannot be saved first is not taken: the handover
// waits, backing off as after a failure, and nothing has changed.
void WaitForState(Ctx& c, const Look& r, const std::string& step) {
    c.s.update.monitor.step.clear();
    const std::uint64_t wait = BackOff(c, r, false);
    const std::string record = std::string(kMonitorUpdateWaitingRecord) + ": the handover to version " + r.version +
                               " waits before " + step + ": the state cannot be saved, error " +
                               std::to_string(c.s.update.unsavedError);
    StatusMonitorUpdateWaiting(c, record);
    TracedRecord(c, record + "; next attempt in " + std::to_string(wait) + " s");
}

void LeaveAlone(Ctx& c, const Look& r) {
    MonitorMemory& m = c.s.update.monitor;
    RemoveIfPresent(c, Temp(c));
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
    RemoveIfPresent(c, Temp(c));
    DebugRecord(c, "MONITOR UPDATE KEY CHANGED: '" + AppPath(c, kUpdateKeyFile) + "' changed while '" + r.key.path +
                       "' was checked; it is looked at afresh");
    return true;
}

// --- the handover, old side ---------------------------------------------------

// '.prev' back in the monitor's name. While another program holds it, the
// monitor ticks on and tries again at every tick.
void PutBack(Ctx& c) {
    Handover& h = c.s.handover;
    if (c.p.MoveReplace(Prev(c), Exe(c))) {
        if (h.restoring) TracedRecord(c, "MONITOR UPDATE RESTORED: '" + Prev(c) + "' is '" + Exe(c) + "' again");
        h.restoring = false;
        return;
    }
    if (!h.restoring)
        TracedRecord(c, "MONITOR UPDATE ROLLBACK WAITING: '" + Prev(c) + "' cannot be put back as '" + Exe(c) + "', " +
                            ErrorText(c) + "; it is tried again at every tick");
    h.restoring = true;
}

// The new monitor may have saved the state since it took over: the
// rollback goes into what the file holds now.
void ReloadState(Ctx& c) {
    const UpdateMemory kept = c.s.update;
    c.s.update.loaded = false;
    LoadUpdateState(c);
    if (!c.s.update.loaded) c.s.update = kept;
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
    ReloadState(c);
    MonitorMemory& m = c.s.update.monitor;
    RememberRolledBack(m, h.content);
    m.step.clear();
    // The dead build goes whatever the disk says; the state is saved again
    // at every tick until it has taken the rollback.
    h.unsaved = !SaveUpdateState(c);
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

void StartNewMonitor(Ctx& c, const Look& r) {
    Handover& h = c.s.handover;
    const std::string own = std::to_string(c.p.OwnPid());
    h.pid = c.p.StartWithArgs(Exe(c), std::string(kHandoverSwitch) + " " + own);
    if (h.pid == 0) return RollBack(c, "did not start, " + ErrorText(c));
    h.process = c.p.OpenProc(kNewMonitorAccess, false, h.pid);
    h.phase = Handover::AwaitReady;
    h.sinceMs = c.p.MonotonicMs();
    MonitorMemory& m = c.s.update.monitor;
    m.failures = 0;
    m.failedContent.clear();
    TracedRecord(c, "MONITOR UPDATE STARTED: '" + r.key.path + "', " + std::to_string(r.key.stamp.length) +
                        " bytes, version " + r.version + ", runs as PID " + std::to_string(h.pid) + "; PID " + own +
                        ", version " + c.s.sVersion + ", ticks until it is ready");
}

// Whatever failed before the start leaves the monitor as it was.
void Abandon(Ctx& c, const Look& r, const std::string& why) {
    c.s.update.monitor.step.clear();
    GiveUp(c, r, kUpdateResults[1], why);
}

void BeginHandover(Ctx& c, const Look& r) {
    MonitorMemory& m = c.s.update.monitor;
    Handover& h = c.s.handover;
    std::string why = RemoveIfPresent(c, Prev(c));
    if (why.empty()) why = RemoveIfPresent(c, ReadyFile(c));
    if (!why.empty()) return Abandon(c, r, "the leftovers of the last handover cannot be removed, " + why);
    h.content = m.content = r.content;
    h.version = m.version = r.version;
    m.from = c.p.OwnPid();
    m.step = kMoving;
    if (!SaveUpdateState(c)) return WaitForState(c, r, "its rename");
    if (!c.p.MoveReplace(Exe(c), Prev(c)))
        return Abandon(c, r, "'" + Exe(c) + "' cannot be renamed to '" + Prev(c) + "', " + ErrorText(c));
    if (!c.p.MoveReplace(Temp(c), Exe(c))) {
        why = ErrorText(c);
        PutBack(c);
        return Abandon(c, r, "'" + Temp(c) + "' cannot be moved to '" + Exe(c) + "', " + why);
    }
    m.step = kStarted;
    if (SaveUpdateState(c)) return StartNewMonitor(c, r);
    PutBack(c);
    WaitForState(c, r, "its start");
}

// The go: the new monitor ticks from now, and this one guards it.
void GiveGo(Ctx& c) {
    Handover& h = c.s.handover;
    const std::string why = RemoveIfPresent(c, ReadyFile(c));
    if (!why.empty()) return TellOnce(c, {}, "MONITOR UPDATE GO NOT GIVEN: '" + ReadyFile(c) + "' stays, " + why);
    c.p.LeaveInstance();
    h.phase = Handover::Guarding;
    h.sinceMs = c.p.MonotonicMs();
    TracedRecord(c, "MONITOR UPDATE HANDED OVER: version " + h.version + " (PID " + std::to_string(h.pid) +
                        ") is ready and ticks from now; this monitor guards it for 2 minutes");
    ArmTimer(c, kGuardPollMs);
}

bool ReadySignalled(Ctx& c, std::uint32_t pid) {
    std::string text;
    return c.p.ReadSmallFile(ReadyFile(c), 64, text) == ReadStatus::Ok && text == std::to_string(pid);
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
    if (watched < kGuardWatchMs) return ArmTimer(c, kGuardPollMs);
    TracedRecord(c, "MONITOR UPDATE WATCH OVER: version " + h.version + " (PID " + std::to_string(h.pid) +
                        ") has ticked for 2 minutes; this monitor ends, '" + Prev(c) + "' stays as the backup");
    EndProgram(c, kExitNormal);
}

// --- the handover, new side ---------------------------------------------------

// Ready only once the state has been read: a state held by another
// program for a moment is tried again at the next poll; the old monitor
// gives the new one 30 s.
void TrySignal(Ctx& c) {
    Handover& h = c.s.handover;
    LoadUpdateState(c);
    if (!c.s.update.loaded) return;
    const std::string own = std::to_string(c.p.OwnPid());
    if (!c.p.WriteText(ReadyFile(c), own)) return;
    h.readySent = true;
    DebugRecord(c, "MONITOR UPDATE READY: version " + c.s.sVersion + ", PID " + own + ", waits for the go of PID " +
                       std::to_string(h.pid));
}

bool GoGiven(Ctx& c, bool& oldEnded) {
    const Handle old = c.p.OpenProc(kSynchronize | kQueryLimited, false, c.s.handover.pid);
    std::uint32_t code = 0;
    oldEnded = old == 0 || Ended(c, old, code);
    if (old != 0) c.p.CloseHandle(old);
    return oldEnded || c.p.Attributes(ReadyFile(c)) == PathKind::Missing;
}

void TakeOver(Ctx& c, bool oldEnded) {
    Handover& h = c.s.handover;
    h.phase = Handover::None;
    h.guardedUntilMs = c.p.MonotonicMs() + kGuardWatchMs + kReadyLimitMs;
    MonitorMemory& m = c.s.update.monitor;
    m.step.clear();
    m.failures = 0;
    m.failedContent.clear();
    SaveUpdateState(c);
    if (oldEnded) RemoveIfPresent(c, ReadyFile(c));
    StatusMonitorUpdate(c, kUpdateResults[0], c.s.sVersion, "");
    TracedRecord(c, "MONITOR UPDATE DONE: version " + c.s.sVersion + " ticks as PID " + std::to_string(c.p.OwnPid()) +
                        ", handed over by PID " + std::to_string(h.pid) +
                        (oldEnded ? ", which has ended" : ", which guards it for 2 minutes"));
}

// A start that finds a handover broken off (the power, or both monitors,
// gone in its midst) runs whichever build is in the monitor's name.
void FinishBrokenOff(Ctx& c) {
    LoadUpdateState(c);
    MonitorMemory& m = c.s.update.monitor;
    if (!c.s.update.loaded || m.step.empty()) return;
    // Once started, only a rollback brings the old build back.
    const bool rolledBack = m.step == kStarted && c.s.sVersion != m.version;
    TracedRecord(c, "MONITOR UPDATE BROKEN OFF: the handover to version " + m.version + " stopped at its step '" +
                        m.step + "'; version " + c.s.sVersion + " runs" +
                        (rolledBack ? ", and version " + m.version + " is not taken again" : ""));
    if (rolledBack) RememberRolledBack(m, m.content);
    if (c.s.sVersion == m.version) StatusMonitorUpdate(c, kUpdateResults[0], m.version, "");
    m.step.clear();
    SaveUpdateState(c);
    RemoveIfPresent(c, ReadyFile(c));
}

}  // namespace

void ActOnMonitorLook(Ctx& c, const Look& r) {
    MonitorMemory& m = c.s.update.monitor;
    switch (r.found) {
    case Look::Unreachable:
    case Look::Absent:
    case Look::Alone:
        return;
    case Look::NotYet:
        if (!r.inUse) m.unchanged = r.key;
        return TellOnce(c, r.key, "MONITOR UPDATE NOT READY: '" + r.key.path + "' (" + r.why + ")");
    case Look::InPlace:
        m.unchanged = r.key;
        if (r.why.empty()) return DebugRecord(c, "MONITOR UPDATE ALREADY IN PLACE: '" + r.key.path + "'");
        return DebugRecord(c, "MONITOR UPDATE FILE REMOVED: '" + r.key.path + "' is the running monitor, known by " +
                                  r.why);
    case Look::Refused:
        if (KeysMoved(c, r)) return;
        return GiveUp(c, r, kUpdateResults[3], r.why);
    case Look::Failed:
        return GiveUp(c, r, kUpdateResults[1], r.why);
    case Look::Changed:
        RemoveIfPresent(c, Temp(c));
        return DebugRecord(c, "MONITOR UPDATE CHANGED: '" + r.key.path + "' changed while it was checked");
    case Look::Known:
    case Look::Ready:
        break;
    }
    if (m.rolledBack.find(r.content) != std::string::npos) return LeaveAlone(c, r);
    if (r.found == Look::Known || KeysMoved(c, r)) return void(RemoveIfPresent(c, Temp(c)));
    if (c.s.sUpdateHold == kYes || FreshBuildWatched(c) || c.p.MonotonicMs() < c.s.handover.guardedUntilMs) {
        m.waits = r.key;
        RemoveIfPresent(c, Temp(c));
        const std::string record = std::string(kMonitorUpdateWaitingRecord) + ": '" + r.key.path +
                                   "' waits until the manager's or this monitor's fresh build has run 2 minutes";
        StatusMonitorUpdateWaiting(c, record);
        return TellOnce(c, r.key, record);
    }
    BeginHandover(c, r);
}

bool HandoverInsteadOfTick(Ctx& c) {
    Handover& h = c.s.handover;
    if (h.phase == Handover::Guarding) {
        Guard(c);
        return true;
    }
    if (h.phase == Handover::AwaitGo) {
        bool oldEnded = false;
        if (!h.readySent) TrySignal(c);
        if (!h.readySent || !GoGiven(c, oldEnded)) {
            ArmTimer(c, kGoPollMs);
            return true;
        }
        TakeOver(c, oldEnded);
        return false;
    }
    if (h.restoring) PutBack(c);
    if (h.unsaved) h.unsaved = !SaveUpdateState(c);
    if (h.phase == Handover::None) FinishBrokenOff(c);
    return false;
}

void HandoverAfterTick(Ctx& c) {
    Handover& h = c.s.handover;
    if (h.phase != Handover::AwaitReady) return;
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

std::uint32_t HandoverFrom(Ctx& c) {
    const std::string args = c.p.CommandArgs();
    const std::string head = std::string(kHandoverSwitch) + " ";
    if (args.compare(0, head.size(), head) != 0) return 0;
    const std::string digits = args.substr(head.size());
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    const unsigned long long pid = std::strtoull(digits.c_str(), nullptr, 10);
    return pid > 0xFFFFFFFFull ? 0 : static_cast<std::uint32_t>(pid);
}

bool HandoverExpected(Ctx& c, std::uint32_t from) {
    if (from == 0) return false;
    LoadUpdateState(c);
    const MonitorMemory& m = c.s.update.monitor;
    return from != 0 && c.s.update.loaded && m.step == kStarted && m.from == from;
}

void SignalReady(Ctx& c, std::uint32_t from) {
    Handover& h = c.s.handover;
    h.phase = Handover::AwaitGo;
    h.pid = from;
    h.sinceMs = c.p.MonotonicMs();
    TrySignal(c);
    ArmTimer(c, kGoPollMs);
}

}  // namespace rz
