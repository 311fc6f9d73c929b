// A manager that runs but no longer takes its messages: its window says
// "Not Responding" and the lanes wait. It is noticed from its windows at
// every tick; where <title>.hng asks for it, it is ended after a minidump
// for its maker, and the next tick starts it again as after any end.
#include <algorithm>
#include <cctype>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/process_list.h"
#include "diag/status_report.h"
#include "monitor/monitor.h"

namespace rz {

namespace {

constexpr std::uint64_t kLeastLimitMs = 60 * 1000;
// A start may hold the window legitimately (a database that wakes up).
constexpr std::uint64_t kStartGraceMs = 120 * 1000;
constexpr std::uint32_t kDumpLimitMs = 5000;
constexpr std::size_t kDumpsKept = 3;
constexpr std::uint64_t kFileTimePerMs = 10000;

std::string Pid(std::uint32_t pid) { return "'KORUMGR.exe' PID " + std::to_string(pid); }

// Every window that counts is hung. Visible windows count; so does a hung
// window that was seen visible before, hidden now behind the ghost that
// the system shows in its place. None counting, nothing is judged.
bool AllHung(Ctx& c, FreezeWatch& f) {
    int counted = 0, hung = 0;
    for (const TopWindow& w : c.p.TopWindows(c.s.managerPids)) {
        if (w.visible) f.seenShown.insert(w.window);
        if (!w.visible && f.seenShown.count(w.window) == 0) continue;
        ++counted;
        hung += w.hung;
    }
    return counted > 0 && hung == counted;
}

// The start grace counts from the first census that saw the manager, on
// the monotonic clock, so that the wall clock put forward later cannot cut
// it short; but never longer than its creation time allows: a manager the
// monitor found running, started by a person or by an earlier run, has had
// its grace. Windows keeps that time as the clock said then, so a clock put
// forward since makes it look older: no older, though, than the time since
// the census before, which did not see it. One whose time cannot be read,
// or lies ahead, has its whole grace.
std::uint64_t GraceEnds(Ctx& c, std::uint32_t pid, std::uint64_t now) {
    std::uint64_t created = 0, age = 0;
    const std::uint64_t wall = c.p.SystemTime();
    if (ProcessCreated(c.p, pid, created) && created <= wall) age = (wall - created) / kFileTimePerMs;
    if (c.s.lastCensusMs != 0) age = std::min(age, now - c.s.lastCensusMs);
    return age >= kStartGraceMs ? now : now + kStartGraceMs - age;
}

// A new manager, or none: what was judged is gone, but not when the last
// termination was, nor what the limit file was last found to hold.
void Forget(Ctx& c, FreezeWatch& f, std::uint32_t pid) {
    FreezeWatch fresh;
    fresh.pid = pid;
    fresh.graceEndsMs = pid == 0 ? 0 : c.s.graceEnds[pid];
    fresh.terminated = f.terminated;
    fresh.terminatedAtMs = f.terminatedAtMs;
    fresh.limitProblem = f.limitProblem;
    f = fresh;
}

// The limit in ms that <title>.hng asks for; 0 when there is no such file.
// A value that will not do means the least limit, recorded once.
std::uint64_t RestartLimitMs(Ctx& c) {
    const std::string path = AppPath(c, c.s.sAppTitle + ".hng");
    const PathKind kind = c.p.Attributes(path);
    if (kind == PathKind::Missing) return 0;
    std::string text, problem;
    if (kind == PathKind::Folder) {
        problem = "is a folder";
    } else if (c.p.ReadSmallFile(path, 32, text) != ReadStatus::Ok) {
        problem = "cannot be read, error " + std::to_string(c.p.LastError());
    } else {
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        std::uint64_t seconds = 0;
        bool digits = !text.empty() && text.size() <= 9;
        for (char ch : text) {
            digits = digits && ch >= '0' && ch <= '9';
            seconds = seconds * 10 + static_cast<unsigned char>(ch - '0');
        }
        const std::uint64_t ms = digits ? seconds * 1000 : 0;
        if (ms >= kLeastLimitMs) {
            c.s.freeze.limitProblem.clear();
            return ms;
        }
        problem = "holds '" + text + "', not a number of seconds of 60 or more";
    }
    if (problem != c.s.freeze.limitProblem) DebugRecord(c, "HANG LIMIT: '" + path + "' " + problem + "; 60 s taken");
    c.s.freeze.limitProblem = problem;
    return kLeastLimitMs;
}

bool IsDumpName(const std::string& name) {
    static const char form[] = "KORUMGR-dddddddd-dddddd.DMP";
    if (name.size() != sizeof form - 1) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char ch = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
        if (form[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(ch)) : ch != form[i]) return false;
    }
    return true;
}

// Their names sort as their times do: the oldest go first.
void KeepNewestDumps(Ctx& c) {
    std::vector<std::string> names = c.p.ListNames(AppPath(c, "KORUMGR-*.dmp"));
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return !IsDumpName(n); }),
                names.end());
    while (names.size() > kDumpsKept) {
        auto oldest = std::min_element(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return a.compare(8, 15, b, 8, 15) < 0;
        });
        c.p.RemoveFile(AppPath(c, *oldest));
        names.erase(oldest);
    }
}

