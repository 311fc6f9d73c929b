#include "update/takeover.h"

#include <cstdlib>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/process_list.h"
#include "diag/status_format.h"
#include "diag/status_report.h"
#include "update/monitor_verdict.h"
#include "update/self_swap.h"
#include "update/update_state.h"

namespace rz {

namespace {

// The new monitor's first tick comes this soon after the go.
constexpr std::uint32_t kGoPollMs = 250;
// What the start leaves itself of the ready limit to signal once it has read the state.
constexpr std::uint64_t kSignalTimeMs = 5000;

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

}  // namespace

bool AwaitGo(Ctx& c) {
    Handover& h = c.s.handover;
    bool oldEnded = false;
    if (!h.readySent) TrySignal(c);
    if (!h.readySent || !GoGiven(c, oldEnded)) {
        ArmTimer(c, kGoPollMs);
        return true;
    }
    TakeOver(c, oldEnded);
    return false;
}

// A file, rewritten at the end of each tick: it needs nothing of the
// platform that every monitor build does not have, and a program that
// holds it costs at most the ticks it holds it for.
void ProveTick(Ctx& c) {
    Handover& h = c.s.handover;
    if (c.p.MonotonicMs() < h.guardedUntilMs)
        c.p.WriteText(TickFile(c), std::to_string(c.p.OwnPid()) + " " + std::to_string(++h.ticks));
}

void FinishBrokenOff(Ctx& c) {
    LoadUpdateState(c);
    MonitorMemory& m = c.s.update.monitor;
    if (!c.s.update.loaded || m.step.empty()) return;
    const bool isNew = c.s.sVersion == m.version;
    if (m.step == kStepRestoring && isNew) {
        // The build being rolled back runs: the restore comes first.
        const std::string why = StepAside(c);
        if (why.empty()) {
            TracedRecord(c, "MONITOR UPDATE RESTORED AT START: version " + m.version + " was being rolled back");
            EndProgram(c, kExitNormal);
        }
        return MonitorTellOnce(c, {}, "MONITOR UPDATE ROLLBACK WAITING: " + why);
    }
    // Once started, only a rollback brings the old build back.
    const bool rolledBack = (m.step == kStepStarted || m.step == kStepGuarding) && !isNew;
    TracedRecord(c, "MONITOR UPDATE BROKEN OFF: the handover to version " + m.version + " stopped at its step '" +
                        m.step + "'; version " + c.s.sVersion + " runs" +
                        (rolledBack ? ", and version " + m.version + " is not taken again" : ""));
    if (rolledBack) RememberRolledBack(m, m.content, m.version);
    if (isNew && m.step != kStepRestoring) StatusMonitorUpdate(c, kUpdateResults[0], m.version, "");
    m.step.clear();
    SaveUpdateState(c);
    RemoveIfPresent(c, ReadyFile(c));
}

std::uint32_t HandoverFrom(Ctx& c) {
    const std::string args = c.p.CommandArgs();
    const std::string head = std::string(kHandoverSwitch) + " ";
    if (args.compare(0, head.size(), head) != 0) return 0;
    const std::string digits = args.substr(head.size());
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    const unsigned long long pid = std::strtoull(digits.c_str(), nullptr, 10);
    return pid > 0xFFFFFFFFull ? 0 : static_cast<std::uint32_t>(pid);
}

// A state held for a moment by another program, or one that does not name
// this start yet, is waited for, as every start waits for a state it
// cannot read, up to the time the old monitor gives for the ready signal.
bool HandoverExpected(Ctx& c, std::uint32_t from) {
    if (from == 0) return false;
    const std::uint64_t until = c.p.MonotonicMs() + kReadyLimitMs - kSignalTimeMs;
    for (;;) {
        c.s.update.loaded = false;
        LoadUpdateState(c);
        const MonitorMemory& m = c.s.update.monitor;
        if (c.s.update.loaded && (m.step != kStepStarted || m.from != from)) return false;
        if (c.s.update.loaded && m.to != 0) return m.to == c.p.OwnPid();
        if (c.p.MonotonicMs() >= until) return false;
        WaitPumping(c, kGoPollMs);
    }
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
