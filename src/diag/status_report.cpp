#include "diag/status_report.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "core/app.h"
#include "diag/debug_log.h"
#include "diag/share_work.h"
#include "diag/status_format.h"

// A key added to the format without a value here must not build.
#pragma GCC diagnostic error "-Wswitch"

namespace rz {

namespace {

constexpr std::uint64_t kDayMs = 24ull * 60 * 60 * 1000;
constexpr std::size_t kMaxStartTimes = 20000;  // more than a start every five seconds for a day
// The starts kept on disk for the next monitor: plenty for an alert on
// more than ten a day, and a file a start rewrites in a moment.
constexpr std::size_t kKeptStarts = 1000;
constexpr std::uint64_t kFileTimeTicksPerMs = 10000;

// The board reads ASCII only, one fact per line.
std::string Clean(const std::string& value) {
    std::string out = value;
    for (char& ch : out)
        if (ch < 0x20 || ch > 0x7E) ch = '?';
    return out;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string NowIso(Ctx& c) { return IsoTime(c.p.Now()); }

std::string StartsFile(Ctx& c) { return AppPath(c, std::string(kAppTitle) + ".sts"); }

void Remember(StatusState& st, std::uint64_t monotonic, std::uint64_t wall) {
    st.startTimes.push_back(monotonic);
    st.startWalls.push_back(wall);
    if (st.startTimes.size() > kMaxStartTimes) st.startTimes.pop_front();
    if (st.startWalls.size() > kKeptStarts) st.startWalls.pop_front();
}

// A monitor started afresh (the handover to its next build, a logon, a
// power cut) counts the starts that the one before it made: the alert on a
// manager that keeps ending must not go blind for a day. The disk keeps
// them by the wall clock, which also spans a reboot; a torn or foreign
// line is passed over, and a time ahead of the clock (put back) too.
void ReadBackStarts(Ctx& c) {
    std::string text;
    if (c.p.ReadSmallFile(StartsFile(c), kKeptStarts * 24, text) != ReadStatus::Ok) return;
    const std::uint64_t wall = c.p.SystemTime(), now = c.p.MonotonicMs();
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        std::string line = text.substr(from, end - from);
        from = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.size() > 19 || line.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::uint64_t at = std::stoull(line);
        if (at > wall || (wall - at) / kFileTimeTicksPerMs >= kDayMs) continue;
        const std::uint64_t age = (wall - at) / kFileTimeTicksPerMs;
        Remember(c.s.status, now > age ? now - age : 0, at);
    }
}

void KeepStarts(Ctx& c) {
    std::string text;
    for (std::uint64_t at : c.s.status.startWalls) text += std::to_string(at) + "\r\n";
    c.p.WriteText(StartsFile(c), text);  // a start not kept costs a lower count after a restart, no more
}

int StartsInLastDay(Ctx& c) {
    std::deque<std::uint64_t>& times = c.s.status.startTimes;
    const std::uint64_t now = c.p.MonotonicMs();
    while (!times.empty() && now - times.front() >= kDayMs) times.pop_front();
    return static_cast<int>(times.size());
}

// What the manager's executable looks like on disk; all empty when it is missing.
struct ManagerFile {
    std::string version, length, written;
};

ManagerFile DescribeManager(Ctx& c) {
    const std::string manager = AppPath(c, "KORUMGR.exe");
    FileStamp stamp;
    if (!c.p.StatFile(manager, stamp)) return {};
    return {c.p.FileVersion(manager), std::to_string(stamp.length), IsoTime(c.p.ToLocalTime(stamp.lastWrite))};
}

std::string Value(Ctx& c, ReportKey key, const ManagerFile& manager) {
    const StatusState& st = c.s.status;
    switch (key) {
        case ReportKey::StatusFormat: return kReportFormat;
        case ReportKey::Machine: return c.s.THISMACHINENAME;
        case ReportKey::MonitorVersion: return c.s.sVersion;
        case ReportKey::Written: return NowIso(c);
        case ReportKey::MonitorStarted: return st.started;
        case ReportKey::ManagerRunning: return st.managerUp ? "yes" : "no";
        case ReportKey::ManagerPid: return st.managerUp ? std::to_string(st.managerPid) : "";
        case ReportKey::ManagerResponding: return !st.managerUp ? "" : c.s.freeze.frozen ? "no" : "yes";
        case ReportKey::NotRespondingSince: return st.managerUp && c.s.freeze.frozen ? c.s.freeze.frozenSince : "";
        case ReportKey::ManagerVersion: return manager.version;
        case ReportKey::ManagerLength: return manager.length;
        case ReportKey::ManagerWritten: return manager.written;
        case ReportKey::Starts24h: return std::to_string(StartsInLastDay(c));
        case ReportKey::LastEvent: return st.lastEvent;
        case ReportKey::LastEventTime: return st.lastEventTime;
        case ReportKey::LastUpdate: return st.lastUpdate;
        case ReportKey::LastUpdateFile: return st.lastUpdateFile;
        case ReportKey::LastUpdateTime: return st.lastUpdateTime;
        case ReportKey::LastUpdateReason: return st.lastUpdateReason;
        case ReportKey::MonitorUpdate: return st.monitorUpdate;
        case ReportKey::MonitorUpdateVersion: return st.monitorUpdateVersion;
        case ReportKey::MonitorUpdateTime: return st.monitorUpdateTime;
        case ReportKey::MonitorUpdateReason: return st.monitorUpdateReason;
        case ReportKey::UpdateKey: return c.p.Attributes(AppPath(c, kUpdateKeyName)) != PathKind::Missing ? "yes" : "no";
        case ReportKey::Logging: return LoggingOn(c) ? "on" : "off";
        case ReportKey::End: return "1";
    }
    return "";
}

bool WriteDue(const StatusState& st, std::uint64_t now) {
    const bool heartbeat = !st.attempted || now - st.attemptedAt >= kStatusHeartbeatMs;
    // A folder out of reach may keep every try waiting on the network: it is
    // looked at by the heartbeat only. A write that failed in a folder that
    // answered (a reader holding the file) is tried again at the next tick.
    if (st.failing && st.outOfReach) return heartbeat;
    return heartbeat || st.failing || st.pending || st.managerUp != st.reportedUp ||
           st.managerPid != st.reportedPid;
}

// The last system error, never 0: the caller knows that something failed.
std::uint32_t ErrorOf(Ctx& c) {
    const std::uint32_t error = c.p.LastError();
    return error == 0 ? 1 : error;
}

// Writes beside the file and moves over it, so a reader never sees half a
// file. Returns 0, or the error of the step that failed.
std::uint32_t WriteReplacing(Ctx& c, const std::string& folder, const std::string& name, const std::string& text) {
    const std::string temp = folder + "\\" + name + ".tmp";
    if (c.p.WriteText(temp, text) && c.p.MoveReplace(temp, folder + "\\" + name + ".txt")) return 0;
    const std::uint32_t error = ErrorOf(c);
    c.p.RemoveFile(temp);
    return error;
}

// Where the report would go. A missing "_Status" in an update folder that
// answers means reports are not wanted; when the update folder itself is
// gone (a drive that went away, a share naming a missing folder) the
// system says "path not found" just the same, and that is an outage.
enum class Place { Ready, NotWanted, OutOfReach };

Place FindPlace(Ctx& c, const std::string& updateFolder, const std::string& folder) {
    const ListResult found = c.p.ListFirst(folder);
    if (found.error) return Place::OutOfReach;
    if (!found.first.empty()) return Place::Ready;
    const ListResult parent = c.p.ListFirst(updateFolder);
    return !parent.error && !parent.first.empty() ? Place::NotWanted : Place::OutOfReach;
}

// One record when an outage begins and one when it ends, none between.
void RecordOutcome(Ctx& c, const std::string& path, bool written, std::uint32_t error) {
    StatusState& st = c.s.status;
    if (written) {
        if (st.recorded) DebugRecord(c, "STATUS REPORT RESUMED: '" + path + "'");
        st.failing = st.recorded = false;
        st.eventWeight = -1;
        return;
    }
    st.failing = true;
    // Until the folder has been seen, a share out of reach says nothing
    // about whether reports are wanted at all.
    if (!st.active || st.recorded) return;
    DebugRecord(c, "STATUS REPORT FAILED: '" + path + "' cannot be written, error " + std::to_string(error));
    st.recorded = true;
}

// What the worker found when it wrote the report.
struct Outcome {
    Place place = Place::OutOfReach;
    std::uint32_t error = 0;
};

void ActOnOutcome(Ctx& c, const std::string& folder, const Outcome& o) {
    StatusState& st = c.s.status;
    if (o.place == Place::NotWanted) {  // not wanted, or no longer
        st.active = st.failing = st.recorded = false;
        st.eventWeight = -1;
        return;
    }
    st.outOfReach = o.place == Place::OutOfReach;
    if (!st.outOfReach) st.active = true;
    RecordOutcome(c, folder + "\\" + c.s.THISMACHINENAME + ".txt", o.error == 0, o.error);
}

// The text is made here, from the tick's own view; the folder is the
// worker's. False when the worker is busy.
bool Attempt(Ctx& c, const std::string& updateFolder) {
    const std::string folder = updateFolder + "_Status", name = c.s.THISMACHINENAME, text = StatusText(c);
    auto outcome = std::make_shared<Outcome>();
    const bool started = StartShareJob(
        c, "the status report in '" + folder + "'",
        [updateFolder, folder, name, text, outcome](Ctx& w) {
            outcome->place = FindPlace(w, updateFolder, folder);
            if (outcome->place == Place::OutOfReach) outcome->error = ErrorOf(w);
            if (outcome->place == Place::Ready) outcome->error = WriteReplacing(w, folder, name, text);
            return false;
        },
        [folder, outcome](Ctx& ui) { ActOnOutcome(ui, folder, *outcome); });
    if (!started) return false;
    StatusState& st = c.s.status;
    st.attempted = true;
    st.attemptedAt = c.p.MonotonicMs();
    st.pending = st.updateEvent = false;
    st.reportedUp = st.managerUp;
    st.reportedPid = st.managerPid;
    return true;
}

}  // namespace

void StatusMonitorStarted(Ctx& c) {
    c.s.status.started = NowIso(c);
    ReadBackStarts(c);
    StatusEvent(c, "monitor started");
}

void StatusEvent(Ctx& c, const std::string& event, EventWeight weight) {
    StatusState& st = c.s.status;
    st.pending = true;
    st.updateEvent = st.updateEvent || weight == EventWeight::Update;
    if (static_cast<int>(weight) < st.eventWeight) return;  // a weightier one waits for the report
    st.lastEvent = event;
    st.lastEventTime = NowIso(c);
    st.eventWeight = static_cast<int>(weight);
}

void StatusCensus(Ctx& c) {
    StatusState& st = c.s.status;
    const bool up = c.s.KORUMGR_RUNNING == kYes;
    if (!up && (st.managerUp || !st.censusSeen)) StatusEvent(c, "manager found missing");
    st.censusSeen = true;
    st.managerUp = up;
    st.managerPid = up ? c.s.managerPid : 0;
}

void StatusManagerStarted(Ctx& c, std::uint32_t pid) {
    StatusState& st = c.s.status;
    st.managerUp = true;
    st.managerPid = pid;
    st.lastStartedPid = pid;
    Remember(st, c.p.MonotonicMs(), c.p.SystemTime());
    KeepStarts(c);
    StatusEvent(c, "manager started");
}

void StatusUpdate(Ctx& c, const std::string& result, const std::string& updatePath) {
    StatusEvent(c, "update " + result, EventWeight::Update);
    c.s.status.lastUpdate = result;
    c.s.status.lastUpdateFile = BaseName(updatePath);
    c.s.status.lastUpdateTime = NowIso(c);
    c.s.status.lastUpdateReason.clear();  // a reason belongs to the result it came with
}

void StatusMonitorUpdate(Ctx& c, const std::string& result, const std::string& version, const std::string& reason) {
    StatusState& st = c.s.status;
    const auto* const end = std::end(kUpdateResults);
    const auto* const known = std::find(std::begin(kUpdateResults), end, result);
    StatusEvent(c, known == end ? "monitor update " + result : kMonitorUpdateEvents[known - kUpdateResults],
                EventWeight::Update);
    st.monitorUpdate = result;
    st.monitorUpdateVersion = version;
    st.monitorUpdateTime = NowIso(c);
    st.monitorUpdateReason = reason;
}

// A wait is told once: the same reason again is no event, so that a build
// waiting through many looks costs one report, not one a tick.
void StatusUpdateWaiting(Ctx& c, const std::string& reason) {
    if (c.s.status.lastUpdateReason == reason) return;
    c.s.status.lastUpdateReason = reason;
    StatusEvent(c, kUpdateWaitingEvent, EventWeight::Update);
}

void StatusMonitorUpdateWaiting(Ctx& c, const std::string& reason) {
    if (c.s.status.monitorUpdateReason == reason) return;
    c.s.status.monitorUpdateReason = reason;
    StatusEvent(c, kMonitorUpdateWaitingEvent, EventWeight::Update);
}

bool StatusDue(Ctx& c, const std::string& updateFolder) {
    if (updateFolder.empty() || c.s.THISMACHINENAME.empty() || c.s.work.probing) return false;
    return WriteDue(c.s.status, c.p.MonotonicMs());
}

// The job that kept the worker busy may answer while the tick collects it:
// the report then goes in this tick, not the next.
void StatusTick(Ctx& c, const std::string& updateFolder) {
    for (int tries = 0; tries < 2 && StatusDue(c, updateFolder); ++tries) {
        c.s.status.waiting = !Attempt(c, updateFolder);
        CollectShareWork(c);
        if (!c.s.status.waiting) return;
    }
}

// The worker may be stuck in a call to a share that has gone: the stop
// waits for it a short while only.
void StatusFinal(Ctx& c, const std::string& folder, const std::string& event) {
    StatusEvent(c, event, EventWeight::Stopping);
    if (folder.empty() || c.s.THISMACHINENAME.empty()) return;
    const std::uint64_t deadline = c.p.MonotonicMs() + kFinalReportWaitMs;
    if (AwaitShareIdle(c, deadline) && Attempt(c, folder) && AwaitShareAnswer(c, deadline)) return PickUpShareWork(c);
    DebugRecord(c, "STATUS REPORT GIVEN UP: " + c.s.work.what + " has had no answer for " +
                       std::to_string((c.p.MonotonicMs() - c.s.work.since) / 1000) + " s");
}

std::string StatusText(Ctx& c) {
    const ManagerFile manager = DescribeManager(c);
    std::string text;
    for (std::size_t i = 0; i < kReportKeyCount; ++i) {
        text += kReportKeys[i];
        text += '=';
        text += Clean(Value(c, static_cast<ReportKey>(i), manager));
        text += "\r\n";
    }
    return text;
}

}  // namespace rz
