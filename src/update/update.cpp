#include "update/update.h"

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/status_report.h"
#include "monitor/monitor.h"

namespace rz {

namespace {

std::uint32_t Le(const std::string& s, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

// An update still being written to the share, or cut short, must never
// cost the centre its running manager.
// Gives the update's length when it is ready.
bool UpdateIsReady(Ctx& c, const std::string& updatePath, std::uint64_t& length) {
    std::string head;
    std::string why;
    if (!c.p.ReadHeadDenyWrite(updatePath, kHeadBytes, head, length))
        why = "in use or unreadable, error " + std::to_string(c.p.LastError());
    else if (!IsCompleteExecutable(head, length))
        why = "not a complete Win32 executable";
    if (why.empty()) return true;
    DebugRecord(c, "UPDATE NOT READY: '" + updatePath + "' (" + why + ")");
    return false;
}

// Stops the manager: by termination, and when it survives that, by a stop
// request it has 35 seconds to obey. Returns whether it is gone.
bool StopManager(Ctx& c) {
    Kill_Process(c, "KORUMGR.exe");
    CheckProcesses(c);
    if (c.s.KORUMGR_RUNNING != kYes) return true;
    const std::string request = AppPath(c, "KORUMGR.stp");
    if (!c.p.WriteText(request, DateLiteral(c.p.Now()) + "\r\n"))
        throw Failure("the stop request '" + request + "' cannot be written");
    WaitPumping(c, kStopWaitMs);
    CheckProcesses(c);
    return c.s.KORUMGR_RUNNING != kYes;
}

void RemoveIfPresent(Ctx& c, const std::string& path) {
    if (FileExists(c, path)) c.p.RemoveFile(path);
}

// Removing the update file is what marks the update done, and the stop
// request goes with it whichever way the manager was stopped.
void FinishUpdate(Ctx& c, const std::string& updatePath) {
    StatusUpdate(c, "applied", updatePath);
    if (!c.p.RemoveFile(updatePath))
        DebugRecord(c, "UPDATE FAILED: '" + updatePath + "' cannot be deleted, error " +
                           std::to_string(c.p.LastError()));
    RemoveIfPresent(c, AppPath(c, "KORUMGR.stp"));
    c.s.sUpdateHold.clear();
}

// An update file that could not be deleted after its replacement (a share
// that only lets us read) would otherwise stop the manager at every tick.
bool AlreadyInPlace(Ctx& c, const std::string& updatePath, std::uint64_t updateLength) {
    const std::string target = AppPath(c, "KORUMGR.exe");
    std::string update, current;
    std::uint64_t currentLength = 0;
    // Lengths first: only a file of the same length is read whole.
    if (updateLength > kCompareLimit || !c.p.ReadHeadDenyWrite(target, 0, current, currentLength) ||
        currentLength != updateLength)
        return false;
    return c.p.ReadHeadDenyWrite(updatePath, kCompareLimit, update, updateLength) &&
           c.p.ReadHeadDenyWrite(target, kCompareLimit, current, currentLength) && update == current;
}

// The old executable is replaced in one move, only once the new one lies
// complete beside it, so the folder never holds a half-copied manager.
void ReplaceManager(Ctx& c, const std::string& updatePath) {
    const std::string target = AppPath(c, "KORUMGR.exe");
    const std::string temp = AppPath(c, "KORUMGR.new");
    RemoveIfPresent(c, temp);  // left by an attempt that never finished
    std::string failed;
    if (!c.p.CopyFileTo(updatePath, temp))
        failed = "copy to '" + temp + "'";
    else if (!c.p.MoveReplace(temp, target))
        failed = "move to '" + target + "'";
    if (!failed.empty()) {
        const std::uint32_t error = c.p.LastError();
        c.p.RemoveFile(temp);
        StatusUpdate(c, "failed", updatePath);
        DebugRecord(c, "UPDATE FAILED: " + failed + " failed, error " + std::to_string(error) +
                           "; the old 'KORUMGR.exe' stays");
        return;
    }
    FinishUpdate(c, updatePath);
}

}  // namespace

std::string UpdateFolder(const Ctx& c) {
    if (c.s.sMainShareOK == kYes) return "\\\\" + c.s.sMainMachine + "\\G\\OSTRUM\\_Program\\_Updates\\";
    const std::string prefix = RolePrefix(c.s.THISMACHINENAME);
    if (prefix == "PCWS") return std::string("\\\\") + kServerMachineName + "\\G\\_Updates\\";
    if (prefix == "SERV") return "G:\\_Updates\\";
    return "";
}

bool IsCompleteExecutable(const std::string& head, std::uint64_t length) {
    if (head.size() < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
    const std::uint64_t pe = Le(head, 0x3C, 4);
    if (pe + 24 > head.size() || head.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return false;
    const std::uint32_t sections = Le(head, pe + 6, 2);
    const std::uint64_t table = pe + 24 + Le(head, pe + 20, 2);
    const std::uint64_t tableEnd = table + 40ull * sections;
    if (sections == 0 || tableEnd > head.size()) return false;
    std::uint64_t needed = tableEnd;
    for (std::uint32_t i = 0; i < sections; ++i) {
        const std::uint64_t entry = table + 40ull * i;
        const std::uint64_t end = std::uint64_t(Le(head, entry + 20, 4)) + Le(head, entry + 16, 4);
        if (end > needed) needed = end;
    }
    return length >= needed;
}

void UpdateKORUMGR(Ctx& c) {
    const std::string folder = UpdateFolder(c);
    if (folder.empty()) return;
    const std::string updatePath = folder + "KORUMGR" + c.s.THISMACHINENAME + ".exe";
    const ListResult found = c.p.ListFirst(updatePath);
    if (found.error) return;  // the share is out of reach: next tick
    if (found.first.empty()) {
        DebugRecord(c, "NO Esta el Archivo '" + updatePath + "'");
        // With no update left to apply, a hold would keep the manager down
        // until somebody restarted the monitor.
        c.s.sUpdateHold.clear();
        return;
    }
    std::uint64_t updateLength = 0;
    if (!UpdateIsReady(c, updatePath, updateLength)) return;
    if (AlreadyInPlace(c, updatePath, updateLength)) {
        DebugRecord(c, "UPDATE ALREADY IN PLACE: '" + updatePath + "'");
        FinishUpdate(c, updatePath);
        return;
    }
    c.s.sUpdateHold = kYes;
    if (!StopManager(c)) return;  // the hold stays; the next tick tries again
    ReplaceManager(c, updatePath);
}

}  // namespace rz
