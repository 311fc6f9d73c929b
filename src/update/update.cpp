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

constexpr std::uint64_t kFirstBackOffMs = 60 * 1000;
constexpr std::uint64_t kLongestBackOffMs = 60 * 60 * 1000;
constexpr std::size_t kChunkBytes = 256 * 1024;

// What the update does also reaches OutputDebugString, so that it leaves a
// trace when logging is off.
void UpdateRecord(Ctx& c, const std::string& message) {
    DebugRecord(c, message);
    c.p.DebugOutput("ROREROZARIRADI: " + message);
}

std::string ErrorText(Ctx& c) { return "error " + std::to_string(c.p.LastError()); }

// Hidden and read-only files count too: a leftover of either kind would
// block the next copy or move. False when something is still there.
bool RemoveIfPresent(Ctx& c, const std::string& path) {
    if (!c.p.ClearAttributes(path)) return true;
    return c.p.RemoveFile(path);
}

// The next census starts the manager again from the intact KORUMGR.exe, and
// no stop request of this attempt is left for it to obey.
void ReleaseHold(Ctx& c) {
    if (c.s.sUpdateHold != kYes) return;
    c.s.sUpdateHold.clear();
    RemoveIfPresent(c, AppPath(c, "KORUMGR.stp"));
}

// An attempt that replaced nothing: the same update waits a back-off that
// doubles with every failure in a row, so a lasting fault stops the manager
// only now and then.
void FailAttempt(Ctx& c, const UpdateKey& key, const std::string& message) {
    UpdateMemory& u = c.s.update;
    u.failures = u.failed == key ? u.failures + 1 : 1;
    u.failed = key;
    std::uint64_t wait = kFirstBackOffMs;
    for (int i = 1; i < u.failures && wait < kLongestBackOffMs; ++i) wait *= 2;
    if (wait > kLongestBackOffMs) wait = kLongestBackOffMs;
    u.retryAtMs = c.p.MonotonicMs() + wait;
    UpdateRecord(c, message + "; next attempt in " + std::to_string(wait / 1000) + " s");
    ReleaseHold(c);
}

// Updates that this tick leaves alone without a word.
bool LeftAlone(Ctx& c, const UpdateKey& key) {
    const UpdateMemory& u = c.s.update;
    if (key == u.inPlace || key == u.rolledBack) return true;
    return key == u.failed && c.p.MonotonicMs() < u.retryAtMs;
}

// An update still being written to the share, or cut short, must never
// cost the centre its running manager. "" when it is ready.
std::string NotReady(Ctx& c, const UpdateKey& key) {
    std::string head;
    std::uint64_t length = 0;
    if (!c.p.ReadHeadDenyWrite(key.path, kHeadBytes, head, length)) return "in use or unreadable, " + ErrorText(c);
    if (length != key.stamp.length) return "still changing";
    if (!IsCompleteExecutable(head, length)) return "not a complete Win32 executable";
    return "";
}

bool SameBytes(Ctx& c, const std::string& a, const std::string& b) {
    std::string x, y;
    for (std::uint64_t at = 0;; at += kChunkBytes) {
        if (!c.p.ReadChunk(a, at, kChunkBytes, x) || !c.p.ReadChunk(b, at, kChunkBytes, y) || x != y) return false;
        if (x.size() < kChunkBytes) return true;
    }
}

// An update file that could not be deleted after its replacement (a share
// that only lets us read) would otherwise stop the manager at every tick.
// Only a file of the same length is read, once per update and run.
bool AlreadyInPlace(Ctx& c, const UpdateKey& key) {
    const std::string target = AppPath(c, "KORUMGR.exe");
    FileStamp current;
    return c.p.StatFile(target, current) && current.length == key.stamp.length && SameBytes(c, key.path, target);
}

// Copies the update beside the manager while the manager still runs, and
// checks that the copy is the very update the readiness check saw.
// "" when it is, else what went wrong.
std::string PrepareCopy(Ctx& c, const UpdateKey& key, const std::string& temp) {
    if (!RemoveIfPresent(c, temp)) return "the leftover '" + temp + "' cannot be removed, " + ErrorText(c);
    if (!c.p.CopyFileTo(key.path, temp)) return "copy to '" + temp + "' failed, " + ErrorText(c);
    if (!c.p.ClearAttributes(temp)) return "the attributes of '" + temp + "' cannot be cleared, " + ErrorText(c);
    std::string head;
    std::uint64_t length = 0;
    if (!c.p.ReadHeadDenyWrite(temp, kHeadBytes, head, length) || length != key.stamp.length ||
        !IsCompleteExecutable(head, length))
        return "the copy '" + temp + "' is not the update that was checked";
    UpdateKey now{key.path, {}};
    if (!c.p.StatFile(key.path, now.stamp) || !(now == key)) return "'" + key.path + "' changed while it was copied";
    return "";
}

enum class Stop { Gone, StillRunning, Failed };

