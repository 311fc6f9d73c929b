#include "update/update_state.h"

#include <algorithm>
#include <cstdlib>

#include "core/app.h"
#include "diag/debug_log.h"
#include "update/rules.h"

namespace rz {

const char* const kAnyContent = "0000000000000000000000000000000000000000000000000000000000000000";

namespace {

constexpr std::uint64_t kRollbackWatchMs = 2 * 60 * 1000;
constexpr std::size_t kStateLimit = 16 * 1024;  // two paths, a few digests and numbers
enum Line { kFormat, kFailed, kFailedContent, kFailures, kRetryAt, kInPlace, kRolledBack, kNewestVersion,
            kNewestContent, kWatchPath, kWatchContent, kWatchSince, kBadRuns,
            kMonitorFailedContent, kMonitorFailures, kMonitorRetryAt, kMonitorRolledBack, kMonitorStep,
            kMonitorContent, kMonitorVersion, kMonitorFrom, kMonitorTo, kMonitorFloor, kEnd, kLines };
const char* const kKeys[kLines] = {"update_state",   "failed",     "failed_content", "failures",      "retry_at",
                                   "in_place",       "rolled_back", "newest_version", "newest_content",
                                   "watch_path",     "watch_content", "watch_since",  "bad_runs",
                                   "monitor_failed_content", "monitor_failures", "monitor_retry_at",
                                   "monitor_rolled_back", "monitor_step", "monitor_content", "monitor_version",
                                   "monitor_from", "monitor_to", "monitor_floor", "end"};
// Format 2, of the monitors before their own update, has no monitor lines,
// and format 3 neither the new monitor's pid nor the floor: a new build
// reads what the build it replaced wrote.
bool InFormat(int line, const std::string& format) {
    if (line == kEnd || line < kMonitorFailedContent) return true;
    if (format == "2") return false;
    return format != "3" || line < kMonitorTo;
}
constexpr std::size_t kMostRolledBack = 8;

std::string StatePath(Ctx& c) { return AppPath(c, c.s.sAppTitle + ".upd"); }

bool ParseNumber(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    char* end = nullptr;
    out = std::strtoull(text.c_str(), &end, 10);
    return *end == '\0';
}

// A SHA-256 in hex, or "" for none.
bool IsContent(const std::string& text) {
    return text.empty() || (text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos);
}

bool IsContentList(const std::string& text) {
    for (std::size_t at = 0; at < text.size(); at += 65)
        if (!IsContent(text.substr(at, 64)) || (at + 64 < text.size() && text[at + 64] != ' ')) return false;
    return true;
}

bool IsVersion(const std::string& text) {
    return text.size() <= 23 && text.find_first_not_of("0123456789.") == std::string::npos;
}

// The lines in their fixed order, each key once: anything else is a file
// that was cut short or written by something else.
bool SplitState(const std::string& text, std::string (&values)[kLines], std::string& why) {
    std::size_t start = 0;
    const std::string head = std::string(kKeys[kFormat]) + "=";
    const std::string first = text.substr(0, text.find("\r\n"));
    const std::string format = first.compare(0, head.size(), head) == 0 ? first.substr(head.size()) : "";
    for (int i = 0; i < kLines; ++i) {
        if (!InFormat(i, format)) continue;
        const char* key = kKeys[i];
        const std::size_t end = text.find("\r\n", start);
        const std::string line = end == std::string::npos ? std::string() : text.substr(start, end - start);
        const std::string head = std::string(key) + "=";
        if (line.compare(0, head.size(), head) != 0) {
            why = std::string("no '") + key + "' line where it belongs";
            return false;
        }
        values[i] = line.substr(head.size());
        start = end + 2;
    }
    if (start != text.size()) {
        why = "text after its end";
        return false;
    }
    return true;
}

// A file that is there but cannot be read (held by a scanner, refused,
// a folder of that name) may hold a watch or the newest version: it is
// read again at every tick, with one record per error.
void NotReadYet(Ctx& c, const std::string& path) {
    const std::uint32_t error = c.p.LastError();
    if (c.s.update.unreadError != error)
        DebugRecord(c, "UPDATE STATE NOT READ YET: '" + path + "', error " + std::to_string(error) +
                           "; no update is attempted until it has been read");
    c.s.update.unreadError = error;
}

// The second copy of a damaged state file gives back every fact that can
// let a build in: the newest version, so that a signed build older than
// one installed stays out; the builds rolled back, the manager's and the
// monitor's, with the monitor's floor; the build whose file stays in
// place; the watch over a fresh build, so that one that will not run still
// goes back. With both copies damaged the report says so, and only the
// rules that need no memory hold: a signed build must be newer than the
// build in place, a monitor newer than the running one.
void Recover(Ctx& c, const std::string& path) {
    std::string text, why;
    UpdateMemory& u = c.s.update;
    UpdateMemory copy = u;  // what this run knows beyond the file stays
    const ReadStatus status = c.p.ReadSmallFile(path + ".bak", kStateLimit, text);
    if (status != ReadStatus::Ok || !ParseUpdateState(text, copy, why)) {
        std::string& reason = c.s.status.lastUpdateReason;
        reason = "UPDATE STATE LOST: '" + path + "' and its copy are both damaged; builds rolled back may go in again";
        c.s.status.pending = true;
        return TracedRecord(c, reason);
    }
    // The copy is one save older at most: all of it is taken, the back-off
    // and a handover's step too.
    u = copy;
    u.watchFromMs = c.p.MonotonicMs();
    u.watchRan = false;
    DebugRecord(c, "UPDATE STATE RECOVERED: newest version '" + copy.newestVersion + "' from '" + path + ".bak'");
}

// A temporary file, flushed, then one move: after a power cut the file is
// the old one or the new one, never half of either.
// The error, 0 when it is in place.
std::uint32_t WriteWhole(Ctx& c, const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    // A read-only file (set by a person, a copy from a CD) refuses the move.
    const bool writable = c.p.Attributes(path) != PathKind::File || c.p.ClearAttributes(path);
    if (writable && c.p.WriteText(temp, text) && c.p.FlushFile(temp) && c.p.MoveReplace(temp, path)) return 0;
    const std::uint32_t error = c.p.LastError();
    RemoveIfPresent(c, temp);
    return error == 0 ? 1 : error;
}

bool KnownStep(const std::string& step) {
    for (const char* known : {"", "moving", "started", "guarding", "restoring"})
        if (step == known) return true;
    return false;
}

// The monitor's lines; those of format 2, all empty, say nothing happened.
bool ParseMonitor(std::string (&v)[kLines], MonitorMemory& m) {
    if (v[kFormat] == "2") return true;
    std::uint64_t failures = 0, from = 0, to = 0;
    m.failedContent = v[kMonitorFailedContent];
    m.rolledBack = v[kMonitorRolledBack];
    m.step = v[kMonitorStep];
    m.content = v[kMonitorContent];
    m.version = v[kMonitorVersion];
    m.floor = v[kMonitorFloor];
    if (v[kFormat] == "3") v[kMonitorTo] = "0";
    if (!ParseNumber(v[kMonitorTo], to) || to > 0xFFFFFFFFull || !IsVersion(m.floor) ||
        !ParseNumber(v[kMonitorFailures], failures) || !ParseNumber(v[kMonitorRetryAt], m.retryAt) ||
        !ParseNumber(v[kMonitorFrom], from) || from > 0xFFFFFFFFull || !IsContent(m.failedContent) ||
        !IsContent(m.content) || !IsVersion(m.version) || !IsContentList(m.rolledBack) ||
        !KnownStep(m.step))
        return false;
    m.to = static_cast<std::uint32_t>(to);
    m.failures = static_cast<int>(std::min<std::uint64_t>(failures, kMostFailures));
    m.from = static_cast<std::uint32_t>(from);
    return true;
}

}  // namespace

void RememberRolledBack(MonitorMemory& m, const std::string& content, const std::string& version) {
    if (VersionNewer(version, m.floor)) m.floor = version;
    if (m.rolledBack.find(content) != std::string::npos) return;
    if (!m.rolledBack.empty()) m.rolledBack += ' ';
    m.rolledBack += content;
    while (m.rolledBack.size() > kMostRolledBack * 65) m.rolledBack.erase(0, 65);
}

std::string UpdateStateText(const UpdateMemory& u) {
    const bool w = u.watching;
    const MonitorMemory& m = u.monitor;
    const std::string values[kLines] = {"4",
                                        u.failedPath,
                                        u.failedContent,
                                        std::to_string(std::min(u.failures, kMostFailures)),
                                        std::to_string(u.retryAt),
                                        u.inPlace,
                                        u.rolledBack,
                                        u.newestVersion,
                                        u.newestContent,
                                        w ? u.replacedPath : "",
                                        w ? u.replacedContent : "",
                                        std::to_string(w ? u.replacedAt : 0),
                                        std::to_string(w ? u.badRuns : 0),
                                        m.failedContent,
                                        std::to_string(std::min(m.failures, kMostFailures)),
                                        std::to_string(m.retryAt),
                                        m.rolledBack,
                                        m.step,
                                        m.content,
                                        m.version,
                                        std::to_string(m.from),
                                        std::to_string(m.to),
                                        m.floor,
                                        "1"};
    std::string text;
    for (int i = 0; i < kLines; ++i) text += std::string(kKeys[i]) + "=" + values[i] + "\r\n";
    return text;
}

bool ParseUpdateState(const std::string& text, UpdateMemory& u, std::string& why) {
    std::string v[kLines];
    if (!SplitState(text, v, why)) return false;
    if ((v[kFormat] != "2" && v[kFormat] != "3" && v[kFormat] != "4") || v[kEnd] != "1") {
        why = "unknown format";
        return false;
    }
    UpdateMemory read = u;
    std::uint64_t failures = 0, badRuns = 0;
    read.failedPath = v[kFailed];
    read.failedContent = v[kFailedContent];
    read.inPlace = v[kInPlace];
    read.rolledBack = v[kRolledBack];
    read.newestVersion = v[kNewestVersion];
    read.newestContent = v[kNewestContent];
    read.replacedPath = v[kWatchPath];
    read.replacedContent = v[kWatchContent];
    read.watching = !read.replacedPath.empty();
    bool ok = ParseNumber(v[kFailures], failures) && ParseNumber(v[kRetryAt], read.retryAt) &&
              ParseNumber(v[kWatchSince], read.replacedAt) && ParseNumber(v[kBadRuns], badRuns) &&
              IsVersion(read.newestVersion);
    for (int line : {kFailedContent, kInPlace, kRolledBack, kNewestContent, kWatchContent}) ok = ok && IsContent(v[line]);
    ok = ok && ParseMonitor(v, read.monitor);
    if (!ok) {
        why = "a value out of form";
        return false;
    }
    read.failures = static_cast<int>(std::min<std::uint64_t>(failures, kMostFailures));
    read.badRuns = static_cast<int>(std::min<std::uint64_t>(badRuns, kMostFailures));
    u = read;
    return true;
}

void LoadUpdateState(Ctx& c) {
    UpdateMemory& u = c.s.update;
    if (u.loaded) return;
    const std::string path = StatePath(c);
    std::string text, why;
    const ReadStatus status = c.p.ReadSmallFile(path, kStateLimit, text);
    if (status == ReadStatus::Error) return NotReadYet(c, path);
    u.loaded = true;
    switch (status) {
    case ReadStatus::Ok:
        if (!ParseUpdateState(text, u, why)) break;
        // A watch that a restart (a power cut, say) broke off gives the
        // build its time again from its next run: the outage is no run of it.
        u.watchFromMs = c.p.MonotonicMs();
        u.watchRan = false;
        return;
    case ReadStatus::Missing:
        DebugRecord(c, "UPDATE STATE NOT READ: '" + path + "' (none yet); nothing remembered from earlier runs");
        return;
    case ReadStatus::TooLarge:
    case ReadStatus::Error:
        why = "larger than " + std::to_string(kStateLimit) + " bytes";
        break;
    }
    DebugRecord(c, "UPDATE STATE NOT READ: '" + path + "' (" + why + "); nothing remembered from earlier runs");
    Recover(c, path);
}

// The second copy goes the same way, after the first: one of them is whole
// whenever the power goes.
bool SaveUpdateState(Ctx& c) {
    UpdateMemory& u = c.s.update;
    if (!u.loaded) return false;  // what it holds is not known yet: it must not be lost
    const std::string path = StatePath(c), text = UpdateStateText(u);
    std::uint32_t error = WriteWhole(c, path, text);
    if (error == 0) error = WriteWhole(c, path + ".bak", text);
    u.unsaved = error != 0;
    if (error != 0 && error != u.unsavedError)
        TracedRecord(c, "UPDATE STATE NOT SAVED: '" + path + "', error " + std::to_string(error));
    u.unsavedError = error;
    return error == 0;
}

bool SavedFirst(Ctx& c, const std::string& action) {
    if (SaveUpdateState(c)) return true;
    UpdateMemory& u = c.s.update;
    const std::string record = "UPDATE WAITING: " + action + " waits: the state cannot be saved, error " +
                               std::to_string(u.loaded ? u.unsavedError : u.unreadError);
    if (record != u.waitingTold) TracedRecord(c, record);
    u.waitingTold = record;
    return false;
}

namespace {

// The watch over a fresh build is kept in the state file, so that it
// outlives a restart of the monitor, and counts on the monotonic clock: the
// wall clock put forward or back cannot end it early. A rollback once due
// stays due: it is kept as the count of bad runs.
void EndWatchWhenOver(Ctx& c) {
    LoadUpdateState(c);
    UpdateMemory& u = c.s.update;
    if (!u.watching || !u.watchRan || u.badRuns >= kBadRunsBeforeRollback ||
        c.p.MonotonicMs() - u.watchFromMs <= kRollbackWatchMs)
        return;
    u.watching = false;
    SaveUpdateState(c);
}

}  // namespace

// The 2 minutes count from the build's first run: while a manager of
// another folder runs, which the census counts as the manager, the build in
// place is not started, and its watch must not end unseen.
void FreshBuildRuns(Ctx& c) {
    UpdateMemory& u = c.s.update;
    if (!u.watching || u.watchRan) return;
    u.watchRan = true;
    u.watchFromMs = c.p.MonotonicMs();
}

bool FreshBuildWatched(Ctx& c) {
    EndWatchWhenOver(c);
    return c.s.update.loaded && c.s.update.watching;
}

}  // namespace rz
