#include "update/rules.h"

#include <algorithm>

#include "core/app.h"

namespace rz {

namespace {

constexpr std::uint64_t kFirstBackOffMs = 60 * 1000;
constexpr std::uint64_t kLongestBackOffMs = 15 * 60 * 1000;
constexpr std::uint64_t kFileTimePerMs = 10000;

std::uint32_t Le(const std::string& s, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

std::uint64_t WaitMs(int failures) {
    std::uint64_t wait = kFirstBackOffMs;
    for (int i = 1; i < failures && wait < kLongestBackOffMs; ++i) wait *= 2;
    return std::min(wait, kLongestBackOffMs);
}

// "a.b.c.d" as four numbers; false for anything else.
bool ParseVersion(const std::string& text, std::uint32_t (&parts)[4]) {
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t end = i < 3 ? text.find('.', at) : text.size();
        const std::string part = end == std::string::npos ? std::string() : text.substr(at, end - at);
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos) return false;
        parts[i] = 0;
        for (char digit : part) parts[i] = parts[i] * 10 + static_cast<std::uint32_t>(digit - '0');
        at = end + 1;
    }
    return true;
}

}  // namespace

std::string UpdateFolder(const Ctx& c) {
    if (c.s.sMainShareOK == kYes) return "\\\\" + c.s.sMainMachine + "\\G\\OSTRUM\\_Program\\_Updates\\";
    const std::string prefix = RolePrefix(c.s.THISMACHINENAME);
    if (prefix == "PCWS") return std::string("\\\\") + kServerMachineName + "\\G\\_Updates\\";
    if (prefix == "SERV") return "G:\\_Updates\\";
    return "";
}

bool IsWindowsGuiProgram(const std::string& head) {
    if (head.size() < 0x40) return false;
    const std::uint64_t pe = Le(head, 0x3C, 4);
    const std::uint64_t optional = pe + 24;
    return optional + 70 <= head.size() && Le(head, pe + 4, 2) == 0x014C && Le(head, optional, 2) == 0x010B &&
           Le(head, optional + 68, 2) == 2;
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

bool VersionNewer(const std::string& version, const std::string& than) {
    std::uint32_t a[4], b[4];
    if (!ParseVersion(version, a)) return false;
    if (!ParseVersion(than, b)) return true;  // nothing known to be newer
    return std::lexicographical_compare(b, b + 4, a, a + 4);
}

std::uint64_t BackOffWait(Ctx& c, int failures, std::uint64_t& retryAt, RunBackOff& run) {
    const std::uint64_t wait = WaitMs(failures);
    retryAt = c.p.SystemTime() + wait * kFileTimePerMs;
    run = {retryAt, c.p.MonotonicMs() + wait};
    return wait / 1000;
}

// A time synchronisation must neither cut a back-off short (a writer of
// junk copied at every step) nor stretch it past its own length.
bool BackingOffUntil(Ctx& c, std::uint64_t retryAt, const RunBackOff& run, int failures) {
    if (run.untilMs != 0 && run.retryAt == retryAt) return c.p.MonotonicMs() < run.untilMs;
    const std::uint64_t now = c.p.SystemTime();
    return now < retryAt && retryAt - now <= WaitMs(failures) * kFileTimePerMs;
}

// Updates that this tick leaves alone without a word: nothing new since a
// tick of this run left it alone, or since it was found fit to wait for the
// watch over the build before it, or its path is backing off.
bool OwnBuildGuarded(const Ctx& c) { return c.p.MonotonicMs() < c.s.handover.guardedUntilMs; }

bool LeftAlone(Ctx& c, const UpdateKey& key) {
    const UpdateMemory& u = c.s.update;
    if (key == u.unchanged || ((u.watching || OwnBuildGuarded(c)) && key == u.waitsForWatch)) return true;
    return key.path == u.failedPath && BackingOffUntil(c, u.retryAt, u.retryRun, u.failures);
}

bool MonitorLeftAlone(Ctx& c, const UpdateKey& key) {
    const MonitorMemory& m = c.s.update.monitor;
    const bool watched = c.s.update.watching || c.p.MonotonicMs() < c.s.handover.guardedUntilMs;
    // While a handover's step is under way, its build is not looked at:
    // the monitor's name may hold a build being rolled back.
    if (!m.step.empty() || c.s.handover.restoring || c.s.handover.unsaved) return true;
    return key == m.unchanged || (watched && key == m.waits) ||
           (m.failures > 0 && BackingOffUntil(c, m.retryAt, m.retryRun, m.failures));
}

// With signing on, a signed build goes in only when it is newer than the
// installed one and than every build this PC ever installed from the share:
// an old signed build stays signed for ever. The version sits inside the
// signed bytes.
std::string ManagerVersionRefusal(Ctx& c, bool signing, const std::string& version, const std::string& content) {
    if (!signing) return "";
    if (version.empty()) return "the build has no file version; with signing on only a newer version goes in";
    const std::string installed = c.p.FileVersion(AppPath(c, "KORUMGR.exe"));
    if (!VersionNewer(version, installed))
        return "version " + version + " is not newer than " + installed + ", the installed 'KORUMGR.exe'";
    // The build whose swap was saved ahead but cut short by the power is
    // the newest already, and may still go in.
    const std::string& newest = c.s.update.newestVersion;
    if (!VersionNewer(version, newest) && content != c.s.update.newestContent)
        return "version " + version + " is not newer than " + newest + ", the newest this PC installed";
    return "";
}

// The version sits inside the signed bytes: it is read from the copy once
// the signature has passed. A monitor never goes back through the share.
std::string MonitorVersionRefusal(Ctx& c, const std::string& version) {
    if (version.empty()) return "the build has no file version; only a newer monitor goes in";
    if (!VersionNewer(version, c.s.sVersion))
        return "version " + version + " is not newer than " + c.s.sVersion + ", the running monitor's";
    // However many builds were rolled back since, none of them, and none
    // older, comes in again: the list of contents forgets, the floor not.
    const std::string& floor = c.s.update.monitor.floor;
    if (!floor.empty() && !VersionNewer(version, floor))
        return "version " + version + " is not newer than " + floor + ", a monitor build rolled back here";
    return "";
}

}  // namespace rz
