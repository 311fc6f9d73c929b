// The manager's replacement in the tick: the backup of the build in place,
// the stop of the manager and the move of the checked copy into its name.
#include "update/stop_swap.h"

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/process_list.h"
#include "update/look.h"
#include "update/rules.h"

namespace rz {

// The build about to be replaced is copied to KORUMGR.old while it still
// runs (a running executable can be read), so that a full disk or an old
// backup held open by another program is found out before the manager is
// stopped. An older KORUMGR.old goes first: a rollback must only ever bring
// back the build that the update replaced.
namespace {

// TerminateProcess returns before the process is gone; its executable stays
// locked until then.
constexpr std::uint64_t kTerminationWaitMs = 5000;

std::string PrepareBackup(Ctx& c, const std::string& target, const std::string& backup) {
    std::string why = RemoveIfPresent(c, backup);
    if (!why.empty()) return "the old '" + backup + "' cannot be removed, " + why;
    const PathKind current = c.p.Attributes(target);
    if (current == PathKind::Missing) return "";  // nothing to keep
    if (current != PathKind::File) return "'" + target + "' cannot be looked at, " + ErrorText(c);
    // A read-only KORUMGR.exe would refuse the move, and hand its bit to the copy.
    if (!c.p.ClearAttributes(target)) return "the attributes of '" + target + "' cannot be cleared, " + ErrorText(c);
    if (!c.p.CopyFileTo(target, backup)) return "backup to '" + backup + "' failed, " + ErrorText(c);
    FileStamp a, b;
    if (!c.p.StatFile(target, a) || !c.p.StatFile(backup, b) || a.length != b.length)
        return "the backup '" + backup + "' is not a whole copy";
    return Flush(c, backup);
}

}  // namespace

// Everything else the swap needs, made while the manager still runs: the
// backup, in the tick, which alone may touch KORUMGR.old (a rollback does
// too). The copy's flush, long for a big build, is the worker's.
std::string PrepareSwap(Ctx& c) {
    return PrepareBackup(c, AppPath(c, "KORUMGR.exe"), AppPath(c, "KORUMGR.old"));
}

namespace {

// Waits, pumping, until the terminated processes have really ended: before
// that the census can still see them and their executable cannot be
// replaced.
void AwaitTermination(Ctx& c, const std::vector<std::uint32_t>& pids) {
    const std::uint64_t deadline = c.p.MonotonicMs() + kTerminationWaitMs;
    for (std::uint32_t pid : pids) {
        const Handle h = c.p.OpenProc(kSynchronize, false, pid);
        if (h == 0) continue;  // gone already
        c.p.PumpUntilEnded(h, deadline);
        c.p.CloseHandle(h);
    }
}

}  // namespace

// Stops the manager: by termination, and when it survives that, by a stop
// request it has 35 seconds to obey. "" when it is gone.
std::string StopManager(Ctx& c, const ManagerControl& manager) {
    AwaitTermination(c, manager.terminate(c));
    manager.census(c);
    if (c.s.besidePids.empty()) return "";
    const std::string request = AppPath(c, "KORUMGR.stp");
    // A hidden or system leftover would refuse to be written over.
    std::string why = RemoveIfPresent(c, request);
    if (why.empty() && !c.p.WriteText(request, DateLiteral(c.p.Now()) + "\r\n")) why = ErrorText(c);
    if (!why.empty()) return "the stop request '" + request + "' cannot be written, " + why;
    WaitPumping(c, kStopWaitMs);
    manager.census(c);
    if (c.s.besidePids.empty()) return "";
    return "'KORUMGR.exe' survived its termination and " + std::to_string(kStopWaitMs / 1000) +
           " s of stop request";
}

// KORUMGR.exe changes in this one move only: whenever the monitor is
// stopped, it is the whole old or the whole new build.
std::string Swap(Ctx& c, const std::string& temp) {
    const std::string target = AppPath(c, "KORUMGR.exe");
    if (!c.p.MoveReplace(temp, target)) return "move to '" + target + "' failed, " + ErrorText(c);
    return "";
}

}  // namespace rz