void WriteDump(Ctx& c, std::uint32_t pid) {
    std::string stamp;  // yyyymmdd-hhmmss
    for (char ch : IsoTime(c.p.Now()))
        if (ch != '-' && ch != ':') stamp += ch == 'T' ? '-' : ch;
    const std::string path = AppPath(c, "KORUMGR-" + stamp + ".dmp");
    const std::uint32_t error = c.p.WriteMiniDump(pid, path, kDumpLimitMs);
    if (error != 0) {
        DebugRecord(c, "DUMP FAILED: '" + path + "', error " + std::to_string(error));
        return;
    }
    DebugRecord(c, "DUMP: '" + path + "'");
    KeepNewestDumps(c);
}

bool MayTerminate(Ctx& c, std::uint64_t limitMs, std::uint64_t now) {
    const FreezeWatch& f = c.s.freeze;
    if (limitMs == 0 || now - f.frozenAtMs < limitMs || c.s.sUpdateHold == kYes) return false;
    if (f.terminated && now - f.terminatedAtMs < limitMs) return false;
    return now >= f.graceEndsMs;
}

// The processes judged are the ones ended, by their ids: a name would also
// match a tool named after the manager, and stop at four. One that takes
// its messages again while its dump was written, or whose limit file was
// taken away meanwhile, is left alone.
void TerminateIfDue(Ctx& c) {
    FreezeWatch& f = c.s.freeze;
    const std::uint64_t now = c.p.MonotonicMs();
    const std::uint64_t limitMs = RestartLimitMs(c);
    if (!MayTerminate(c, limitMs, now)) return;
    WriteDump(c, f.pid);
    if (!AllHung(c, f) || RestartLimitMs(c) == 0) return;
    f.terminated = true;
    f.terminatedAtMs = now;
    // The record is of the judged one: another manager that ended proves
    // nothing about it. It goes first, so that the error is its own.
    std::uint32_t error = 0;
    const bool ended = !TerminateProcesses(c, {f.pid}, error).empty();
    std::vector<std::uint32_t> others = c.s.managerPids;
    others.erase(std::remove(others.begin(), others.end(), f.pid), others.end());
    std::uint32_t othersError = 0;
    TerminateProcesses(c, others, othersError);
    const std::string record = Pid(f.pid) + " NOT RESPONDING FOR " +
                               std::to_string((c.p.MonotonicMs() - f.frozenAtMs) / 1000) + " s: ";
    if (ended) {
        DebugRecord(c, record + "terminated");
        StatusEvent(c, "manager terminated, not responding", EventWeight::Trouble);
        return;
    }
    TracedRecord(c, record + "NOT TERMINATED, error " + std::to_string(error));
    StatusEvent(c, "manager not terminated, not responding", EventWeight::Trouble);
}

}  // namespace

void NoteManagersSeen(Ctx& c) {
    const std::uint64_t now = c.p.MonotonicMs();
    std::map<std::uint32_t, std::uint64_t> seen;
    for (std::uint32_t pid : c.s.managerPids) {
        const auto known = c.s.graceEnds.find(pid);
        seen[pid] = known != c.s.graceEnds.end() ? known->second : GraceEnds(c, pid, now);
    }
    c.s.graceEnds.swap(seen);
    for (auto it = c.s.endingManagers.begin(); it != c.s.endingManagers.end();)
        it = c.s.graceEnds.count(*it) ? std::next(it) : c.s.endingManagers.erase(it);
    c.s.lastCensusMs = now;
}

void JudgeManager(Ctx& c) {
    FreezeWatch& f = c.s.freeze;
    if (c.s.managerPid != f.pid) Forget(c, f, c.s.managerPid);
    if (f.pid == 0) return;
    const bool hung = AllHung(c, f);
    if (hung && !f.frozen) {
        f.frozen = true;
        f.frozenAtMs = c.p.MonotonicMs();
        f.frozenSince = IsoTime(c.p.Now());
        DebugRecord(c, Pid(f.pid) + " NOT RESPONDING");
        StatusEvent(c, "manager not responding", EventWeight::Trouble);
    } else if (!hung && f.frozen) {
        f.frozen = false;
        DebugRecord(c, Pid(f.pid) + " RESPONDING AGAIN after " +
                           std::to_string((c.p.MonotonicMs() - f.frozenAtMs) / 1000) + " s");
        StatusEvent(c, "manager responding again");
    }
    if (f.frozen) TerminateIfDue(c);
}

}  // namespace rz