// Stops the manager: by termination, and when it survives that, by a stop
// request it has 35 seconds to obey.
Stop StopManager(Ctx& c, std::string& failed) {
    Kill_Process(c, "KORUMGR.exe");
    CheckProcesses(c);
    if (c.s.KORUMGR_RUNNING != kYes) return Stop::Gone;
    const std::string request = AppPath(c, "KORUMGR.stp");
    if (!c.p.WriteText(request, DateLiteral(c.p.Now()) + "\r\n")) {
        failed = "the stop request '" + request + "' cannot be written, " + ErrorText(c);
        return Stop::Failed;
    }
    WaitPumping(c, kStopWaitMs);
    CheckProcesses(c);
    return c.s.KORUMGR_RUNNING == kYes ? Stop::StillRunning : Stop::Gone;
}

// The old executable is kept as a copy, KORUMGR.old, and the new one takes
// its place in one move. KORUMGR.exe itself changes in that one step only:
// whenever the monitor is stopped, it is the whole old or the whole new build.
std::string Swap(Ctx& c, const std::string& temp) {
    const std::string target = AppPath(c, "KORUMGR.exe");
    const std::string backup = AppPath(c, "KORUMGR.old");
    // An older KORUMGR.old is not the build about to be replaced: a rollback
    // must not bring it back.
    if (!RemoveIfPresent(c, backup)) return "the old '" + backup + "' cannot be removed, " + ErrorText(c);
    if (c.p.ClearAttributes(target) && !c.p.CopyFileTo(target, backup))
        return "backup to '" + backup + "' failed, " + ErrorText(c);
    if (!c.p.MoveReplace(temp, target)) return "move to '" + target + "' failed, " + ErrorText(c);
    return "";
}

// Removing the update file is what marks the update done; the new build is
// watched for a while, in case it will not run.
void Finish(Ctx& c, const UpdateKey& key) {
    UpdateMemory& u = c.s.update;
    u.failures = 0;
    u.failed = UpdateKey{};
    u.watching = true;
    u.replaced = key;
    u.replacedAtMs = c.p.MonotonicMs();
    u.starts = 0;
    StatusUpdate(c, "applied", key.path);
    const std::string version = c.p.FileVersion(AppPath(c, "KORUMGR.exe"));
    UpdateRecord(c, "UPDATE DONE: '" + key.path + "', " + std::to_string(key.stamp.length) + " bytes, version " +
                        (version.empty() ? "unknown" : version) + ", is the new 'KORUMGR.exe'");
    // A file that changed since it was copied is a newer update: it stays.
    UpdateKey now{key.path, {}};
    if (c.p.StatFile(key.path, now.stamp) && now == key && !c.p.RemoveFile(key.path)) {
        u.inPlace = key;
        UpdateRecord(c, "UPDATE FAILED: '" + key.path + "' cannot be deleted, " + ErrorText(c));
    }
    RemoveIfPresent(c, AppPath(c, "KORUMGR.stp"));
    c.s.sUpdateHold.clear();
}

void ApplyUpdate(Ctx& c, const UpdateKey& key) {
    if (AlreadyInPlace(c, key)) {
        c.s.update.inPlace = key;
        DebugRecord(c, "UPDATE ALREADY IN PLACE: '" + key.path + "'");
        c.p.RemoveFile(key.path);
        ReleaseHold(c);
        return;
    }
    const std::string temp = AppPath(c, "KORUMGR.new");
    std::string failed = PrepareCopy(c, key, temp);
    if (failed.empty()) {
        c.s.sUpdateHold = kYes;
        const Stop stop = StopManager(c, failed);
        if (stop == Stop::StillRunning) {
            RemoveIfPresent(c, temp);
            return;  // the hold stays; the next tick tries again
        }
        if (stop == Stop::Gone) failed = Swap(c, temp);
    }
    if (failed.empty()) return Finish(c, key);
    RemoveIfPresent(c, temp);
    StatusUpdate(c, "failed", key.path);
    FailAttempt(c, key, "UPDATE FAILED: " + failed + "; the old 'KORUMGR.exe' stays");
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
    UpdateKey key{folder + "KORUMGR" + c.s.THISMACHINENAME + ".exe", {}};
    const ListResult found = c.p.ListFirst(key.path);
    if (found.error) return ReleaseHold(c);  // the share is out of reach: next tick
    if (found.first.empty()) {
        DebugRecord(c, "NO Esta el Archivo '" + key.path + "'");
        return ReleaseHold(c);
    }
    const bool isFile = c.p.StatFile(key.path, key.stamp);
    const std::string error = ErrorText(c);
    if (LeftAlone(c, key)) return ReleaseHold(c);
    std::string why = isFile ? NotReady(c, key) : "not a file, " + error;
    if (!why.empty()) return FailAttempt(c, key, "UPDATE NOT READY: '" + key.path + "' (" + why + ")");
    ApplyUpdate(c, key);
}

}  // namespace rz
