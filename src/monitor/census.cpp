#include <algorithm>
#include <set>
#include <vector>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/process_list.h"
#include "diag/status_report.h"
#include "monitor/manager_watch.h"
#include "monitor/monitor.h"
#include "update/update_state.h"

namespace rz {

namespace {

const char* const kConfigKey = "SOFTWARE\\KORU BOWLING\\System Configuration";
const char* const kConnectValues[] = {"Connect String", "Connect String Primary", "Connect String Secondary"};
constexpr std::uint64_t kFileTimePerMs = 10000;
constexpr std::uint64_t kShortRunFileTime = 10ull * 1000 * kFileTimePerMs;
constexpr std::uint32_t kStillActive = 259;
constexpr std::uint32_t kFirstAbnormalExit = 0xC0000000u;  // exception codes

const char* const kWatchedNames[] = {"KORUMGR.exe", "VESK.exe"};
constexpr std::size_t kLongestFileName = 255;

// Whether a snapshot's file name proves that the exact path cannot end with
// a watched name. The names hold no backslash, so a path ends with one only
// when its file name does. A short 8.3 form ('~'), an empty (unknown) name
// and one longer than any file name prove nothing.
bool NameRulesOut(const std::string& exeFile) {
    if (exeFile.empty() || exeFile.size() > kLongestFileName || exeFile.find('~') != std::string::npos)
        return false;
    for (const char* name : kWatchedNames)
        if (EndsWithNoCase(exeFile, name)) return false;
    return true;
}

// The processes that need the exact read, in process-table order: from
// the snapshot, less those that its names rule out; when the snapshot
// fails, the whole process list, with no names.
std::vector<ProcessEntry> ToRead(Ctx& c) {
    std::vector<ProcessEntry> snapshot, entries;
    if (!c.p.ProcessSnapshot(snapshot)) {
        for (std::uint32_t pid : GetProcessIds(c.p, &c.s.processListBytes)) entries.push_back({pid, ""});
        return entries;
    }
    for (const ProcessEntry& e : snapshot)
        if (!NameRulesOut(e.exeFile)) entries.push_back(e);
    return entries;
}

void CountManager(Ctx& c, std::uint32_t pid) {
    if (c.s.KORUMGR_RUNNING != kYes) c.s.managerPid = pid;  // the first one found
    c.s.managerPids.push_back(pid);
    c.s.KORUMGR_RUNNING = kYes;
}

// A manager started with more rights than the monitor (by a technician, as
// administrator) refuses to be read. Its name in the process table is all
// there is to go by; a second manager started beside it would only quit.
bool UnreadableManager(Ctx& c, const ProcessEntry& e, std::uint32_t error, std::set<std::uint32_t>& seen) {
    if (error != kProcessAccessDenied || UCase(e.exeFile) != "KORUMGR.EXE") return false;
    seen.insert(e.pid);
    if (c.s.unreadableManagers.count(e.pid) == 0)
        DebugRecord(c, "'KORUMGR.exe' PID " + std::to_string(e.pid) + " CANNOT BE READ, error " +
                           std::to_string(error) + ": counted as running");
    return true;
}

// The snapshot only spares exact reads: a process counts by the path that
// its exact read gives, as with a full walk, or else by its exact name
// when it refuses to be read.
void TakeCensus(Ctx& c) {
    c.s.KORUMGR_RUNNING.clear();
    c.s.VESK_RUNNING.clear();
    c.s.managerPid = 0;
    c.s.managerPids.clear();
    c.s.besidePids.clear();
    const std::string beside = UCase(AppPath(c, "KORUMGR.exe"));
    std::set<std::uint32_t> unreadable;
    for (const ProcessEntry& e : ToRead(c)) {
        std::string path;
        std::uint32_t error = 0;
        if (!GetProcessPath(c.p, e.pid, path, &error)) {
            if (!UnreadableManager(c, e, error, unreadable)) continue;
            CountManager(c, e.pid);
            c.s.besidePids.push_back(e.pid);
            continue;
        }
        if (EndsWithNoCase(path, "VESK.exe")) c.s.VESK_RUNNING = kYes;
        if (!EndsWithNoCase(path, "KORUMGR.exe")) continue;
        CountManager(c, e.pid);
        if (UCase(path) != beside) continue;
        c.s.besidePids.push_back(e.pid);
        FreshBuildRuns(c);  // one that cannot be read may run from anywhere
    }
    c.s.unreadableManagers = unreadable;
    NoteManagersSeen(c);
    FollowManager(c);
}

}  // namespace

// By their ids, as a frozen one is ended: a name would also match a tool
// named after the manager, and stop at four; and only those beside the
// monitor, whose file the update replaces: a manager that a person runs
// from another folder is none of the update's business. One that refuses because it
// is on its way out already (ended as frozen in this very tick) is waited
// for too.
std::vector<std::uint32_t> TerminateManagers(Ctx& c) {
    DebugRecord(c, "ELProcessTOKILL: KORUMGR.exe");
    TakeCensus(c);
    std::uint32_t error = 0;
    TerminateProcesses(c, c.s.besidePids, error);
    std::vector<std::uint32_t> ending;
    for (std::uint32_t pid : c.s.besidePids)
        if (c.s.endingManagers.count(pid)) ending.push_back(pid);
    return ending;
}

namespace {

std::string ResetConnectStrings(Ctx& c) {
    if (c.s.VESK_RUNNING == kYes) return ":|";
    for (const char* name : kConnectValues)
        RegSetStringValue(c, kHKeyLocalMachine, kConfigKey, name, DefaultConnectString());
    return ":(";
}

// A stop request left by an unfinished update would make every manager we
// start quit at once. False when it is still there.
// Hidden and system files count: the manager sees them all the same.
bool RemoveStaleStopRequest(Ctx& c, std::string& status) {
    const std::string request = AppPath(c, "KORUMGR.stp");
    if (c.p.Attributes(request) == PathKind::Missing) return true;
    const std::string why = RemoveIfPresent(c, request);
    if (why.empty()) {
        DebugRecord(c, "REMOVIDO: " + request);
        return true;
    }
    status = "'KORUMGR.stp' CANNOT BE REMOVED, " + why + ": 'KORUMGR.exe' not started";
    return false;
}

// Puts the build that the last update replaced back in place. A rollback
// that fails (a scanner holding either file) stays due: it is tried at
// every later start, across restarts too, until it succeeds or there is no
// KORUMGR.old to bring back; each kind of failure is recorded once.
void RollBack(Ctx& c) {
    UpdateMemory& u = c.s.update;
    const std::string previous = AppPath(c, "KORUMGR.old");
    const std::string target = AppPath(c, "KORUMGR.exe");
    const PathKind kept = c.p.Attributes(previous);
    if (kept == PathKind::Missing || kept == PathKind::Folder) {
        u.watching = false;
        SaveUpdateState(c);
        DebugRecord(c, "ROLLBACK IMPOSSIBLE: the build of '" + u.replacedPath + "' will not run and there is no '" +
                           previous + "'");
        return;
    }
    // Saved first: after a power cut the build taken out must not come in
    // again. Should the move fail, the build stays rolled back in name
    // only, and the rollback stays due.
    u.rolledBack = u.replacedContent;
    if (!SavedFirst(c, "the rollback of '" + u.replacedPath + "'")) return StatusUpdateWaiting(c, u.waitingTold);
    c.p.ClearAttributes(target);
    if (kept == PathKind::Unknown || !c.p.MoveReplace(previous, target)) {
        const std::string failure = "ROLLBACK FAILED: '" + previous + "' cannot take the place of 'KORUMGR.exe', error " +
                                    std::to_string(c.p.LastError()) + "; it is tried again at the next start";
        if (failure != u.rollbackFailure) DebugRecord(c, failure);
        u.rollbackFailure = failure;
        return;
    }
    u.watching = false;
    u.rollbackFailure.clear();
    SaveUpdateState(c);
    StatusUpdate(c, "rolled back", u.replacedPath);
    c.s.status.lastUpdateReason =
        "ROLLBACK: the build of '" + u.replacedPath + "' will not run; the previous 'KORUMGR.exe' is back";
    DebugRecord(c, c.s.status.lastUpdateReason);
}

// While a fresh build is watched: a start after two runs that would not
// run, or a start that fails, takes it out again.
bool MustRollBack(Ctx& c, bool failedStart) {
    UpdateMemory& u = c.s.update;
    if (!u.watching || (!failedStart && u.badRuns < kBadRunsBeforeRollback)) return false;
    if (u.badRuns < kBadRunsBeforeRollback) {
        u.badRuns = kBadRunsBeforeRollback;
        SaveUpdateState(c);
    }
    return true;
}

// The wall clock less the monotonic one, in ms: it moves only when the
// clock is corrected.
std::int64_t ClockOffset(Ctx& c) {
    return static_cast<std::int64_t>(c.p.SystemTime() / kFileTimePerMs) - static_cast<std::int64_t>(c.p.MonotonicMs());
}

// Windows keeps a process's times as the clock said then: a correction
// between its start and its end makes the run look longer or shorter by
// as much. It is short only when it is so whether or not the correction
// seen since the start fell within it. A run seen over on the monotonic
// clock within 10 s of its start was short whatever the corrections.
bool ShortRun(Ctx& c, std::uint64_t created, std::uint64_t exited) {
    if (c.p.MonotonicMs() - c.s.update.lastRunStartMs < kShortRunFileTime / kFileTimePerMs) return true;
    const std::int64_t wall =
        (static_cast<std::int64_t>(exited) - static_cast<std::int64_t>(created)) / static_cast<std::int64_t>(kFileTimePerMs);
    const std::int64_t corrected = wall - (ClockOffset(c) - c.s.update.lastRunClock);
    return std::max(wall, corrected) < static_cast<std::int64_t>(kShortRunFileTime / kFileTimePerMs);
}

// The run of the fresh build that the monitor started last, judged when
// the next start is due. It counts towards a rollback when it ended as a
// build that will not run does: within 10 s of its start, or with an
// exception code. One that a person closed counts for nothing; one that
// cannot be told counts.
void JudgeLastRun(Ctx& c) {
    UpdateMemory& u = c.s.update;
    const Handle run = u.lastRun;
    u.lastRun = 0;
    if (run == 0) return;
    std::uint32_t code = kStillActive;
    std::uint64_t created = 0, exited = 0;
    const bool known = c.p.ExitCodeOf(run, &code);
    const bool timed = c.p.ProcessTimes(run, created, exited);
    c.p.CloseHandle(run);
    if (!u.watching || (timed && exited == 0)) return;  // over, or still running
    const bool abnormal = known && code >= kFirstAbnormalExit;
    if (timed ? abnormal || ShortRun(c, created, exited) : !known || abnormal) {
        ++u.badRuns;
        SaveUpdateState(c);
    }
}

// A start of the fresh build is kept in sight until the next start. The
// limited right is unknown before Vista; a start that cannot be followed
// at all counts, as every start once did.
void FollowRun(Ctx& c, std::uint32_t taskId) {
    UpdateMemory& u = c.s.update;
    if (!u.watching || taskId == 0) return;
    FreshBuildRuns(c);
    u.lastRunClock = ClockOffset(c);
    u.lastRunStartMs = c.p.MonotonicMs();
    u.lastRun = c.p.OpenProc(kSynchronize | kQueryLimited, false, taskId);
    if (u.lastRun == 0) u.lastRun = c.p.OpenProc(kSynchronize | kQueryInformation, false, taskId);
    if (u.lastRun == 0) ++u.badRuns;
}

std::uint32_t StartManager(Ctx& c) {
    FreshBuildWatched(c);  // ends a watch that is over: a run that ended after it counts for nothing
    JudgeLastRun(c);
    if (MustRollBack(c, false)) RollBack(c);
    std::uint32_t taskId = c.p.StartProgram(AppPath(c, "KORUMGR.exe"));
    if (taskId == 0 && MustRollBack(c, true)) {
        RollBack(c);
        taskId = c.p.StartProgram(AppPath(c, "KORUMGR.exe"));
    }
    FollowRun(c, taskId);
    return taskId;
}

// Starts the manager when it is missing from the process table. A start
// that fails is retried by the next tick, so that stop files and updates
// are still looked at while the manager cannot be started.
std::string LaunchManager(Ctx& c) {
    if (c.s.KORUMGR_RUNNING == kYes) return "ELKORUMGR RUNNING OK!!!   -   :)";
    if (c.p.Attributes(AppPath(c, "KORUMGR.exe")) == PathKind::Missing)
        return "'KORUMGR.exe' NO Esta en el Folder '" + c.p.AppFolder() + "'";
    if (c.s.sUpdateHold == kYes) return "El Arranque del 'KORUMGR.exe' esta on HOLD";
    std::string status;
    if (!RemoveStaleStopRequest(c, status)) return status;
    const std::uint32_t taskId = StartManager(c);
    if (taskId != 0) {
        StatusManagerStarted(c, taskId);
        return "'KORUMGR.exe' Arranco OK - RetVal: " + std::to_string(taskId);
    }
    StatusEvent(c, "manager failed to start", EventWeight::Trouble);
    return "NO Arranco el 'KORUMGR.exe'";
}

}  // namespace

std::string DefaultConnectString() {
    return std::string("ODBC;Driver=SQL Server;SERVER=") + kServerMachineName + ";DATABASE=KORU;UID=KORU;PWD=KPLMX";
}

void CheckProcesses(Ctx& c) {
    TakeCensus(c);
    StatusCensus(c);
    DebugRecords(c, {"ELKORUMGR_RUNNING: " + c.s.KORUMGR_RUNNING, "VESK_RUNNING: " + c.s.VESK_RUNNING});
    DebugRecord(c, "ALLOW: " + ResetConnectStrings(c));
    DebugRecord(c, LaunchManager(c));
}

}  // namespace rz
